#include "sources/text_decoding.h"

#include <unicode/ucnv.h>
#include <unicode/ucsdet.h>
#include <unicode/ustring.h>

#include <memory>

#include "platform/text.h"

namespace vask {

std::optional<std::string> TextDecoding::utf8(std::string_view bytes) {
    if (text::toValidUtf8(bytes) != bytes) {
        return std::nullopt;
    }
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.remove_prefix(3);
    }
    return std::string(bytes);
}

std::optional<std::string> TextDecoding::convert(std::string_view bytes, const char* encoding) {
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<UConverter, decltype(&ucnv_close)> from(ucnv_open(encoding, &status),
                                                                  ucnv_close);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    // Stop at the first byte sequence the encoding cannot hold instead of substituting.
    ucnv_setToUCallBack(from.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    std::u16string units(bytes.size() * 2 + 2, u'\0');
    const auto unitCount =
        ucnv_toUChars(from.get(), units.data(), static_cast<int32_t>(units.size()), bytes.data(),
                      static_cast<int32_t>(bytes.size()), &status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    std::string out(static_cast<std::size_t>(unitCount) * 3 + 1, '\0');
    int32_t length = 0;
    u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &length, units.data(), unitCount,
                &status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(length));
    return out;
}

std::optional<std::string> TextDecoding::detected(std::string_view bytes, std::string* encoding) {
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<UCharsetDetector, decltype(&ucsdet_close)> detector(ucsdet_open(&status),
                                                                              ucsdet_close);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    ucsdet_setText(detector.get(), bytes.data(), static_cast<int32_t>(bytes.size()), &status);
    const UCharsetMatch* match = ucsdet_detect(detector.get(), &status);
    if (U_FAILURE(status) || match == nullptr) {
        return std::nullopt;
    }
    const char* name = ucsdet_getName(match, &status);
    if (U_FAILURE(status) || name == nullptr) {
        return std::nullopt;
    }
    if (encoding != nullptr) {
        *encoding = name;
    }
    return convert(bytes, name);
}

namespace {

// C0 and C1 control characters other than tab, line feed, form feed and carriage return, and
// DEL: what text files do not hold and binary files almost always do.
bool holdsControlCharacters(std::string_view utf8) {
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\f' && c != '\r') || c == 0x7F) {
            return true;
        }
        // U+0080 to U+009F are C2 80 to C2 9F.
        if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) < 0xA0) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<std::string> TextDecoding::plainText(std::string_view bytes) {
    auto text = utf8(bytes);
    if (!text) {
        text = detected(bytes);
    }
    if (!text || holdsControlCharacters(*text)) {
        return std::nullopt;
    }
    return text;
}

}  // namespace vask
