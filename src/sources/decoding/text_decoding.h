#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

// Decoding of the bytes of files as text: the encoding they are in, told or guessed, and their
// text as UTF-8. The readers name it `TextDecoding`.
namespace vask::decoding {

// The bytes as they are when they are well-formed UTF-8 (a UTF-8 byte order mark is dropped). A
// stop requested ends the check, with vask::Error.
std::optional<std::string> utf8(std::string_view bytes, const std::stop_token& stop = {});

// Text in a Unicode encoding as UTF-8: well-formed UTF-8 (its byte order mark dropped) that is
// not ISO-2022-JP or -KR, UTF-16 with its byte order mark (dropped), or UTF-16 saved without
// one (as `unmarkedUtf16Encoding` finds it). Nothing otherwise. A stop requested ends it soon
// after, with vask::Error.
std::optional<std::string> unicodeText(std::string_view bytes, const std::stop_token& stop = {});

// "UTF-16LE" or "UTF-16BE" for text saved in UTF-16 without a byte order mark, told by the NULs
// of its ASCII characters in every other byte (and no control characters in its reading), or,
// in a script that writes no ASCII (Japanese, Chinese, Thai), by control bytes no other
// encoding of text holds and a reading in one byte order that is text of letters, more
// plausible than the other order's and the guessed legacy encoding's. Nothing for other bytes.
std::optional<std::string> unmarkedUtf16Encoding(std::string_view bytes);

// The bytes converted to UTF-8 from the encoding they are most plausibly in: UTF-16 by its byte
// order mark or as `unmarkedUtf16Encoding` finds it, ISO-2022-JP and -KR by their escapes, UTF-8
// behind a UTF-8 byte order mark or when the bytes are mostly UTF-8 (a text cut inside a
// character, a stray byte, words, quotation marks or lines pasted from a legacy code page: one
// character above ASCII for every two ill-formed sequences, as measured on the corpus), the
// pasted runs read in the page their own bytes name (Windows punctuation as punctuation), U+FFFD
// where none is; else the legacy encoding uchardet's detector finds, but where Vask's own rules
// read the bytes better: KOI8-U for its Ukrainian letters, windows-1257 for Baltic text with its
// quotation marks, ISO-8859-3 for Esperanto, ISO-8859-2 for Polish the detector takes for
// ISO-8859-3, windows-1252 for signs of units and currencies in their place, DOS's cp850 and Mac
// Roman (which the detector does not know) and windows-1252 when the detector's Latin reading
// has letters out of place that theirs has fewer of, a Central European page for a Western
// reading that is no one Western language. When the detector finds nothing it can name, the
// code page whose reading has fewest such faults. The guess is made from 64 KB of the bytes
// from the line of the first that is not ASCII; a character cut at the sample's end does not
// count against an encoding, and one the bytes end inside is read as U+FFFD. Nothing when none
// converts. `encoding` receives its ICU name ("UTF-8" for mostly UTF-8 text; iconv's for
// ISO-8859-16). Decoded text is in NFC (UTF-8 is taken as it is written). The work grows with the
// bytes whatever their mix; a stop requested ends it soon after, with vask::Error.
std::optional<std::string> detected(std::string_view bytes, std::string* encoding = nullptr,
                                    const std::stop_token& stop = {});

// The encoding `detected` reads bytes that are not UTF-16 in, by the same guess: ISO-2022-JP or
// -KR by their escapes, "UTF-8" when all but a few bytes are, else the legacy encoding guessed
// from the sample. Nothing for ASCII without escapes, or when no encoding converts the sample.
std::optional<std::string> guessedEncoding(std::string_view bytes);

// The bytes as UTF-8 when they are text: Unicode text, or an encoding found as `detected` finds
// it, either way without control characters other than tabs, line and page breaks. Nothing for
// binary data. A stop requested ends it as it ends `detected`.
std::optional<std::string> plainText(std::string_view bytes, const std::stop_token& stop = {});

// `bytes` converted from the named encoding to UTF-8, in NFC (windows-1258 and others write
// letters as a base and combining marks; a search is typed composed); nothing when neither ICU
// nor, for ISO-8859-16, glibc's iconv knows it or the bytes do not convert cleanly. The result
// is written in place as it grows by the measure of its first 64 KB, so a conversion holds
// about the input and its result at a time.
std::optional<std::string> convert(std::string_view bytes, const char* encoding);

// The same, with U+FFFD for what does not convert; nothing only when the encoding is unknown.
std::optional<std::string> convertReplacing(std::string_view bytes, const char* encoding);

// The ICU name of the encoding a label stands for, as the encoding standard's table resolves it
// (case and surrounding white space aside): "latin1", "ISO-8859-1", "ascii" and "us-ascii" give
// windows-1252, "ms932" windows-31j, "iso-8859-16" ISO-8859-16, and a UTF-16 label UTF-8 (it was
// read from ASCII bytes).
// Nothing for a label the table does not hold.
std::optional<std::string> encodingOfLabel(std::string_view label);

// The encoding a web page declares, as browsers find it: a byte order mark, the XML declaration,
// or the first meta element (its charset, or the charset of an http-equiv Content-Type) whose
// label is known, wherever it is in the page outside comments, scripts and styles. Nothing when
// the page declares none. A stop requested ends the scan soon after, with vask::Error.
std::optional<std::string> declaredMarkupEncoding(std::string_view bytes,
                                                  const std::stop_token& stop = {});

// The encoding of a page that declares none, guessed from its visible text (in the page's own
// bytes, so neither styles nor scripts steer the guess) as `detected` guesses it for a file:
// ISO-2022-JP and -KR by their escapes, UTF-8 when all but a few bytes are; windows-1252, as
// browsers read most languages, when the text is ASCII or no code page converts it.
std::string guessedMarkupEncoding(std::string_view visibleText);

// The character the Symbol font draws for the byte `code` (as .docx w:sym and RTF fonts of the
// symbol charset write it): ASCII digits and most punctuation as they are, letters as Greek, the
// rest as the mathematical signs, arrows and card suits the font holds; U+FFFD for bytes it
// draws nothing for.
char32_t symbolFontCharacter(unsigned char code);

// The character the Wingdings font draws for the byte `code`, for the bullets lists are written
// with ("\xA7" is "▪", "\xD8" "➢", "\xFC" "✔"); U+F000 plus the byte, where Word keeps the
// font's glyphs, for the others.
char32_t wingdingsCharacter(unsigned char code);

// The text written with the superscript characters Unicode has ("2" as "²", "-1" as "⁻¹"), when
// it is all digits, signs, parentheses and "n" or "i"; nothing otherwise (a raised "th" is left
// as it is written).
std::optional<std::string> superscript(std::string_view text);

// Appends the character's UTF-8 bytes; `c` is a scalar value (not a surrogate, at most U+10FFFF).
void appendUtf8(std::string& out, char32_t c);

}  // namespace vask::decoding
