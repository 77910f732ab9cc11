#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vask::typedstream {

// Why an archive could not be decoded. what() is the fixed text of the case.
class TypedStreamDecoderError : public std::runtime_error {
  public:
    enum class Case {
        outOfBounds,       // "Index <index> is outside of range <length>!" (lower-case hex)
        stringParseError,  // "Failed to parse string: Invalid UTF-8"
        invalidPointer,    // "Failed to parse pointer: <byte in hex>"
        invalidHeader,     // "Invalid typedstream header!"
        invalidArray,      // "Failed to parse array data"
        tooDeep,           // "Nesting too deep at index <index>!": embedded data or class chains
                           // nested beyond TypedStreamDecoder::maxDepth
        tooLarge,          // "Decoded data too large at index <index>!": back-references that
                           // would expand the archive beyond TypedStreamDecoder::maxExpansion
    };

    static TypedStreamDecoderError outOfBounds(std::uint64_t index, std::uint64_t length);
    static TypedStreamDecoderError stringParseError();
    static TypedStreamDecoderError invalidPointer(std::uint8_t byte);
    static TypedStreamDecoderError invalidHeader();
    static TypedStreamDecoderError invalidArray();
    static TypedStreamDecoderError tooDeep(std::uint64_t index);
    static TypedStreamDecoderError tooLarge(std::uint64_t index);

    Case kind() const { return kind_; }

  private:
    TypedStreamDecoderError(Case kind, const std::string& text);
    Case kind_;
};

}  // namespace vask::typedstream
