#pragma once

#include <string_view>

namespace vask::test {

// What the stand-in drawer puts before its answer: the start of a PNG of one pixel, so that
// PageDrawer takes the answer for a page and hands it back as it was written.
inline constexpr std::string_view probeAnswerHead(
    "\x89PNG\r\n\x1a\n"
    "\0\0\0\x0dIHDR\0\0\0\x01\0\0\0\x01\x08\x02\0\0\0\0\0\0\0",
    33);

}  // namespace vask::test
