// Feeds arbitrary bytes to the encoding guess as a file's contents. Every text read is UTF-8,
// text read from an encoding other than UTF-8 is composed (NFC), plain text holds no control
// characters, and the encoding named for a file or an undeclared page is one the converter
// reads the bytes in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "sources/decoding/text_decoding.h"

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
    requireUtf8(vask::decoding::unicodeText(bytes));
    std::string encoding;
    const auto detected = vask::decoding::detected(bytes, &encoding);
    requireUtf8(detected);
    if (detected && encoding != "UTF-8") {
        require(vask::text::composed(*detected) == *detected);
    }
    if (const auto plain = vask::decoding::plainText(bytes)) {
        require(vask::text::isValidUtf8(*plain));
        for (const char c : *plain) {
            const auto byte = static_cast<unsigned char>(c);
            require(byte >= 0x20 || c == '\t' || c == '\n' || c == '\f' || c == '\r');
        }
    }
    if (const auto utf16 = vask::decoding::unmarkedUtf16Encoding(bytes)) {
        require(*utf16 == "UTF-16LE" || *utf16 == "UTF-16BE");
    }
    // Every encoding the guess names (the detector's, as mapped, or one of Vask's own rules) is
    // one the converter opens, for a file and for a page that declares none.
    if (const auto guessed = vask::decoding::guessedEncoding(bytes)) {
        const auto text = vask::decoding::convertReplacing(bytes, guessed->c_str());
        require(text.has_value());
        requireUtf8(text);
    }
    const auto markup = vask::decoding::guessedMarkupEncoding(bytes);
    require(vask::decoding::convertReplacing(bytes, markup.c_str()).has_value());
    return 0;
}
