// Feeds arbitrary bytes to the encoding guess as a file's contents. Every text read is UTF-8,
// text read from an encoding other than UTF-8 is composed (NFC), plain text holds no control
// characters, and the encoding named for a file is one the converter reads the file in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "sources/text_decoding.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void requireUtf8(const std::optional<std::string>& text) {
    require(!text || vask::text::isValidUtf8(*text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    requireUtf8(vask::TextDecoding::unicodeText(bytes));
    std::string encoding;
    const auto detected = vask::TextDecoding::detected(bytes, &encoding);
    requireUtf8(detected);
    if (detected && encoding != "UTF-8") {
        require(vask::text::composed(*detected) == *detected);
    }
    if (const auto plain = vask::TextDecoding::plainText(bytes)) {
        require(vask::text::isValidUtf8(*plain));
        for (const char c : *plain) {
            const auto byte = static_cast<unsigned char>(c);
            require(byte >= 0x20 || c == '\t' || c == '\n' || c == '\f' || c == '\r');
        }
    }
    if (const auto utf16 = vask::TextDecoding::unmarkedUtf16Encoding(bytes)) {
        require(*utf16 == "UTF-16LE" || *utf16 == "UTF-16BE");
    }
    if (const auto guessed = vask::TextDecoding::guessedEncoding(bytes)) {
        requireUtf8(vask::TextDecoding::convertReplacing(bytes, guessed->c_str()));
    }
    return 0;
}
