// Feeds the word-processor reader either arbitrary bytes as the archive itself or, so that the
// fuzzer reaches the markup rather than spend itself on zip headers, arbitrary bytes as the
// document entry of a well-formed .docx or .odt, or as that entry and the list and style
// definitions read before it (word/numbering.xml and word/styles.xml, or styles.xml), so that
// the numbering is reached with the markup that asks for it. The first byte picks which. Whatever
// the document, its text must be UTF-8 and stay within the reader's limit, however many spaces its
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
    const auto mode = data[0] % 5;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string archive;
    if (mode == 0) {
        archive = std::string(rest);
    } else if (mode <= 2) {
        const std::string entry = mode == 1 ? "word/document.xml" : "content.xml";
        archive =
            vask::test::zipArchive({{"mimetype", "application/zip"}, {entry, std::string(rest)}});
    } else if (mode == 3) {
        archive = vask::test::zipArchive({{"word/document.xml", std::string(rest)},
                                          {"word/numbering.xml", std::string(rest)},
                                          {"word/styles.xml", std::string(rest)}});
    } else {
        archive = vask::test::zipArchive({{"mimetype", "application/zip"},
                                          {"content.xml", std::string(rest)},
                                          {"styles.xml", std::string(rest)}});
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
