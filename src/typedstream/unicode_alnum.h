#pragma once

namespace vask::typedstream {

// Whether the code point's Unicode general category is a letter (L*) or a number (N*). The
// library keeps its own table so that it stays free of dependencies.
bool isUnicodeLetterOrNumber(char32_t c);

}  // namespace vask::typedstream
