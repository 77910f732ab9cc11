// Feeds arbitrary bytes to the rich-text reader (RTF, HTML, zipped documents, chosen by the bytes
// themselves). The reader promises UTF-8: any text it returns must be well-formed, and the text
// of a page or an RTF file no larger than its bytes could stand for (no markup, reference or
// control word yields more than four bytes a byte, the most a decoded byte becomes; a zipped
// document inflates, and is bounded by its own limit instead).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/text.h"
#include "quiet_log.h"
#include "sources/rich_text_reader.h"
#include "sources/word_processor_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vask::fuzz::silenceLogs();
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        const auto text = vask::RichTextReader::plainText(bytes);
        const bool zipped = bytes.starts_with(std::string_view("PK\x03\x04", 4));
        if (text && (!vask::text::isValidUtf8(*text) || (!zipped && text->size() > 4 * size + 16))) {
            std::abort();
        }
    } catch (const vask::WordProcessorReaderError&) {
        // A zip archive without a readable document is refused, which is its own answer.
    }
    return 0;
}
