#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vask::TextDecoding {

// The bytes as they are when they are well-formed UTF-8 (a UTF-8 byte order mark is dropped).
std::optional<std::string> utf8(std::string_view bytes);

// The bytes converted to UTF-8 from the encoding ICU's detector finds most likely; nothing when
// it finds none or the conversion fails. `encoding` receives the encoding's name.
std::optional<std::string> detected(std::string_view bytes, std::string* encoding = nullptr);

// The bytes as UTF-8 when they are text: well-formed UTF-8, or an encoding the detector finds,
// either way without control characters other than tabs, line and page breaks. Nothing for
// binary data.
std::optional<std::string> plainText(std::string_view bytes);

// `bytes` converted from the named encoding to UTF-8; nothing when ICU does not know it or the
// bytes do not convert cleanly.
std::optional<std::string> convert(std::string_view bytes, const char* encoding);

}  // namespace vask::TextDecoding
