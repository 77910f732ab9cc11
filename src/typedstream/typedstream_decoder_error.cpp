#include "typedstream/typedstream_decoder_error.h"

#include <charconv>

namespace vask::typedstream {

namespace {

std::string hex(std::uint64_t value) {
    char buffer[17];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, 16);
    return std::string(buffer, result.ptr);
}

}  // namespace

TypedStreamDecoderError::TypedStreamDecoderError(Case kind, const std::string& text)
    : std::runtime_error(text), kind_(kind) {}

TypedStreamDecoderError TypedStreamDecoderError::outOfBounds(std::uint64_t index,
                                                             std::uint64_t length) {
    return {Case::outOfBounds, "Index " + hex(index) + " is outside of range " + hex(length) + "!"};
}

TypedStreamDecoderError TypedStreamDecoderError::stringParseError() {
    return {Case::stringParseError, "Failed to parse string: Invalid UTF-8"};
}

TypedStreamDecoderError TypedStreamDecoderError::invalidPointer(std::uint8_t byte) {
    return {Case::invalidPointer, "Failed to parse pointer: " + hex(byte)};
}

TypedStreamDecoderError TypedStreamDecoderError::invalidHeader() {
    return {Case::invalidHeader, "Invalid typedstream header!"};
}

TypedStreamDecoderError TypedStreamDecoderError::invalidArray() {
    return {Case::invalidArray, "Failed to parse array data"};
}

TypedStreamDecoderError TypedStreamDecoderError::tooDeep(std::uint64_t index) {
    return {Case::tooDeep, "Nesting too deep at index " + hex(index) + "!"};
}

TypedStreamDecoderError TypedStreamDecoderError::tooLarge(std::uint64_t index) {
    return {Case::tooLarge, "Decoded data too large at index " + hex(index) + "!"};
}

}  // namespace vask::typedstream
