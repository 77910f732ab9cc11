#include "sources/text_decoding.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucsdet.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
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

namespace {

using ConverterPtr = std::unique_ptr<UConverter, decltype(&ucnv_close)>;

// Writes U+FFFD for bytes the encoding cannot hold (ICU's own substitute is U+001A for some
// single-byte encodings, a control character).
void replaceWithReplacementCharacter(const void*, UConverterToUnicodeArgs* arguments, const char*,
                                     int32_t, UConverterCallbackReason reason, UErrorCode* status) {
    if (reason > UCNV_IRREGULAR) {
        return;
    }
    static constexpr UChar kReplacement = 0xFFFD;
    *status = U_ZERO_ERROR;
    ucnv_cbToUWriteUChars(arguments, &kReplacement, 1, 0, status);
}

enum class OnInvalid { fail, replace };

// Converts straight into UTF-8 through a small pivot, so no copy of the text in UTF-16 is held
// besides the result.
std::optional<std::string> toUtf8(std::string_view bytes, const char* encoding,
                                  OnInvalid onInvalid) {
    UErrorCode status = U_ZERO_ERROR;
    const ConverterPtr from(ucnv_open(encoding, &status), ucnv_close);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    const ConverterPtr to(ucnv_open("UTF-8", &status), ucnv_close);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    if (onInvalid == OnInvalid::fail) {
        // Stop at the first byte sequence the encoding cannot hold instead of substituting.
        ucnv_setToUCallBack(from.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                            &status);
    } else {
        ucnv_setToUCallBack(from.get(), &replaceWithReplacementCharacter, nullptr, nullptr,
                            nullptr, &status);
    }
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    std::string out(bytes.size() + bytes.size() / 4 + 64, '\0');
    std::array<UChar, 1024> pivot{};
    UChar* pivotSource = pivot.data();
    UChar* pivotTarget = pivot.data();
    const char* source = bytes.data();
    char* target = out.data();
    bool reset = true;
    while (true) {
        status = U_ZERO_ERROR;
        ucnv_convertEx(to.get(), from.get(), &target, out.data() + out.size(), &source,
                       bytes.data() + bytes.size(), pivot.data(), &pivotSource, &pivotTarget,
                       pivot.data() + pivot.size(), static_cast<UBool>(reset), 1, &status);
        reset = false;
        if (status != U_BUFFER_OVERFLOW_ERROR) {
            break;
        }
        const auto used = static_cast<std::size_t>(target - out.data());
        out.resize(out.size() * 2);
        target = out.data() + used;
    }
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(target - out.data()));
    return out;
}

}  // namespace

std::optional<std::string> TextDecoding::convert(std::string_view bytes, const char* encoding) {
    return toUtf8(bytes, encoding, OnInvalid::fail);
}

std::optional<std::string> TextDecoding::convertReplacing(std::string_view bytes,
                                                          const char* encoding) {
    return toUtf8(bytes, encoding, OnInvalid::replace);
}

namespace {

enum class Markup { kept, leftOut };

// The name of the encoding ICU's detector finds most likely for `bytes`; nothing when it finds
// none. With `Markup::leftOut` it passes over what lies between "<" and ">".
std::optional<std::string> detectorGuess(std::string_view bytes, Markup markup) {
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<UCharsetDetector, decltype(&ucsdet_close)> detector(ucsdet_open(&status),
                                                                              ucsdet_close);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    if (markup == Markup::leftOut) {
        ucsdet_enableInputFilter(detector.get(), true);
    }
    ucsdet_setText(detector.get(), bytes.data(), static_cast<int32_t>(bytes.size()), &status);
    const UCharsetMatch* match = ucsdet_detect(detector.get(), &status);
    if (U_FAILURE(status) || match == nullptr) {
        return std::nullopt;
    }
    const char* name = ucsdet_getName(match, &status);
    if (U_FAILURE(status) || name == nullptr || *name == '\0') {
        return std::nullopt;
    }
    return std::string(name);
}

}  // namespace

