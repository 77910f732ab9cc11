// Feeds arbitrary text to the inline Markdown renderer of answers: any answer must render,
// without a crash, a sanitizer report or a hang past the run's time-out. Only that is checked,
// so the target holds whatever way the renderer matches its markers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "chat/inline_markdown.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view markdown(reinterpret_cast<const char*>(data), size);
    const auto rich = vask::inline_markdown::toRichText(markdown);
    (void)rich;
    return 0;
}
