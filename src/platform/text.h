#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Unicode-aware helpers over UTF-8 text. Invalid UTF-8 never crashes them: ill-formed bytes
// count as one U+FFFD each where characters are counted, and are kept as they are otherwise.
namespace vask::text {

// True for Unicode White_Space: blanks, tabs and every line separator (U+0085, U+2028, ...).
bool isWhitespaceOrNewline(char32_t c);

// True for the line breaks: LF, VT, FF, CR, NEXT LINE, LINE SEPARATOR, PARAGRAPH SEPARATOR.
bool isNewline(char32_t c);

// The lines of `s` split at every newline character, empty lines dropped (so CR LF splits once).
std::vector<std::string_view> nonEmptyLines(std::string_view s);

// The pieces of `s` between runs of whitespace and newlines; never an empty piece.
std::vector<std::string_view> whitespaceSeparated(std::string_view s);

// `s` without leading and trailing whitespace and newlines.
std::string_view trimmed(std::string_view s);

// Number of user-perceived characters (extended grapheme clusters).
std::size_t graphemeCount(std::string_view s);

// The first `count` grapheme clusters of `s` (all of `s` when it has fewer).
std::string_view graphemePrefix(std::string_view s, std::size_t count);

// Locale-independent full case mapping ("ß" upper-cases to "SS").
std::string toLower(std::string_view s);
std::string toUpper(std::string_view s);

// `s` with only the ASCII letters A to Z lower-cased: for protocol names, file extensions and
// other machine-readable words, where full case mapping would be wrong or too slow.
std::string asciiLowered(std::string_view s);

// The value of an ASCII hexadecimal digit in either case; -1 for any other character.
int hexDigitValue(char c);

// `s` with every ill-formed sequence replaced by U+FFFD.
std::string toValidUtf8(std::string_view s);

// True when `s` is well-formed UTF-8 throughout.
bool isValidUtf8(std::string_view s);

// `s` in Unicode's composed normal form (NFC): a letter written as its base and combining marks
// ("o" U+0302 U+0323) becomes the one character a keyboard types ("ộ"). Ill-formed bytes become
// U+FFFD. Text already in NFC, nearly all of it, is checked in one pass and returned as it is.
std::string composed(std::string s);
// The longest start of `s` that has at most `maxBytes` bytes and does not end inside a
// multi-byte sequence.
std::string_view utf8Prefix(std::string_view s, std::size_t maxBytes);

// `s` cut to its first `maxCharacters` grapheme clusters, with "…" marking a cut: for texts
// from outside (reply bodies) on their way into an error or a log line.
std::string clipped(std::string_view s, std::size_t maxCharacters);

// An amount of money as `locale` writes it (an ICU locale id such as "de_DE": "9,99 $"), from
// its exact decimal digits ("9.99", "-2.50") and its ISO 4217 currency ("USD"). Never the C
// library's locale. Absent when the amount is not a plain decimal or ICU cannot format it.
std::optional<std::string> currencyText(std::string_view decimal, std::string_view currency,
                                        const std::string& locale);

}  // namespace vask::text