std::optional<std::string> TextDecoding::detected(std::string_view bytes, std::string* encoding) {
    const auto name = detectorGuess(bytes, Markup::kept);
    if (!name) {
        return std::nullopt;
    }
    if (encoding != nullptr) {
        *encoding = *name;
    }
    return convert(bytes, name->c_str());
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

namespace {

bool isMarkupSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// The encoding a declared label stands for, as browsers read it; nothing for a label ICU does
// not know.
std::optional<std::string> encodingOfLabel(std::string_view label) {
    const auto name = text::asciiLowered(text::trimmed(label));
    if (name.empty()) {
        return std::nullopt;
    }
    static constexpr std::string_view kWindows1252[] = {
        "iso-8859-1", "iso8859-1", "iso_8859-1", "latin1",   "l1",         "us-ascii",
        "ascii",      "cp1252",    "cp819",      "ibm819",   "iso-ir-100", "csisolatin1",
        "windows-1252", "x-user-defined"};
    for (const auto known : kWindows1252) {
        if (name == known) {
            return "windows-1252";
        }
    }
    // A page that names UTF-16 in its own ASCII bytes cannot be UTF-16.
    if (name == "utf8" || name == "utf-8" || name.starts_with("utf-16") ||
        name.starts_with("utf16") || name == "unicode-1-1-utf-8") {
        return "UTF-8";
    }
    // The label was read from ASCII bytes: an encoding that reads them otherwise (UTF-32,
    // EBCDIC) contradicts itself, and one ICU does not know is no label, as for browsers.
    constexpr std::string_view kProbe = "<meta charset=\"x\"> &amp; </p>";
    if (toUtf8(kProbe, name.c_str(), OnInvalid::fail) != kProbe) {
        return std::nullopt;
    }
    return name;
}

// The value after `key`, "=" and an optional quote, up to the quote, a space, ";" or ">".
std::optional<std::string_view> valueAfter(std::string_view text, std::size_t keyEnd) {
    auto at = keyEnd;
    while (at < text.size() && isMarkupSpace(text[at])) {
        ++at;
    }
    if (at >= text.size() || text[at] != '=') {
        return std::nullopt;
    }
    ++at;
    while (at < text.size() && isMarkupSpace(text[at])) {
        ++at;
    }
    char quote = 0;
    if (at < text.size() && (text[at] == '"' || text[at] == '\'')) {
        quote = text[at++];
    }
    const auto start = at;
    while (at < text.size() && text[at] != quote && text[at] != ';' && text[at] != '>' &&
           text[at] != '/' && !isMarkupSpace(text[at])) {
        ++at;
    }
    return text.substr(start, at - start);
}

// The encoding the XML declaration or a meta element near the start names; comments are passed
// over as browsers do.
std::optional<std::string> declaredEncoding(std::string_view bytes) {
    const auto head = text::asciiLowered(bytes.substr(0, 4096));
    const std::string_view view = head;
    if (view.starts_with("<?xml")) {
        const auto end = view.find("?>");
        const auto declaration = view.substr(0, end);
        const auto key = declaration.find("encoding");
        if (key != std::string_view::npos) {
            if (const auto value = valueAfter(declaration, key + 8)) {
                if (auto encoding = encodingOfLabel(*value)) {
                    return encoding;
                }
            }
        }
    }
    for (std::size_t at = view.find('<'); at != std::string_view::npos; at = view.find('<', at)) {
        if (view.substr(at).starts_with("<!--")) {
            const auto end = view.find("-->", at + 4);
            if (end == std::string_view::npos) {
                return std::nullopt;
            }
            at = end + 3;
            continue;
        }
        if (!view.substr(at).starts_with("<meta") || at + 5 >= view.size() ||
            !(isMarkupSpace(view[at + 5]) || view[at + 5] == '/')) {
            ++at;
            continue;
        }
        const auto tag = view.substr(at, view.find('>', at) - at);
        for (auto key = tag.find("charset"); key != std::string_view::npos;
             key = tag.find("charset", key + 7)) {
            if (const auto value = valueAfter(tag, key + 7)) {
                if (auto encoding = encodingOfLabel(*value)) {
                    return encoding;
                }
            }
        }
        at += tag.size();
    }
    return std::nullopt;
}

// The detector's guess on the start of a page, its tags left out. A few bytes above 127 say
// nothing about their encoding (the detector is sure of KOI8-R for a single "\xE9"): a page with
// fewer is read in windows-1252, as browsers read it in most languages.
std::optional<std::string> detectedMarkupEncoding(std::string_view bytes) {
    constexpr std::size_t kSample = std::size_t{1024} * 1024;
    constexpr std::ptrdiff_t kFewestToGuessFrom = 20;
    const auto sample = bytes.substr(0, kSample);
    if (std::count_if(sample.begin(), sample.end(), [](char c) {
            return static_cast<unsigned char>(c) >= 0x80;
        }) < kFewestToGuessFrom) {
        return std::nullopt;
    }
    const auto name = detectorGuess(sample, Markup::leftOut);
    // UTF-16 without its byte order mark is not what a page is.
    if (!name || name->starts_with("UTF-16") || name->starts_with("UTF-32")) {
        return std::nullopt;
    }
    return encodingOfLabel(*name);
}

}  // namespace

void TextDecoding::appendUtf8(std::string& out, char32_t c) {
    std::array<char, U8_MAX_LENGTH> bytes{};
    std::size_t length = 0;
    U8_APPEND_UNSAFE(bytes.data(), length, static_cast<UChar32>(c));
    out.append(bytes.data(), length);
}

std::string TextDecoding::markupEncoding(std::string_view bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        return "UTF-8";
    }
    if (bytes.starts_with("\xFF\xFE")) {
        return "UTF-16LE";
    }
    if (bytes.starts_with("\xFE\xFF")) {
        return "UTF-16BE";
    }
    if (auto declared = declaredEncoding(bytes)) {
        return *declared;
    }
    if (text::isValidUtf8(bytes)) {
        return "UTF-8";
    }
    return detectedMarkupEncoding(bytes).value_or("windows-1252");
}

}  // namespace vask
