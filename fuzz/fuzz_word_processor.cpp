// Feeds the word-processor reader either arbitrary bytes as the archive itself or, so that the
// fuzzer reaches the markup rather than spend itself on zip headers, arbitrary bytes as the
// document entry of a well-formed .docx or .odt. The first byte picks which. Whatever the
// document, its text must be UTF-8 and stay within the reader's limit, however many spaces its
// elements stand for.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "quiet_log.h"
#include "sources/word_processor_reader.h"
#include "zip_fixture.h"

namespace {

// Small enough that a fuzzer's input can pass it.
constexpr std::size_t kLimit = 256 * 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vask::fuzz::silenceLogs();
    if (size == 0) {
        return 0;
    }
    const auto mode = data[0] % 3;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string archive;
    if (mode == 0) {
        archive = std::string(rest);
    } else {
        const std::string entry = mode == 1 ? "word/document.xml" : "content.xml";
        archive =
            vask::test::zipArchive({{"mimetype", "application/zip"}, {entry, std::string(rest)}});
    }
    try {
        const auto text = vask::WordProcessorReader::documentText(archive, kLimit);
        if (text && (text->size() > kLimit || !vask::text::isValidUtf8(*text))) {
            std::abort();
        }
    } catch (const vask::WordProcessorReaderError&) {
        // Refused with its reason: not a finding.
    }
    return 0;
}
