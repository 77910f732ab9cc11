#pragma once

#include <unicode/ucnv.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Conversion of text from an encoding to UTF-8, shared by the Unicode front end of text decoding,
// the guess of a legacy encoding and the reading of mostly UTF-8 text: ICU's converters, and
// glibc's iconv for the encodings ICU lacks.
namespace vask::decoding {

using ConverterPtr = std::unique_ptr<UConverter, decltype(&ucnv_close)>;

enum class OnInvalid { fail, replace };

// What becomes of a last character the bytes end inside: what the rest of the conversion does
// (it fails it or replaces it), nothing (the bytes are a sample of a longer text, which goes on
// past them) or U+FFFD (a text cut short, which does not make its encoding wrong).
enum class CutEnd { asInvalid, dropped, replaced };

// Whether an encoding is converted by glibc's iconv, which ICU has no converter for
// (ISO-8859-16).
bool isIconvEncoding(std::string_view encoding);

// `bytes` in `encoding` as UTF-8, straight through a small pivot (no copy of the text in UTF-16
// is held besides the result); what does not convert fails the conversion or reads as U+FFFD,
// and a last character the bytes end inside as `cutEnd` says. Nothing when the encoding is
// unknown.
std::optional<std::string> toUtf8(std::string_view bytes, const char* encoding, OnInvalid onInvalid,
                                  CutEnd cutEnd = CutEnd::asInvalid);

// The text in NFC, when there is one.
std::optional<std::string> composed(std::optional<std::string> text);

}  // namespace vask::decoding
