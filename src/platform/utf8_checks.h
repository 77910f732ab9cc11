#pragma once

#include <cstddef>
#include <string_view>

// Byte-level UTF-8 checks that work on the text where it lies: no copy, no other encoding.
namespace vask::text {

// True when `s` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view s);

// The longest start of `s` that has at most `maxBytes` bytes and does not end inside a
// multi-byte sequence.
std::string_view utf8Prefix(std::string_view s, std::size_t maxBytes);

}  // namespace vask::text
