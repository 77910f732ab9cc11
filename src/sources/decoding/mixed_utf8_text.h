#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

// Text that is mostly UTF-8, with words, quotation marks or lines pasted into it from a legacy
// code page, read as UTF-8 but for the pasted runs, which read in the page their own bytes name.
namespace vask::decoding {

// Whether the bytes are mostly UTF-8 (a stray byte, a character cut, parts pasted from a legacy
// page): one character above ASCII for every two ill-formed sequences, as measured.
// A stop requested ends the walk (`throwIfStopRequested`).
bool isMostlyUtf8(std::string_view bytes, const std::stop_token& stop = {});

// The mostly UTF-8 bytes as UTF-8, the pasted runs read in their page: what was well-formed
// UTF-8 apart from them (a space or a line break between) stays as written. The work grows with
// the bytes, each converted a bounded number of times; a stop requested ends it
// (`throwIfStopRequested`).
std::string mixedUtf8Text(std::string_view bytes, const std::stop_token& stop = {});

// The mirror: text in a legacy page with words or lines pasted into it from UTF-8, read in `page`
// but for the pasted runs, which stay UTF-8 as written (read in a page of two bytes to a
// character they would take the ASCII after them as the second byte of a character, or fail it).
// A pasted run is a run of bytes above ASCII between ASCII bytes (or the text's ends) that is
// well-formed UTF-8 whole and reads, with the ASCII of its word, more plausibly as UTF-8 than in
// the page (on a tie the page reads it: a legacy word is UTF-8 by chance now and then, "Ці" in
// windows-1251 is UTF-8's "ֳ"); in a page of two bytes to a character also the UTF-8 a run of
// legacy bytes begins or ends with. In a page of one byte to a character only a run with a
// character of three bytes or more is weighed (a sign, an emoji, Chinese): one of letters of two
// bytes ("mÃ¡s") is what a text converted twice holds as well, which the page reads as written.
// What the page does not convert reads as U+FFFD, and so does a character the text ends inside.
// Nothing when the text holds no such run. The work grows with the bytes; a stop requested ends
// it (`throwIfStopRequested`).
std::optional<std::string> legacyTextWithUtf8(std::string_view bytes, const char* page,
                                              const std::stop_token& stop = {});

}  // namespace vask::decoding
