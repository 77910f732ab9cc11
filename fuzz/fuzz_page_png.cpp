// Feeds arbitrary bytes to the page check as the drawing program's answer. Whatever the bytes,
// the check ends without a stop, never holds more than its memory bound, and takes a page only
// when the bytes open with PNG's signature.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sources/page_png.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto check = vask::PagePng::check(bytes);
    constexpr std::string_view kSignature = "\x89PNG\r\n\x1a\n";
    if (check.stopped || check.peakBytes > vask::PagePng::memoryBoundBytes ||
        (check.page && !bytes.starts_with(kSignature))) {
        std::abort();
    }
    return 0;
}
