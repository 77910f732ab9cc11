#include "platform/text.h"

#include <unicode/brkiter.h>
#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/numberformatter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <memory>

#include "platform/error.h"

// ICU's UTF-8 macros are C and cast the old way.
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace vask::text {
namespace {

struct UTextCloser {
    void operator()(UText* t) const { utext_close(t); }
};

// A character iterator over the UTF-8 bytes themselves, so offsets are byte offsets into `s`.
std::unique_ptr<icu::BreakIterator> graphemeIterator(std::string_view s,
                                                     std::unique_ptr<UText, UTextCloser>& holder) {
    UErrorCode status = U_ZERO_ERROR;
    holder.reset(utext_openUTF8(nullptr, s.data(), static_cast<int64_t>(s.size()), &status));
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) {
        throw Error(std::string("Unicode text segmentation failed: ") + u_errorName(status));
    }
    it->setText(holder.get(), status);
    if (U_FAILURE(status)) {
        throw Error(std::string("Unicode text segmentation failed: ") + u_errorName(status));
    }
    return it;
}

// The non-empty runs of `s` between characters for which `isSeparator` holds.
template <typename Predicate>
std::vector<std::string_view> splitAt(std::string_view s, Predicate isSeparator) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
    const auto length = static_cast<int32_t>(s.size());
    std::vector<std::string_view> pieces;
    int32_t pieceStart = 0;
    int32_t index = 0;
    while (index < length) {
        const int32_t at = index;
        UChar32 c;
        U8_NEXT(bytes, index, length, c);
        if (c >= 0 && isSeparator(static_cast<char32_t>(c))) {
            if (at > pieceStart) {
                pieces.push_back(s.substr(static_cast<std::size_t>(pieceStart),
                                          static_cast<std::size_t>(at - pieceStart)));
            }
            pieceStart = index;
        }
    }
    if (length > pieceStart) {
        pieces.push_back(s.substr(static_cast<std::size_t>(pieceStart)));
    }
    return pieces;
}

}  // namespace

bool isNewline(char32_t c) {
    return (c >= U'\n' && c <= U'\r') || c == 0x85 || c == 0x2028 || c == 0x2029;
}

std::vector<std::string_view> nonEmptyLines(std::string_view s) {
    return splitAt(s, isNewline);
}

std::vector<std::string_view> whitespaceSeparated(std::string_view s) {
    return splitAt(s, isWhitespaceOrNewline);
}

bool isWhitespaceOrNewline(char32_t c) {
    return u_isUWhiteSpace(static_cast<UChar32>(c)) != 0;
}

std::string_view trimmed(std::string_view s) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
    const auto length = static_cast<int32_t>(s.size());
    int32_t start = 0;
    while (start < length) {
        int32_t next = start;
        UChar32 c;
        U8_NEXT(bytes, next, length, c);
        if (c < 0 || !isWhitespaceOrNewline(static_cast<char32_t>(c))) {
            break;
        }
        start = next;
    }
    int32_t end = length;
    while (end > start) {
        int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, start, previous, c);
        if (c < 0 || !isWhitespaceOrNewline(static_cast<char32_t>(c))) {
            break;
        }
        end = previous;
    }
    return s.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

std::size_t graphemeCount(std::string_view s) {
    if (s.empty()) {
        return 0;
    }
    std::unique_ptr<UText, UTextCloser> holder;
    auto it = graphemeIterator(s, holder);
    std::size_t count = 0;
    for (int32_t p = it->next(); p != icu::BreakIterator::DONE; p = it->next()) {
        ++count;
    }
    return count;
}

std::string_view graphemePrefix(std::string_view s, std::size_t count) {
    if (count == 0) {
        return s.substr(0, 0);
    }
    std::unique_ptr<UText, UTextCloser> holder;
    auto it = graphemeIterator(s, holder);
    std::size_t seen = 0;
    for (int32_t p = it->next(); p != icu::BreakIterator::DONE; p = it->next()) {
        if (++seen == count) {
            return s.substr(0, static_cast<std::size_t>(p));
        }
    }
    return s;
}

std::string toLower(std::string_view s) {
    std::string out;
    icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())))
        .toLower(icu::Locale::getRoot())
        .toUTF8String(out);
    return out;
}

std::string toUpper(std::string_view s) {
    std::string out;
    icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())))
        .toUpper(icu::Locale::getRoot())
        .toUTF8String(out);
    return out;
}

std::string asciiLowered(std::string_view s) {
    std::string out(s);
    for (auto& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string toValidUtf8(std::string_view s) {
    // Nearly every text is well-formed already: one pass to see, and a plain copy.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.data());
    const auto length = static_cast<std::int32_t>(s.size());
    std::int32_t offset = 0;
    UChar32 c = 0;
    while (offset < length && c >= 0) {
        U8_NEXT(bytes, offset, length, c);
    }
    if (c >= 0) {
        return std::string(s);
    }
    std::string out;
    icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())))
        .toUTF8String(out);
    return out;
}

bool isValidUtf8(std::string_view s) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
    const auto length = static_cast<int64_t>(s.size());
    int64_t at = 0;
    while (at < length) {
        UChar32 c;
        U8_NEXT(bytes, at, length, c);
        if (c < 0) {
            return false;
        }
    }
    return true;
}

std::string composed(std::string s) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) {
        throw Error("Unicode normalization data is missing: " + std::string(u_errorName(status)));
    }
    if (!isValidUtf8(s)) {
        s = toValidUtf8(s);
    }
    const icu::StringPiece piece(s.data(), static_cast<int32_t>(s.size()));
    if (nfc->isNormalizedUTF8(piece, status) && U_SUCCESS(status)) {
        return s;
    }
    status = U_ZERO_ERROR;
    std::string out;
    out.reserve(s.size());
    icu::StringByteSink<std::string> sink(&out);
    nfc->normalizeUTF8(0, piece, sink, nullptr, status);
    if (U_FAILURE(status)) {
        throw Error("Unicode normalization failed: " + std::string(u_errorName(status)));
    }
    return out;
}

std::string_view utf8Prefix(std::string_view s, std::size_t maxBytes) {
    if (s.size() <= maxBytes) {
        return s;
    }
    std::size_t end = maxBytes;
    // Step back over continuation bytes to the start of the sequence the cut falls in.
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) {
        --end;
    }
    return s.substr(0, end);
}

std::string clipped(std::string_view s, std::size_t maxCharacters) {
    const auto kept = graphemePrefix(s, maxCharacters);
    if (kept.size() == s.size()) {
        return std::string(s);
    }
    return std::string(kept) + "\u2026";
}

std::optional<std::string> currencyText(std::string_view decimal, std::string_view currency,
                                        const std::string& locale) {
    if (currency.size() != 3) {
        return std::nullopt;
    }
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString code = icu::UnicodeString::fromUTF8(
        icu::StringPiece(currency.data(), static_cast<int32_t>(currency.size())));
    const icu::CurrencyUnit unit(code.getTerminatedBuffer(), status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    const auto formatted =
        icu::number::NumberFormatter::withLocale(icu::Locale(locale.c_str()))
            .unit(unit)
            .formatDecimal(icu::StringPiece(decimal.data(), static_cast<int32_t>(decimal.size())),
                           status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    const icu::UnicodeString text = formatted.toString(status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    std::string utf8;
    text.toUTF8String(utf8);
    return utf8;
}

}  // namespace vask::text
