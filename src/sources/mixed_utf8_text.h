#pragma once

#include <string>
#include <string_view>

// Text that is mostly UTF-8, with words, quotation marks or lines pasted into it from a legacy
// code page, read as UTF-8 but for the pasted runs, which read in the page their own bytes name.
namespace vask::decoding {

// Whether the bytes are mostly UTF-8 (a stray byte, a character cut, parts pasted from a legacy
// page): one character above ASCII for every two ill-formed sequences, as measured.
bool isMostlyUtf8(std::string_view bytes);

// The mostly UTF-8 bytes as UTF-8, the pasted runs read in their page.
std::string mixedUtf8Text(std::string_view bytes);

}  // namespace vask::decoding
