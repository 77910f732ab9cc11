#include "sources/decoding/text_conversion.h"

#include <iconv.h>
#include <unicode/normalizer2.h>
#include <unicode/ucnv_cb.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/text.h"

namespace vask::decoding {

namespace {

thread_local std::uint64_t converted = 0;

// The part a long text is converted and composed in between two looks at the stop token.
constexpr std::size_t kStoppablePart = std::size_t{1024} * 1024;

}  // namespace

void throwIfStopRequested(const std::stop_token& stop) {
    if (stop.stop_requested()) {
        throw Error("Decoding the text was cancelled");
    }
}

std::uint64_t convertedBytes() {
    return converted;
}

void countConverted(std::size_t bytes) {
    converted += bytes;
}

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

// The encodings ICU has no converter for, which glibc's iconv converts: ISO-8859-16 (Romanian
// "ș" and "ț" with their commas, the letters of Polish, Hungarian, Slovenian and Croatian).
constexpr auto kIconvEncodings = std::to_array<std::string_view>({"ISO-8859-16"});

bool isIconvEncoding(std::string_view encoding) {
    return std::find(kIconvEncodings.begin(), kIconvEncodings.end(), encoding) !=
           kIconvEncodings.end();
}

// The UTF-8 a conversion writes: `bytes` of input make at most three bytes each in every encoding
// read here but UTF-16 (where two bytes make at most three), and text of letters of one script
// makes about as much of each part as of the rest. The first conversion of a text is told how
// much its first 64 KB made; the result is grown by halves past that, so the text is never held
// with a spare copy of its whole size (the peak of a doubling).
std::size_t expectedUtf8Size(std::size_t bytes, std::size_t sampleBytes, std::size_t sampleOut) {
    if (sampleBytes == 0) {
        return bytes + bytes / 4 + 64;
    }
    const auto perByte = static_cast<double>(sampleOut) / static_cast<double>(sampleBytes);
    return static_cast<std::size_t>(static_cast<double>(bytes) * perByte * 1.03) + 64;
}

void grow(std::string& out, char*& target) {
    const auto used = static_cast<std::size_t>(target - out.data());
    out.resize(out.size() + out.size() / 2 + 64);
    target = out.data() + used;
}

// `bytes` converted by glibc's iconv (for what ICU lacks); the same contract as `toUtf8`.
std::optional<std::string> iconvToUtf8(std::string_view bytes, const char* encoding,
                                       OnInvalid onInvalid, CutEnd cutEnd) {
    iconv_t converter = iconv_open("UTF-8", encoding);
    // iconv_open fails with the handle (iconv_t)-1, compared as the integer it was made from.
    if (reinterpret_cast<std::intptr_t>(converter) == -1) {
        return std::nullopt;
    }
    const std::unique_ptr<void, void (*)(void*)> closer(converter, [](void* c) { iconv_close(c); });
    std::string out(expectedUtf8Size(bytes.size(), 0, 0), '\0');
    // iconv's input is not const in its declaration; it is only read.
    auto* source = const_cast<char*>(bytes.data());
    std::size_t sourceLeft = bytes.size();
    char* target = out.data();
    while (sourceLeft > 0) {
        std::size_t targetLeft = out.size() - static_cast<std::size_t>(target - out.data());
        if (iconv(converter, &source, &sourceLeft, &target, &targetLeft) !=
            static_cast<std::size_t>(-1)) {
            break;
        }
        if (errno == E2BIG) {
            grow(out, target);
            continue;
        }
        const bool cut = errno == EINVAL;
        if (cut && cutEnd == CutEnd::dropped) {
            break;
        }
        if ((cut && cutEnd == CutEnd::asInvalid && onInvalid == OnInvalid::fail) ||
            (!cut && onInvalid == OnInvalid::fail)) {
            return std::nullopt;
        }
        // U+FFFD for the byte (or the cut character) that does not convert.
        const auto used = static_cast<std::size_t>(target - out.data());
        out.resize(used);
        out += "\xEF\xBF\xBD";
        out.resize(std::max(out.size() * 3 / 2, out.size() + sourceLeft * 3 + 64));
        target = out.data() + used + 3;
        const std::size_t skipped = cut ? sourceLeft : 1;
        source += skipped;
        sourceLeft -= skipped;
    }
    out.resize(static_cast<std::size_t>(target - out.data()));
    return out;
}

// The converter of an encoding, reset, from the few this thread keeps open: decoding converts
// many short runs (the words pasted into a text, one by one), and opening a converter costs more
// than converting a word.
UConverter* openedConverter(const char* encoding, UErrorCode& status) {
    constexpr std::size_t kKept = 16;
    thread_local std::vector<std::pair<std::string, ConverterPtr>> kept;
    // The one used last stays last, so the one dropped for another is the one longest unused.
    const auto found = std::find_if(kept.begin(), kept.end(),
                                    [&](const auto& entry) { return entry.first == encoding; });
    if (found != kept.end()) {
        std::rotate(found, found + 1, kept.end());
        ucnv_reset(kept.back().second.get());
        return kept.back().second.get();
    }
    ConverterPtr converter(ucnv_open(encoding, &status), ucnv_close);
    if (U_FAILURE(status)) {
        return nullptr;
    }
    if (kept.size() >= kKept) {
        kept.erase(kept.begin());
    }
    kept.emplace_back(encoding, std::move(converter));
    return kept.back().second.get();
}

// Converts straight into UTF-8 through a small pivot, so no copy of the text in UTF-16 is held
// besides the result.
std::optional<std::string> toUtf8(std::string_view bytes, const char* encoding, OnInvalid onInvalid,
                                  CutEnd cutEnd, const std::stop_token& stop) {
    countConverted(bytes.size());
    if (isIconvEncoding(encoding)) {
        return iconvToUtf8(bytes, encoding, onInvalid, cutEnd);
    }
    UErrorCode status = U_ZERO_ERROR;
    auto* from = openedConverter(encoding, status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    auto* to = openedConverter("UTF-8", status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    if (onInvalid == OnInvalid::fail) {
        // Stop at the first byte sequence the encoding cannot hold instead of substituting.
        ucnv_setToUCallBack(from, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    } else {
        ucnv_setToUCallBack(from, &replaceWithReplacementCharacter, nullptr, nullptr, nullptr,
                            &status);
    }
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    // The first part is converted into room of its own size; the rest into room for what that
    // part made, in proportion.
    constexpr std::size_t kFirstPart = std::size_t{64} * 1024;
    const auto firstPart = std::min(bytes.size(), kFirstPart);
    std::string out(expectedUtf8Size(firstPart, 0, 0), '\0');
    std::array<UChar, 1024> pivot{};
    UChar* pivotSource = pivot.data();
    UChar* pivotTarget = pivot.data();
    const char* source = bytes.data();
    char* target = out.data();
    bool reset = true;
    // The bytes are converted without flushing, so a character they end inside is held back;
    // then the converter is flushed, with that character or without it.
    const auto run = [&](const char* sourceLimit, bool flush) {
        while (true) {
            status = U_ZERO_ERROR;
            ucnv_convertEx(to, from, &target, out.data() + out.size(), &source, sourceLimit,
                           pivot.data(), &pivotSource, &pivotTarget, pivot.data() + pivot.size(),
                           static_cast<UBool>(reset), static_cast<UBool>(flush), &status);
            reset = false;
            if (status != U_BUFFER_OVERFLOW_ERROR) {
                return;
            }
            grow(out, target);
        }
    };
    run(bytes.data() + firstPart, false);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    if (firstPart < bytes.size()) {
        const auto used = static_cast<std::size_t>(target - out.data());
        out.resize(std::max(out.size(), expectedUtf8Size(bytes.size(), firstPart, used)));
        target = out.data() + used;
        // A megabyte at a time, so a stop is looked at between two.
        for (auto done = firstPart; done < bytes.size();) {
            throwIfStopRequested(stop);
            done = std::min(bytes.size(), done + kStoppablePart);
            run(bytes.data() + done, false);
            if (U_FAILURE(status)) {
                return std::nullopt;
            }
        }
    }
    UErrorCode pendingStatus = U_ZERO_ERROR;
    const bool cut = ucnv_toUCountPending(from, &pendingStatus) > 0;
    if (cut && cutEnd != CutEnd::asInvalid) {
        ucnv_resetToUnicode(from);
    }
    run(bytes.data() + bytes.size(), true);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(target - out.data()));
    if (cut && cutEnd == CutEnd::replaced) {
        out += "\xEF\xBF\xBD";
    }
    return out;
}

// The text in NFC, when there is one: composed where it stands. A part already in NFC (most text,
// and all of it in most pages) stays as it is; a part that is not is composed apart and written
// back over the bytes read (NFC makes a text longer only where a character of few scripts has no
// composed form, "क़" as "क" and its nukta): no second copy of the whole is held.
std::optional<std::string> composed(std::optional<std::string> text, const std::stop_token& stop) {
    if (!text) {
        return text;
    }
    if (text->size() <= kStoppablePart) {
        *text = text::composed(std::move(*text));
        return text;
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) {
        throw Error("Unicode normalization data is missing: " + std::string(u_errorName(status)));
    }
    auto& bytes = *text;
    // What is composed is written at `written`, up to the bytes read so far; what would go past
    // them is kept aside and appended at the end (with all that follows it, in order).
    std::size_t written = 0;
    std::size_t read = 0;
    std::string spilled;
    bool spilling = false;
    while (read < bytes.size()) {
        throwIfStopRequested(stop);
        // A line break composes with nothing on either side, so the lines compose apart.
        const auto lineEnd = bytes.find('\n', std::min(bytes.size(), read + kStoppablePart));
        const auto end = lineEnd == std::string::npos ? bytes.size() : lineEnd + 1;
        const std::string_view part(bytes.data() + read, end - read);
        status = U_ZERO_ERROR;
        const bool normal =
            text::isValidUtf8(part) &&
            nfc->isNormalizedUTF8(icu::StringPiece(part.data(), static_cast<int32_t>(part.size())),
                                  status) &&
            U_SUCCESS(status);
        if (normal && !spilling) {
            if (written != read) {
                std::memmove(bytes.data() + written, part.data(), part.size());
            }
            written += part.size();
        } else {
            const auto made = normal ? std::string(part) : text::composed(std::string(part));
            if (!spilling && written + made.size() <= end) {
                std::memcpy(bytes.data() + written, made.data(), made.size());
                written += made.size();
            } else {
                spilling = true;
                spilled += made;
            }
        }
        read = end;
    }
    bytes.resize(written);
    bytes += spilled;
    return text;
}

}  // namespace vask::decoding
