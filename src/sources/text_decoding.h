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

// The same, with U+FFFD for what does not convert; nothing only when ICU does not know the
// encoding.
std::optional<std::string> convertReplacing(std::string_view bytes, const char* encoding);

// The encoding of a web page, picked as browsers pick it: a byte order mark, then the XML
// declaration or a meta charset near the start, then UTF-8 when the bytes are well-formed UTF-8,
// then the detector's guess (markup left out), windows-1252 when it has none. The name is one
// ICU knows; labels browsers read as windows-1252 (ISO-8859-1, US-ASCII) give windows-1252, and a
// declared UTF-16 on bytes without its byte order mark gives UTF-8.
std::string markupEncoding(std::string_view bytes);

// Appends the character's UTF-8 bytes; `c` is a scalar value (not a surrogate, at most U+10FFFF).
void appendUtf8(std::string& out, char32_t c);

}  // namespace vask::TextDecoding
