// Feeds arbitrary bytes to the rich-text reader (RTF, HTML, zipped documents, chosen by the bytes
// themselves). The reader promises UTF-8: any text it returns must be well-formed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/text.h"
#include "sources/rich_text_reader.h"
#include "sources/word_processor_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        const auto text = vask::RichTextReader::plainText(bytes);
        if (text && !vask::text::isValidUtf8(*text)) {
            std::abort();
        }
    } catch (const vask::WordProcessorReaderError&) {
        // A zip archive without a readable document is refused, which is its own answer.
    }
    return 0;
}
