#pragma once

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

}  // namespace vask::decoding
