#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "typedstream/archivable.h"
#include "typedstream/typedstream_decoder_error.h"

// Decoder of typedstream archives: the binary "streamtyped" serialisation in which the Messages
// database keeps rich message bodies (message.attributedBody). It pulls values out of real bodies
// rather than rebuilding object graphs exactly. The library has no dependencies beyond the C++
// standard library; everything lives in namespace vask::typedstream because its generic type
// names (Type, Class, Object) would otherwise crowd namespace vask.

namespace vask::typedstream {

// Decodes one archive. Every call works on its own tables, so calls may run on any thread at
// once. The input is read in place, never copied.
class TypedStreamDecoder final {
  public:
    static constexpr std::uint8_t I_16 = 0x81;
    static constexpr std::uint8_t I_32 = 0x82;
    static constexpr std::uint8_t DECIMAL = 0x83;
    static constexpr std::uint8_t START = 0x84;
    static constexpr std::uint8_t EMPTY = 0x85;
    static constexpr std::uint8_t END = 0x86;
    static constexpr std::uint64_t REFERENCE_TAG = 0x92;

    // Deepest nesting of embedded data and class chains accepted; real bodies nest a handful of
    // levels, and the limit keeps a crafted body from exhausting the stack.
    static constexpr int maxDepth = 64;
    // Decoded values and the entries of the decoder's tables may take at most this many times
    // the archive's size (plus a fixed allowance), so that back-references and reserved slots
    // cannot exhaust memory whatever the input.
    static constexpr std::size_t maxExpansion = 32;
    static constexpr std::size_t expansionWindow = std::size_t{1} << 20;
    // Beyond the first expansionWindow bytes of an archive, each further byte allows this much.
    static constexpr std::size_t maxLargeExpansion = 4;

    // Every top-level item of the archive, in order. Throws TypedStreamDecoderError; no partial
    // result is returned.
    static std::vector<Archivable> decode(std::span<const std::uint8_t> data);
    static std::vector<Archivable> decode(std::string_view data);

    // The first top-level item, or nothing when the archive holds none. Decoding stops as soon as
    // that item is complete, so damage after it cannot hide it. Throws TypedStreamDecoderError
    // when the archive is broken before or inside that item.
    //
    // The Messages reader takes a body's text this way: the text of a message is
    // `firstTopLevelItem(body)->stringObjectText()` (a message body archives its NSString first,
    // ahead of the attribute runs); an error, no item, or an item that is not a string object
    // means the body has no text.
    static std::optional<Archivable> firstTopLevelItem(std::span<const std::uint8_t> data);
    static std::optional<Archivable> firstTopLevelItem(std::string_view data);
};

}  // namespace vask::typedstream
