#include "sources/text_decoding.h"

#include <iconv.h>
#include <uchardet.h>
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/uscript.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace vask {

std::optional<std::string> TextDecoding::utf8(std::string_view bytes) {
    if (!text::isValidUtf8(bytes)) {
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

// What becomes of a last character the bytes end inside: what the rest of the conversion does
// (it fails it or replaces it), nothing (the bytes are a sample of a longer text, which goes on
// past them) or U+FFFD (a text cut short, which does not make its encoding wrong).
enum class CutEnd { asInvalid, dropped, replaced };

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
    if (converter == reinterpret_cast<iconv_t>(-1)) {
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

// Converts straight into UTF-8 through a small pivot, so no copy of the text in UTF-16 is held
// besides the result.
std::optional<std::string> toUtf8(std::string_view bytes, const char* encoding, OnInvalid onInvalid,
                                  CutEnd cutEnd = CutEnd::asInvalid) {
    if (isIconvEncoding(encoding)) {
        return iconvToUtf8(bytes, encoding, onInvalid, cutEnd);
    }
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
        ucnv_setToUCallBack(from.get(), &replaceWithReplacementCharacter, nullptr, nullptr, nullptr,
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
            ucnv_convertEx(to.get(), from.get(), &target, out.data() + out.size(), &source,
                           sourceLimit, pivot.data(), &pivotSource, &pivotTarget,
                           pivot.data() + pivot.size(), static_cast<UBool>(reset),
                           static_cast<UBool>(flush), &status);
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
        run(bytes.data() + bytes.size(), false);
        if (U_FAILURE(status)) {
            return std::nullopt;
        }
    }
    UErrorCode pendingStatus = U_ZERO_ERROR;
    const bool cut = ucnv_toUCountPending(from.get(), &pendingStatus) > 0;
    if (cut && cutEnd != CutEnd::asInvalid) {
        ucnv_resetToUnicode(from.get());
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

}  // namespace

namespace {

// The text in NFC, when there is one.
std::optional<std::string> composed(std::optional<std::string> text) {
    if (text) {
        *text = text::composed(std::move(*text));
    }
    return text;
}

}  // namespace

std::optional<std::string> TextDecoding::convert(std::string_view bytes, const char* encoding) {
    return composed(toUtf8(bytes, encoding, OnInvalid::fail));
}

std::optional<std::string> TextDecoding::convertReplacing(std::string_view bytes,
                                                          const char* encoding) {
    return composed(toUtf8(bytes, encoding, OnInvalid::replace));
}

namespace {

bool isLetter(UChar32 c) {
    return u_isalpha(c) != 0;
}

bool isMark(UChar32 c) {
    const auto type = u_charType(c);
    return type == U_NON_SPACING_MARK || type == U_COMBINING_SPACING_MARK;
}

// The script of a character; one of no script of its own that only kana write (the long-vowel
// mark "ー", the iteration marks) is katakana's.
UScriptCode letterScript(UChar32 c) {
    UErrorCode status = U_ZERO_ERROR;
    const auto script = uscript_getScript(c, &status);
    if ((script == USCRIPT_COMMON || script == USCRIPT_INHERITED) &&
        (uscript_hasScript(c, USCRIPT_KATAKANA) != 0 ||
         uscript_hasScript(c, USCRIPT_HIRAGANA) != 0)) {
        return USCRIPT_KATAKANA;
    }
    return script;
}

// The script of a letter, the scripts East Asian text writes side by side (Han, kana, Hangul)
// taken as one.
UScriptCode scriptOf(UChar32 c) {
    const auto script = letterScript(c);
    return script == USCRIPT_HIRAGANA || script == USCRIPT_KATAKANA || script == USCRIPT_HANGUL
               ? USCRIPT_HAN
               : script;
}

// Whether a character is part of the word beside it: a letter, a digit or a mark.
bool isPartOfWord(UChar32 c) {
    return isLetter(c) || u_isdigit(c) != 0 || isMark(c);
}

// Whether a character that is no letter may stand inside a word: an apostrophe, a middle dot
// (Catalan "l·l"), a non-breaking or soft hyphen.
bool joinsWords(UChar32 c) {
    return c == 0x2019 || c == 0x00B7 || c == 0x2011 || c == 0x00AD;
}

// Whether a symbol is one text writes: degrees, plus-minus, times, division, copyright,
// registered, trade mark, section.
bool isWrittenSymbol(UChar32 c) {
    return c == 0x00B0 || c == 0x00B1 || c == 0x00D7 || c == 0x00F7 || c == 0x00A9 || c == 0x00AE ||
           c == 0x2122 || c == 0x00A7;
}

// The character at `at` and the one after it (a space at the end).
std::pair<UChar32, UChar32> characterAt(std::string_view utf8, int32_t& at) {
    const auto length = static_cast<int32_t>(utf8.size());
    UChar32 c = 0;
    U8_NEXT(utf8.data(), at, length, c);
    UChar32 next = ' ';
    if (at < length) {
        int32_t peek = at;
        U8_NEXT(utf8.data(), peek, length, next);
    }
    return {c, next};
}

// How plausible text decoded from an encoding of two-byte characters reads (the two byte orders
// of UTF-16 saved without a mark, and the legacy encoding guessed for the same bytes, are weighed
// by it): letters above ASCII count for it, and what a wrong reading makes against it: a capital
// after a small letter, letters of two scripts in one word, punctuation or symbols inside a word,
// line-drawing and other symbols, and control or unassigned characters most of all.
long plausibility(std::string_view utf8) {
    long score = 0;
    UChar32 previous = ' ';
    int32_t at = 0;
    while (at < static_cast<int32_t>(utf8.size())) {
        const auto [c, next] = characterAt(utf8, at);
        if (c >= 0 && c < 0x80) {
            previous = c;
            continue;
        }
        const auto script = letterScript(c);
        const auto type = u_charType(c);
        if (c < 0 || type == U_CONTROL_CHAR || type == U_UNASSIGNED || type == U_PRIVATE_USE_CHAR ||
            type == U_SURROGATE || c == 0xFFFD) {
            score -= 20;
        } else if (isLetter(c)) {
            // Latin letters outside the accented ones of European languages ("ƒ", "º") are
            // rarely written; so are runs of accented letters.
            const bool latin = script == USCRIPT_LATIN;
            score += latin && (c < 0xC0 || c > 0x17F) ? -2 : (script == USCRIPT_COMMON ? -2 : 1);
            if (isLetter(previous)) {
                if (scriptOf(previous) != scriptOf(c)) {
                    score -= 4;
                }
                if (u_isupper(c) != 0 && u_islower(previous) != 0) {
                    score -= 4;
                }
                // Runs of accented letters ("Ïðèâåò" for "Привет").
                if (latin && previous >= 0x80 && letterScript(previous) == USCRIPT_LATIN) {
                    score -= 1;
                }
            }
            if (!latin && next < 0x80 && isLetter(next)) {
                score -= 4;
            }
            // Japanese writes kana between its kanji; half-width katakana is what Chinese bytes
            // read as Shift_JIS mostly make.
            if (script == USCRIPT_HIRAGANA || (script == USCRIPT_KATAKANA && c < 0xFF61)) {
                score += 1;
            } else if (c >= 0xFF61 && c <= 0xFF9F) {
                score -= 2;
            }
        } else if (isMark(c)) {
            // Vowel signs and tone marks of Thai and Indic scripts belong to the letter of their
            // script before them, accents (of no script of their own) to any letter; anywhere
            // else a mark is what a wrong reading makes.
            UErrorCode previousStatus = U_ZERO_ERROR;
            const bool ofTheLetter =
                isLetter(previous) && (script == USCRIPT_INHERITED ||
                                       uscript_getScript(previous, &previousStatus) == script);
            score += ofTheLetter ? 1 : -4;
            if (ofTheLetter) {
                continue;
            }
        } else if (type == U_SPACE_SEPARATOR) {
            // Neither way.
        } else if (isLetter(previous) && isLetter(next) && !joinsWords(c)) {
            score -= 4;
        } else if ((type == U_MATH_SYMBOL || type == U_OTHER_SYMBOL || type == U_MODIFIER_SYMBOL) &&
                   !isWrittenSymbol(c)) {
            score -= 2;
        } else {
            score += 1;
        }
        previous = c;
    }
    return score;
}

// The Latin letters above ASCII that are words of their own (small): French "à", Italian "è",
// Portuguese "é" and "ó", Icelandic "á" and "í", Hungarian "ő", Scandinavian "å", "ö" and "ø",
// Lithuanian "į".
constexpr std::u32string_view kLoneLetterWords = U"àèéóáíőåöøį";

// What a wrong code page makes of text, counted in a reading of the bytes: a control character
// or one no encoding assigns; a character above ASCII that is no letter standing inside a word
// (windows-1252's "d‚j…" for cp850's "déjà"), or an opening quotation mark after one
// (windows-1252's "donn‚" for cp850's "donné"); a capital after a small letter, one of the two
// above ASCII ("cafÉ"); letters of two scripts in one word; a letter above ASCII that no European
// language writes, beside a letter (cp850's "Grƒºe" for Mac Roman's "Grüße"); a mark after no
// letter; a Latin letter above ASCII alone that is no word (windows-1252's "Š" for cp850's "è"),
// one after a hyphen (the Lithuanian ordinal "1-ą") aside. Words pasted from UTF-8, which read as
// letters out of place in any page, are not counted (`weighedPart`).
long readingFaults(std::string_view utf8) {
    long faults = 0;
    UChar32 previous = ' ';
    int32_t at = 0;
    while (at < static_cast<int32_t>(utf8.size())) {
        const auto [c, next] = characterAt(utf8, at);
        const auto type = u_charType(c);
        if (c < 0 || (type == U_CONTROL_CHAR && c != '\t' && c != '\n' && c != '\r' && c != '\f') ||
            type == U_UNASSIGNED || type == U_PRIVATE_USE_CHAR) {
            ++faults;
        } else if (isMark(c)) {
            faults += isLetter(previous) ? 0 : 1;
            continue;
        } else if (isLetter(c)) {
            if ((c >= 0x80 || previous >= 0x80) && isLetter(previous) &&
                (scriptOf(previous) != scriptOf(c) ||
                 (u_isupper(c) != 0 && u_islower(previous) != 0))) {
                ++faults;
            }
            const bool latin = c >= 0x80 && letterScript(c) == USCRIPT_LATIN;
            if (latin && (c < 0xC0 || c > 0x24F) && (isLetter(previous) || isLetter(next))) {
                ++faults;
            }
            if (latin && !isPartOfWord(previous) && previous != '-' && !isPartOfWord(next) &&
                next != '.' &&
                kLoneLetterWords.find(static_cast<char32_t>(u_tolower(c))) ==
                    std::u32string_view::npos) {
                ++faults;
            }
        } else if (c >= 0x80 && type != U_SPACE_SEPARATOR && isLetter(previous) &&
                   ((isLetter(next) && !joinsWords(c)) || type == U_START_PUNCTUATION)) {
            ++faults;
        }
        previous = c;
    }
    return faults;
}

// ISO-2022-JP is all 7-bit bytes (so well-formed UTF-8) with escapes that switch to and from
// JIS X 0208; ISO-2022-KR declares KS X 1001 once, with an escape of its own.
bool holdsIso2022JpEscapes(std::string_view bytes) {
    for (const auto escape : {"\x1B$B", "\x1B$@", "\x1B(J", "\x1B$(D"}) {
        if (bytes.find(escape) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

bool holdsIso2022KrEscape(std::string_view bytes) {
    return bytes.find("\x1B$)C") != std::string_view::npos;
}

// The ISO-2022 encoding whose escapes 7-bit bytes hold; nothing for none.
const char* iso2022Encoding(std::string_view bytes) {
    if (holdsIso2022JpEscapes(bytes)) {
        return "ISO-2022-JP";
    }
    return holdsIso2022KrEscape(bytes) ? "ISO-2022-KR" : nullptr;
}

// Whether UTF-8 holds C0 and C1 control characters other than tab, line feed, form feed and
// carriage return, and DEL: what text files do not hold and binary files almost always do.
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

// What reading the bytes as UTF-8 makes: characters above ASCII and the bytes they take, and
// ill-formed sequences (each read as one U+FFFD) and the bytes they take.
struct Utf8Reading {
    std::size_t characters = 0;
    std::size_t illFormed = 0;
    std::size_t wellFormedBytes = 0;
    std::size_t illFormedBytes = 0;
};

Utf8Reading readAsUtf8(std::string_view bytes) {
    Utf8Reading reading;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const auto length = static_cast<std::int64_t>(bytes.size());
    std::int64_t at = 0;
    while (at < length) {
        if (data[at] < 0x80) {
            ++at;
            continue;
        }
        const auto start = at;
        UChar32 c = 0;
        U8_NEXT(data, at, length, c);
        ++(c < 0 ? reading.illFormed : reading.characters);
        (c < 0 ? reading.illFormedBytes : reading.wellFormedBytes) +=
            static_cast<std::size_t>(at - start);
    }
    return reading;
}

bool isAscii(std::string_view bytes) {
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// What the encoding is guessed from: 64 KB from the line of the first byte above ASCII, so a
// file or page that begins with a long stretch of ASCII is guessed from the text that tells.
// The sample may end inside a character: it is read as the start of a longer text.
std::string_view guessSample(std::string_view bytes) {
    constexpr std::size_t kSample = std::size_t{64} * 1024;
    constexpr std::size_t kLineBefore = 256;
    const auto first = static_cast<std::size_t>(
        std::find_if(bytes.begin(), bytes.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0x80; }) -
        bytes.begin());
    const auto from = first - std::min(first, kLineBefore);
    const auto lineStart = bytes.substr(from, first - from).rfind('\n');
    const auto start = lineStart == std::string_view::npos ? from : from + lineStart + 1;
    return bytes.substr(start, kSample);
}

// A sample read in an encoding: a character cut at its end is no fault of the encoding (the
// text goes on past the sample, or was cut short), so it is left out.
std::optional<std::string> sampleText(std::string_view sample, const char* encoding) {
    return toUtf8(sample, encoding, OnInvalid::fail, CutEnd::dropped);
}

// The converter of each encoding the detector (uchardet) names. ISO-8859-1, -9 and -11 are read
// as the Windows pages that extend them (their bytes 0x80 to 0x9F are controls in ISO-8859 and
// typographic marks in Windows), EUC-KR as windows-949 (its Hangul beyond KS X 1001 as well);
// ISO-8859-16, which ICU does not convert, through iconv. ASCII and the Unicode encodings are
// left out (the bytes are in none of them), and so is VISCII, which neither converts.
struct DetectorName {
    std::string_view name;
    const char* encoding;
};

constexpr auto kDetectorNames = std::to_array<DetectorName>({
    {"BIG5", "Big5"},
    {"EUC-JP", "EUC-JP"},
    {"EUC-KR", "windows-949"},
    {"EUC-TW", "EUC-TW"},
    {"GB18030", "GB18030"},
    {"HZ-GB-2312", "HZ"},
    {"IBM852", "ibm-852"},
    {"IBM855", "ibm-855"},
    {"IBM866", "ibm-866"},
    {"ISO-2022-CN", "ISO-2022-CN"},
    {"ISO-2022-JP", "ISO-2022-JP"},
    {"ISO-2022-KR", "ISO-2022-KR"},
    {"ISO-8859-1", "windows-1252"},
    {"ISO-8859-10", "ISO-8859-10"},
    {"ISO-8859-11", "windows-874"},
    {"ISO-8859-13", "ISO-8859-13"},
    {"ISO-8859-15", "ISO-8859-15"},
    {"ISO-8859-16", "ISO-8859-16"},
    {"ISO-8859-2", "ISO-8859-2"},
    {"ISO-8859-3", "ISO-8859-3"},
    {"ISO-8859-4", "ISO-8859-4"},
    {"ISO-8859-5", "ISO-8859-5"},
    {"ISO-8859-6", "ISO-8859-6"},
    {"ISO-8859-7", "ISO-8859-7"},
    {"ISO-8859-8", "ISO-8859-8"},
    {"ISO-8859-9", "windows-1254"},
    {"KOI8-R", "KOI8-R"},
    {"MAC-CENTRALEUROPE", "x-mac-centraleurroman"},
    {"MAC-CYRILLIC", "x-mac-cyrillic"},
    {"SHIFT_JIS", "Shift_JIS"},
    {"TIS-620", "windows-874"},
    {"UHC", "windows-949"},
    {"WINDOWS-1250", "windows-1250"},
    {"WINDOWS-1251", "windows-1251"},
    {"WINDOWS-1252", "windows-1252"},
    {"WINDOWS-1253", "windows-1253"},
    {"WINDOWS-1254", "windows-1254"},
    {"WINDOWS-1255", "windows-1255"},
    {"WINDOWS-1256", "windows-1256"},
    {"WINDOWS-1257", "windows-1257"},
    {"WINDOWS-1258", "windows-1258"},
});

// The encoding the detector finds the sample in, as ICU names it; nothing when it finds none,
// finds ASCII or a Unicode encoding, or names one not above.
const char* detectorGuess(std::string_view sample) {
    const std::unique_ptr<std::remove_pointer_t<uchardet_t>, decltype(&uchardet_delete)> detector(
        uchardet_new(), uchardet_delete);
    if (!detector || uchardet_handle_data(detector.get(), sample.data(), sample.size()) != 0) {
        return nullptr;
    }
    uchardet_data_end(detector.get());
    const char* answer = uchardet_get_charset(detector.get());
    const std::string_view name = answer != nullptr ? answer : "";
    const auto known = std::find_if(kDetectorNames.begin(), kDetectorNames.end(),
                                    [&](const DetectorName& entry) { return entry.name == name; });
    return known != kDetectorNames.end() ? known->encoding : nullptr;
}

bool holdsAnyByte(std::string_view bytes, std::string_view of) {
    return bytes.find_first_of(of) != std::string_view::npos;
}

// KOI8-U's Ukrainian letters ("є", "і", "ї", "ґ" and their capitals), line-drawing pieces in
// KOI8-R, which the detector does not tell KOI8-U from.
constexpr std::string_view kKoi8UkrainianLetters = "\xA4\xA6\xA7\xAD\xB4\xB6\xB7\xBD";

// The bytes 0x80 to 0x9F: controls in ISO-8859-13, the quotation marks and dashes of
// windows-1257, whose letters are ISO-8859-13's; the detector names the ISO page for both.
constexpr std::string_view kC1Bytes =
    "\x80\x81\x82\x83\x84\x85\x86\x87\x88\x89\x8A\x8B\x8C\x8D\x8E\x8F"
    "\x90\x91\x92\x93\x94\x95\x96\x97\x98\x99\x9A\x9B\x9C\x9D\x9E\x9F";

// The code pages of Latin letters the detector finds: a reading in one of them with faults is
// weighed against the Western pages below.
constexpr auto kLatinPages = std::to_array<std::string_view>(
    {"windows-1250", "windows-1252", "windows-1254", "windows-1257", "ISO-8859-2", "ISO-8859-3",
     "ISO-8859-4", "ISO-8859-10", "ISO-8859-13", "ISO-8859-15", "ISO-8859-16", "ibm-852",
     "x-mac-centraleurroman"});

// Western text in the pages the detector does not know (DOS's cp850, Mac Roman), or in
// windows-1252 that it reads in a page of languages it knows (Icelandic as Baltic), Vietnamese
// in windows-1258, and Estonian and Finnish in ISO-8859-15, whose "š" and "ž" the detector reads
// as windows-1252's "¨" and "¸" ("Tšehhi" as "T¨ehhi"): in that order, the first with fewest
// faults.
constexpr auto kWesternPages = std::to_array<const char*>(
    {"windows-1252", "ibm-850", "macintosh", "windows-1258", "ISO-8859-15"});

// The Central European DOS and Mac pages, which the detector names for Western text in the DOS
// and Mac pages it does not know (Mac Roman's "Grüße" is cp852's "Grčže"): a Western page that
// reads the sample with as few faults is taken instead.
constexpr auto kWesternLookalikes =
    std::to_array<std::string_view>({"ibm-852", "x-mac-centraleurroman"});

// The Baltic pages, and the letters above ASCII of the languages they write (Lithuanian,
// Latvian, Estonian): the detector, which knows no Icelandic, reads Icelandic in windows-1252 in
// ISO-8859-13, whose reading holds Polish letters ("bśa" for "búa").
constexpr auto kBalticPages =
    std::to_array<std::string_view>({"ISO-8859-4", "ISO-8859-13", "windows-1257"});
constexpr std::u32string_view kBalticLetters = U"ąčęėįšųūžāēģīķļņŗõäöü";

// The letters above ASCII of a reading that are not among `letters` (small).
long foreignLetters(std::string_view utf8, std::u32string_view letters) {
    long foreign = 0;
    int32_t at = 0;
    while (at < static_cast<int32_t>(utf8.size())) {
        const auto c = characterAt(utf8, at).first;
        if (c >= 0x80 && isLetter(c) &&
            letters.find(static_cast<char32_t>(u_tolower(c))) == std::u32string_view::npos) {
            ++foreign;
        }
    }
    return foreign;
}

// The letters above ASCII of each language ISO-8859-3 writes (small): Esperanto, Maltese and
// Turkish ("i" is "İ" made small). A reading in it of letters of one of them is that language;
// Polish in ISO-8859-2, which the detector also names ISO-8859-3, reads as letters of all three
// ("Proszê zamknħĉ").
constexpr auto kLatin3Alphabets =
    std::to_array<std::u32string_view>({U"ĉĝĥĵŝŭ", U"ċġħżàèìòù", U"çğışöüâîûi"});

bool isOneLatin3Language(std::string_view utf8) {
    // A name or a borrowed word of another language ("Gödel" in Esperanto) aside: one letter in
    // twenty of other alphabets.
    constexpr long kLettersForEachForeign = 20;
    const auto letters = foreignLetters(utf8, U"");
    return std::any_of(
        kLatin3Alphabets.begin(), kLatin3Alphabets.end(), [&](std::u32string_view alphabet) {
            return foreignLetters(utf8, alphabet) * kLettersForEachForeign <= letters;
        });
}

// What a sample the detector finds no encoding for is weighed in: the Windows pages of Western,
// Cyrillic, Central European, Greek, Baltic and Thai letters, KOI8-R and the DOS and Mac pages.
// (The detector names UTF-8 for some Thai lines in windows-874, which cp866 reads as Cyrillic
// and line drawing.)
constexpr auto kFallbackPages = std::to_array<const char*>(
    {"windows-1252", "windows-1251", "windows-1250", "KOI8-R", "ibm-866", "ibm-850", "macintosh",
     "windows-1253", "windows-1257", "windows-874"});

// What a legacy encoding is guessed from: the sample, and the part of it a reading's faults are
// counted in (the sample without the words pasted into it from UTF-8; the whole when it has
// none).
struct Sample {
    std::string_view bytes;
    std::string_view weighed;
};

// The reading in `page` of the part of the sample that is weighed, when the page converts the
// whole sample (the whole sample's, when the part cut from it does not convert: a page of two
// bytes to a character).
std::optional<std::string> weighedText(const Sample& sample, const char* page) {
    auto text = sampleText(sample.bytes, page);
    if (!text || sample.weighed.size() == sample.bytes.size()) {
        return text;
    }
    auto part = sampleText(sample.weighed, page);
    return part ? part : text;
}

// Whether the sample reads in ISO-8859-3 without faults as Esperanto, every letter above ASCII
// one of its own: the detector names cp852 for some Esperanto, whose "ĉ", "ĝ", "ŝ" and "ŭ" the
// Western pages read fault-free as "æ", "ø", "þ" and "ý" ("dolæa", "þajnis"); Western DOS and
// Mac text, which it also names cp852 for, reads in ISO-8859-3 with controls or other letters.
bool readsAsEsperanto(const Sample& sample) {
    const auto text = weighedText(sample, "ISO-8859-3");
    return text && readingFaults(*text) == 0 && foreignLetters(*text, kLatin3Alphabets[0]) == 0;
}

// Of `pages`, the one whose reading of the sample has fewest faults (the first of those), into
// `best` and `faults` when it has fewer than `faults` (as few, with `tiesToPages`).
template <std::size_t n>
void takeFewestFaults(const Sample& sample, const std::array<const char*, n>& pages,
                      const char*& best, long& faults, bool tiesToPages = false) {
    const char* found = nullptr;
    long foundFaults = 0;
    for (const auto* page : pages) {
        if (const auto text = weighedText(sample, page)) {
            const auto pageFaults = readingFaults(*text);
            if (found == nullptr || pageFaults < foundFaults) {
                found = page;
                foundFaults = pageFaults;
            }
        }
    }
    if (found != nullptr &&
        (best == nullptr || foundFaults < faults || (tiesToPages && foundFaults == faults))) {
        best = found;
        faults = foundFaults;
    }
}

// The bytes of the signs of units and currencies in windows-1252: euro, cent, pound, yen,
// section, degrees, plus-minus, squared, cubed, micro, the common fractions, times.
constexpr std::string_view kUnitSignBytes =
    "\x80\xA2\xA3\xA5\xA7\xB0\xB1\xB2\xB3\xB5\xBC\xBD\xBE\xD7";

// Whether every byte of the sample above ASCII reads in windows-1252 as a sign of a unit or a
// currency where such a sign stands ("5µm", "20m²", "£850", "3½ h"): one such byte tells too
// little for the detector, which names a page that reads it as a letter (ISO-8859-10's "20mē",
// DOS's "5Ám"), as fault-free as the sign. The same bytes are letters of the Central European
// pages (ISO-8859-2's "ł", "Ł", "ž" at 0xB3, 0xA3, 0xBE, windows-1250's "ą" at 0xB9) and stand
// where letters stand: so a sign touches no letter but for a squared or cubed metre and the
// unit a micro or degree sign begins ("5µm", "180°C") ("by\xB3" is "był", "Mo\xBEete" "Možete",
// "\xA3odz" "Łodz").
bool holdsOnlyUnitSigns(std::string_view sample) {
    const auto isAsciiLetter = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    };
    bool any = false;
    for (std::size_t i = 0; i < sample.size(); ++i) {
        const auto byte = static_cast<unsigned char>(sample[i]);
        if (byte < 0x80) {
            continue;
        }
        if (kUnitSignBytes.find(sample[i]) == std::string_view::npos ||
            (i + 1 < sample.size() && static_cast<unsigned char>(sample[i + 1]) >= 0x80)) {
            return false;
        }
        const bool letterBefore = i > 0 && isAsciiLetter(sample[i - 1]);
        const bool letterAfter = i + 1 < sample.size() && isAsciiLetter(sample[i + 1]);
        const bool metrePower = (byte == 0xB2 || byte == 0xB3) && i > 0 && sample[i - 1] == 'm';
        if ((letterBefore && !metrePower) || (letterAfter && byte != 0xB5 && byte != 0xB0)) {
            return false;
        }
        any = true;
    }
    return any;
}

template <std::size_t n>
bool isOneOf(std::string_view name, const std::array<std::string_view, n>& names) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// The letters above ASCII of the languages written in the Western pages (small): French,
// German, Spanish, Portuguese, Italian, Catalan, Dutch, Icelandic, Danish and Norwegian, Swedish
// and Finnish, Estonian; and of those written in the Central European ones: Polish, Czech and
// Slovak, Hungarian, Croatian and Slovenian, Romanian (with the cedilla windows-1250 and
// ISO-8859-2 write, and the comma of ISO-8859-16), German.
constexpr auto kWesternAlphabets = std::to_array<std::u32string_view>(
    {U"àâæçéèêëîïôœùûüÿ", U"äöüß", U"áéíñóúü", U"àáâãçéêíóôõú", U"àèéìíîòóù", U"àçèéíïòóúü",
     U"éëïóöü", U"áéíóúýæðþö", U"æøåéó", U"äåöéü", U"äöõüšž"});
constexpr auto kCentralEuropeanAlphabets = std::to_array<std::u32string_view>(
    {U"ąćęłńóśźż", U"áčďéěíňóřšťúůýžäĺľôŕ", U"áéíóöőúüű", U"čćđšž", U"ăâîşţșț", U"äöüß"});

template <std::size_t n>
bool isOneLanguage(std::string_view utf8, const std::array<std::u32string_view, n>& alphabets) {
    // A name or a borrowed word of another language aside: one letter in twenty of others.
    constexpr long kLettersForEachForeign = 20;
    const auto letters = foreignLetters(utf8, U"");
    return std::any_of(alphabets.begin(), alphabets.end(), [&](std::u32string_view alphabet) {
        return foreignLetters(utf8, alphabet) * kLettersForEachForeign <= letters;
    });
}

// Whether the bytes hold a byte 0x80 to 0x9F that is no part of a UTF-8 character (a word
// pasted from UTF-8 that the weighed part keeps, "informa\xC8\x9Bie-detaliat\xE3", holds one).
bool holdsIllFormedC1Byte(std::string_view bytes) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const auto length = static_cast<std::int64_t>(bytes.size());
    for (std::int64_t at = 0; at < length;) {
        const auto start = at;
        UChar32 c = 0;
        U8_NEXT(data, at, length, c);
        if (c < 0 && data[start] >= 0x80 && data[start] < 0xA0) {
            return true;
        }
    }
    return false;
}

// The Central European pages, in the order a reading as fault-free is taken in: windows-1250
// (its quotation marks are C1 bytes, controls in the ISO pages), ISO-8859-2, ISO-8859-16.
constexpr auto kCentralEuropeanPages =
    std::to_array<const char*>({"windows-1250", "ISO-8859-2", "ISO-8859-16"});

// A Central European page in place of a Western one whose reading is no one language written
// in it (Romanian in windows-1250 read as windows-1252's "frumoasã", "þãranii": "ã" is
// Portuguese, "þ" Icelandic) when that page reads the sample as one language written in it with
// as few faults; and windows-1250 in place of ISO-8859-16 when the sample holds the C1 bytes of
// windows-1250's quotation marks and dashes (controls in ISO-8859-16).
const char* centralEuropeanInstead(const Sample& sample, const char* guess) {
    const std::string_view name = guess;
    if (name == "ISO-8859-16" && holdsIllFormedC1Byte(sample.weighed) &&
        weighedText(sample, "windows-1250")) {
        return "windows-1250";
    }
    if (std::find(kWesternPages.begin(), kWesternPages.end(), name) == kWesternPages.end()) {
        return guess;
    }
    const auto text = weighedText(sample, guess);
    if (!text || isOneLanguage(*text, kWesternAlphabets)) {
        return guess;
    }
    const auto faults = readingFaults(*text);
    for (const auto* page : kCentralEuropeanPages) {
        const auto reading = weighedText(sample, page);
        if (reading && readingFaults(*reading) <= faults &&
            isOneLanguage(*reading, kCentralEuropeanAlphabets)) {
            return page;
        }
    }
    return guess;
}

// The legacy encoding the sample is in: the detector's, but for what its reading shows a rule
// of Vask's own reads better: KOI8-U for Ukrainian letters, windows-1257 for Baltic text with
// its quotation marks, ISO-8859-2 for what the detector takes for ISO-8859-3 when that reading
// is no one language of the page's (Esperanto, Maltese, Turkish) and -2 reads with as few
// faults, and a Western page when a reading in a Latin page has faults and one of those has
// fewer; windows-1252 for signs of units and currencies alone. A Latin page that reads the
// sample as windows-1252 does is named as that, the page most such text is written in. When
// the detector finds none, the page whose reading has fewest faults. The detector reads the
// whole sample (the words of Chinese, Japanese and Korean text between spaces are UTF-8 whole
// often enough to break its reading if they were taken out), the faults are counted in the
// weighed part. Nothing when no page converts the sample.
const char* legacyEncoding(const Sample& weighed) {
    const auto sample = weighed.bytes;
    if (holdsOnlyUnitSigns(weighed.weighed)) {
        return "windows-1252";
    }
    const char* guess = detectorGuess(sample);
    auto text = guess != nullptr ? weighedText(weighed, guess) : std::nullopt;
    if (!text) {
        const char* best = nullptr;
        long faults = 0;
        takeFewestFaults(weighed, kFallbackPages, best, faults);
        return best;
    }
    const std::string_view name = guess;
    if (name == "KOI8-R" && holdsAnyByte(sample, kKoi8UkrainianLetters) &&
        sampleText(sample, "KOI8-U")) {
        return "KOI8-U";
    }
    if (name == "ISO-8859-13" && holdsAnyByte(sample, kC1Bytes) &&
        sampleText(sample, "windows-1257")) {
        return "windows-1257";
    }
    if (!isOneOf(name, kLatinPages)) {
        return guess;
    }
    auto faults = readingFaults(*text);
    if (isOneOf(name, kBalticPages)) {
        faults += foreignLetters(*text, kBalticLetters);
    }
    if (name == "ISO-8859-3" && !isOneLatin3Language(*text)) {
        takeFewestFaults(weighed, std::to_array<const char*>({"ISO-8859-2"}), guess, faults, true);
    }
    const bool lookalike = isOneOf(name, kWesternLookalikes);
    if (lookalike && readsAsEsperanto(weighed)) {
        return "ISO-8859-3";
    }
    if (faults > 0 || lookalike) {
        takeFewestFaults(weighed, kWesternPages, guess, faults, lookalike);
    }
    guess = centralEuropeanInstead(weighed, guess);
    text = sampleText(sample, guess);
    if (std::string_view(guess) != "windows-1252" && text == sampleText(sample, "windows-1252")) {
        return "windows-1252";
    }
    return guess;
}

// The length of the separator at `at`: ASCII white space, or a well-formed UTF-8 character
// above ASCII that is neither a letter nor a mark (a no-break space, "«", "“", "—"); 0 for
// anything else, an ill-formed byte among it.
std::size_t separatorAt(std::string_view text, std::size_t at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80) {
        return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r' || byte == '\f' ? 1 : 0;
    }
    const auto rest = static_cast<int32_t>(std::min<std::size_t>(U8_MAX_LENGTH, text.size() - at));
    int32_t length = 0;
    UChar32 c = 0;
    U8_NEXT(text.data() + at, length, rest, c);
    return c >= 0 && !isLetter(c) && !isMark(c) ? static_cast<std::size_t>(length) : 0;
}

// Calls `each` with every word of the text (a run between separators) and the separators after
// it: words pasted from a legacy code page into UTF-8 are told apart from the UTF-8 around them
// however they are quoted or spaced.
template <typename Each>
void forEachWord(std::string_view text, Each&& each) {
    std::size_t at = 0;
    while (at < text.size()) {
        auto end = at;
        while (end < text.size() && separatorAt(text, end) == 0) {
            ++end;
        }
        auto separatorEnd = end;
        while (separatorEnd < text.size()) {
            const auto length = separatorAt(text, separatorEnd);
            if (length == 0) {
                break;
            }
            separatorEnd += length;
        }
        each(text.substr(at, end - at), text.substr(end, separatorEnd - end));
        at = separatorEnd;
    }
}

// The part of a sample of a text that is not mostly UTF-8 that readings are weighed in: the sample
// without the words that are UTF-8 whole (with a character above ASCII) and the UTF-8 punctuation
// and spaces between words, pasted into it from a UTF-8 text: read in any code page they make
// letters out of place, fewer in some pages than others (UTF-8's "ó" is windows-1250's "Ăł"
// and Mac Roman's "√≥"), and so would decide the page of the text around them.
std::string weighedPart(std::string_view whole) {
    std::string sample;
    sample.reserve(whole.size());
    forEachWord(whole, [&](std::string_view word, std::string_view separators) {
        const auto reading = readAsUtf8(word);
        if (reading.illFormed > 0 || reading.characters == 0) {
            sample += word;
        }
        for (const char c : separators) {
            if (static_cast<unsigned char>(c) < 0x80) {
                sample += c;
            }
        }
    });
    return sample;
}

// Appends UTF-8 with U+FFFD for each C1 control character (U+0080 to U+009F, "\xC2\x80" to
// "\xC2\x9F"): what the page of pasted words reads a byte it assigns nothing to as is no letter
// of theirs either.
void appendWithoutC1Controls(std::string& out, std::string_view utf8) {
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if (utf8[i] == '\xC2' && i + 1 < utf8.size() &&
            static_cast<unsigned char>(utf8[i + 1]) < 0xA0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out += utf8[i];
        }
    }
}

// How many bytes at the end of the text are a UTF-8 character cut short (its lead and the
// continuations it has, each of the values its place allows); 0 when it ends whole or in bytes
// that begin no character.
std::size_t cutUtf8Tail(std::string_view bytes) {
    const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    for (std::size_t back = 1; back <= std::min<std::size_t>(3, bytes.size()); ++back) {
        const auto at = bytes.size() - back;
        const auto lead = byteAt(at);
        if (lead >= 0x80 && lead < 0xC0) {
            continue;
        }
        const std::size_t length = lead >= 0xF0 ? 4 : (lead >= 0xE0 ? 3 : 2);
        if (lead < 0xC2 || lead > 0xF4 || back >= length) {
            return 0;
        }
        if (back > 1) {
            // The second byte's range narrows after E0, ED, F0 and F4.
            const auto second = byteAt(at + 1);
            const unsigned char low = lead == 0xE0 ? 0xA0 : (lead == 0xF0 ? 0x90 : 0x80);
            const unsigned char high = lead == 0xED ? 0x9F : (lead == 0xF4 ? 0x8F : 0xBF);
            if (second < low || second > high) {
                return 0;
            }
        }
        return back;
    }
    return 0;
}

// The pages pasted runs are weighed in besides the detector's guess for them: the Windows pages
// of Latin, Cyrillic, Greek and Baltic letters, ISO-8859-2 and -15, KOI8-R and the DOS and Mac
// pages (the detector does not know the last two).
constexpr auto kPastedPages = std::to_array<const char*>(
    {"windows-1252", "windows-1250", "windows-1251", "windows-1253", "windows-1254", "windows-1257",
     "ISO-8859-2", "ISO-8859-15", "KOI8-R", "ibm-866", "ibm-850", "macintosh"});

// The bytes windows-1252 (and every Windows page of Latin, Cyrillic and Greek letters) writes
// punctuation with: its quotation marks, dashes, ellipsis, bullet, euro and trade mark among
// 0x80 to 0x9F, and the no-break space. DOS and Mac pages read them as letters ("„" as "ä", "“"
// as "ô", the no-break space as "á"), which a run of them alone cannot tell apart.
constexpr std::string_view kWindowsPunctuationBytes =
    "\x80\x82\x84\x85\x86\x87\x89\x8B\x91\x92\x93\x94\x95\x96\x97\x99\x9B\xA0";

// A run of bytes above ASCII (side by side) of a text read as UTF-8 that holds ill-formed
// sequences: a part pasted from a legacy code page, from `begin` to `end`.
struct PastedRun {
    std::size_t begin;
    std::size_t end;
};

// Calls `each` with every run of bytes above ASCII of the text, the characters it reads as in
// UTF-8 and its ill-formed sequences.
template <typename Each>
void forEachHighRun(std::string_view bytes, Each&& each) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const auto length = static_cast<std::int64_t>(bytes.size());
    std::int64_t at = 0;
    while (at < length) {
        if (data[at] < 0x80) {
            ++at;
            continue;
        }
        const auto begin = at;
        std::size_t characters = 0;
        std::size_t illFormed = 0;
        while (at < length && data[at] >= 0x80) {
            UChar32 c = 0;
            U8_NEXT(data, at, length, c);
            ++(c < 0 ? illFormed : characters);
        }
        each(static_cast<std::size_t>(begin), static_cast<std::size_t>(at), characters, illFormed);
    }
}

// Whether UTF-8 above ASCII reads as text: no symbol but those text writes, no character
// unassigned, private or a control, letters of one script (cp866's "только" is UTF-8's
// "⮫쪮", an arrow and a syllable; a Thai line in windows-874 makes Latin letters and
// ideographs).
bool readsAsText(std::string_view utf8) {
    std::optional<UScriptCode> script;
    int32_t at = 0;
    while (at < static_cast<int32_t>(utf8.size())) {
        const auto c = characterAt(utf8, at).first;
        const auto type = u_charType(c);
        if (c < 0 || type == U_UNASSIGNED || type == U_PRIVATE_USE_CHAR || type == U_CONTROL_CHAR ||
            ((type == U_OTHER_SYMBOL || type == U_MATH_SYMBOL || type == U_MODIFIER_SYMBOL) &&
             !isWrittenSymbol(c))) {
            return false;
        }
        if (c >= 0x80 && isLetter(c)) {
            const auto of = scriptOf(c);
            if (script && *script != of) {
                return false;
            }
            script = of;
        }
    }
    return true;
}

// Whether the bytes are mostly UTF-8: a text cut inside a character, with a stray byte, or with
// words, quotation marks or lines pasted from a text in a legacy code page (which
// `mixedUtf8Text` reads). What tells is the characters above ASCII that are UTF-8, against the
// ill-formed sequences. Text in a legacy page makes a character UTF-8 by chance only where two
// or three of its bytes pair up: over the measured corpus (every page of 28 languages, 100 B to
// 20 KB) at most one for every 27 ill-formed sequences in windows-1252 (Spanish, 20 KB), one in
// 56 in cp850, 59 in cp866, 85 in Big5 and GBK, fewer in the other pages; such characters stand
// mostly inside a run with ill-formed sequences, where only those beyond two for each count.
// UTF-8 with pasted words, quotation marks or lines that has any UTF-8 of its own has one for
// every four at the fewest (a note of 100 bytes with one long phrase pasted). A text is UTF-8
// with one character for every two ill-formed sequences: one for every three, four, six or
// eight reads more of the corpus right (3,317 to 3,361 files of 3,889, against 3,295) but
// legacy texts bare uchardet reads right as UTF-8 with pasted runs (2 to 5 of them). A note of
// 100 bytes with one pasted word of two letters above ASCII and one letter of its own stays
// UTF-8.
bool isMostlyUtf8(std::string_view bytes) {
    constexpr std::size_t kIllFormedForEachCharacter = 2;
    bytes.remove_suffix(cutUtf8Tail(bytes));
    std::size_t whole = 0;
    std::size_t illFormed = 0;
    forEachHighRun(bytes,
                   [&](std::size_t, std::size_t, std::size_t characters, std::size_t runIllFormed) {
                       if (runIllFormed > 0) {
                           // Characters beyond two for each ill-formed sequence of a run are UTF-8
                           // with stray bytes (a Thai line with a byte cut from another), not a
                           // legacy word UTF-8 in part.
                           illFormed += runIllFormed;
                           whole += characters - std::min(characters, 2 * runIllFormed);
                       } else {
                           whole += characters;
                       }
                   });
    return whole > 0 && whole * kIllFormedForEachCharacter >= illFormed;
}
bool isAsciiLetterOrDigit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Whether a pasted run is Windows punctuation: each of its ill-formed sequences is, and stands
// between no two letters (cp850's "ä" in "Best\x84tigung" is a letter of the word); the UTF-8 a
// quotation mark is pasted beside ("\x84Über\x93") is no part of it.
bool isWindowsPunctuation(std::string_view bytes, const PastedRun& run) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const auto end = static_cast<std::int64_t>(run.end);
    bool letterBefore = run.begin > 0 && isAsciiLetterOrDigit(bytes[run.begin - 1]);
    for (auto at = static_cast<std::int64_t>(run.begin); at < end;) {
        const auto start = at;
        UChar32 c = 0;
        U8_NEXT(data, at, end, c);
        if (c >= 0) {
            letterBefore = isLetter(c);
            continue;
        }
        for (auto i = start; i < at; ++i) {
            if (kWindowsPunctuationBytes.find(static_cast<char>(data[i])) ==
                std::string_view::npos) {
                return false;
            }
        }
        bool letterAfter = false;
        if (at == end) {
            letterAfter = run.end < bytes.size() && isAsciiLetterOrDigit(bytes[run.end]);
        } else {
            auto peek = at;
            UChar32 next = 0;
            U8_NEXT(data, peek, end, next);
            letterAfter = next >= 0 && isLetter(next);
        }
        if (letterBefore && letterAfter) {
            return false;
        }
        letterBefore = false;
    }
    return true;
}

// The characters above ASCII the UTF-8 of a text writes (small), from its first megabyte.
std::u32string writtenCharacters(std::string_view bytes) {
    constexpr std::size_t kRead = std::size_t{1024} * 1024;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const auto length = static_cast<std::int64_t>(std::min(bytes.size(), kRead));
    std::u32string written;
    std::int64_t at = 0;
    while (at < length) {
        if (data[at] < 0x80) {
            ++at;
            continue;
        }
        UChar32 c = 0;
        U8_NEXT(data, at, length, c);
        if (c >= 0) {
            const auto small = static_cast<char32_t>(u_tolower(c));
            if (written.find(small) == std::u32string::npos) {
                written += small;
            }
        }
    }
    return written;
}

// The characters above ASCII of a reading that the rest of the text does not write (small).
long unwrittenCharacters(std::string_view utf8, std::u32string_view written) {
    long unwritten = 0;
    int32_t at = 0;
    while (at < static_cast<int32_t>(utf8.size())) {
        const auto c = characterAt(utf8, at).first;
        if (c >= 0x80 &&
            written.find(static_cast<char32_t>(u_tolower(c))) == std::u32string_view::npos) {
            ++unwritten;
        }
    }
    return unwritten;
}

// Whether a page writes characters of more than one byte (Chinese, Japanese and Korean pages,
// whose second bytes may be ASCII).
bool isMultiByte(const char* page) {
    if (isIconvEncoding(page)) {
        return false;
    }
    UErrorCode status = U_ZERO_ERROR;
    const ConverterPtr converter(ucnv_open(page, &status), ucnv_close);
    return U_SUCCESS(status) && ucnv_getMaxCharSize(converter.get()) > 1;
}

// What a reading of pasted runs in a page makes that text does not write, besides its faults: a
// sign, symbol or number of no unit in its place (a superscript "¹", "¤", "¨", line drawing), a
// currency touching a letter. A Latin page reads a letter of another as one
// ("ostatni¹" for windows-1250's "ostatnią"), cp866 KOI8-R's Cyrillic as line drawing.
long pastedFaults(std::string_view utf8) {
    long faults = readingFaults(utf8);
    UChar32 previous = ' ';
    int32_t at = 0;
    while (at < static_cast<int32_t>(utf8.size())) {
        const auto [c, next] = characterAt(utf8, at);
        const auto type = u_charType(c);
        // Signs of units in their place: a squared or cubed metre, a fraction apart.
        const bool unit =
            ((c == 0xB2 || c == 0xB3) && previous == 'm') ||
            ((c == 0xBC || c == 0xBD || c == 0xBE) && !isLetter(previous) && !isLetter(next));
        if (c >= 0x80 && !isWrittenSymbol(c) && !unit &&
            (type == U_OTHER_NUMBER || type == U_OTHER_SYMBOL || type == U_MODIFIER_SYMBOL ||
             type == U_MATH_SYMBOL ||
             (type == U_CURRENCY_SYMBOL && (isLetter(previous) || isLetter(next))))) {
            ++faults;
        }
        previous = c;
    }
    return faults;
}

// A part of a pasted run: ill-formed sequences side by side, or well-formed characters side by
// side, and how many characters those are.
struct RunPart {
    std::string_view bytes;
    bool wellFormed;
    std::size_t characters;
};

std::vector<RunPart> partsOf(std::string_view run) {
    std::vector<RunPart> parts;
    const auto* data = reinterpret_cast<const std::uint8_t*>(run.data());
    const auto length = static_cast<std::int64_t>(run.size());
    for (std::int64_t at = 0; at < length;) {
        const auto start = at;
        UChar32 c = 0;
        U8_NEXT(data, at, length, c);
        const bool wellFormed = c >= 0;
        if (!parts.empty() && parts.back().wellFormed == wellFormed) {
            auto& last = parts.back();
            last.bytes = std::string_view(last.bytes.data(),
                                          last.bytes.size() + static_cast<std::size_t>(at - start));
            ++last.characters;
        } else {
            parts.push_back(
                {run.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(at - start)),
                 wellFormed, 1});
        }
    }
    return parts;
}

// The bytes of a run that tell its page: its ill-formed parts, and the single characters
// between two of them that a page of two bytes to a character or a Cyrillic word makes UTF-8 by
// chance; not a UTF-8 word between pasted quotation marks ("\xABуникальность\xBB") or a UTF-8
// letter after one ("\xAEaffect\xC3\xA9\xAF").
std::string tellingBytes(std::string_view run) {
    const auto parts = partsOf(run);
    std::string telling;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (!parts[i].wellFormed || (parts[i].characters == 1 && i > 0 && i + 1 < parts.size())) {
            telling += parts[i].bytes;
        }
    }
    return telling;
}

// Whether a page is one of DOS or the Mac, which fewer programs write than those of Windows and
// ISO: their readings give way to those as faultless.
bool isDosOrMac(std::string_view page) {
    return page == "ibm-850" || page == "ibm-866" || page == "macintosh";
}

// The page the runs pasted into a UTF-8 text are in, told by their own bytes and the ASCII
// letters beside them: windows-1252 for runs of Windows punctuation alone (quotation marks,
// dashes, no-break spaces), else the detector's guess for them when it is no page of Latin or
// Cyrillic letters (a Chinese, Japanese, Korean, Greek or Thai page), else of it and the Latin
// and Cyrillic pages the one whose reading has fewest faults. Only between readings as
// faultless as each other do the Windows and ISO pages come before those of DOS and the Mac,
// and then the characters the text around them writes decide (Romanian "ţ" of ISO-8859-2
// against "ț" of -16, cp850's "ä" against windows-1250's "„" between two letters), then the
// detector's guess.
const char* pastedRunsEncoding(std::string_view bytes, const std::vector<PastedRun>& runs) {
    constexpr std::size_t kSample = std::size_t{64} * 1024;
    if (std::all_of(runs.begin(), runs.end(),
                    [&](const PastedRun& run) { return isWindowsPunctuation(bytes, run); })) {
        return "windows-1252";
    }
    // Each run with the ASCII beside it up to white space, one to a line: runs that only ASCII
    // stands between (the second bytes of a Chinese page, "\xA3\x7B") are read together.
    const auto isPrintedAscii = [&](std::size_t at) {
        return bytes[at] > ' ' && static_cast<unsigned char>(bytes[at]) < 0x80;
    };
    std::string sample;
    std::size_t sampled = 0;
    for (const auto& run : runs) {
        if (sample.size() >= kSample) {
            break;
        }
        auto begin = run.begin;
        while (begin > sampled && isPrintedAscii(begin - 1)) {
            --begin;
        }
        if (begin == sampled && !sample.empty()) {
            sample.pop_back();
        }
        auto end = run.end;
        while (end < bytes.size() && isPrintedAscii(end)) {
            ++end;
        }
        sample.append(bytes.substr(begin, run.begin - begin))
            .append(tellingBytes(bytes.substr(run.begin, run.end - run.begin)))
            .append(bytes.substr(run.end, end - run.end))
            .push_back('\n');
        sampled = end;
    }
    if (holdsOnlyUnitSigns(sample)) {
        return "windows-1252";
    }
    const char* guess = legacyEncoding({sample, sample});
    // The rules of the guess that look for bytes look in the whole runs, not only in the sample:
    // the detector names ISO-8859-7 for Greek whose windows-1253 punctuation ("…" after a word,
    // 0x85) the sample leaves out, KOI8-R for Ukrainian whose "і" (0xA6) begins a character
    // UTF-8 by chance ("пі" is UTF-8's "Ц").
    const auto holds = [&](std::string_view of) {
        return std::any_of(runs.begin(), runs.end(), [&](const PastedRun& run) {
            return holdsAnyByte(bytes.substr(run.begin, run.end - run.begin), of);
        });
    };
    if (guess != nullptr && std::string_view(guess) == "ISO-8859-7" && holds(kC1Bytes)) {
        return "windows-1253";
    }
    if (guess != nullptr && std::string_view(guess) == "KOI8-R" && holds(kKoi8UkrainianLetters)) {
        return "KOI8-U";
    }
    if (guess != nullptr && !isOneOf(std::string_view(guess), kLatinPages) &&
        std::none_of(kPastedPages.begin(), kPastedPages.end(),
                     [&](const char* page) { return std::string_view(page) == guess; })) {
        return guess;
    }
    const auto written = writtenCharacters(bytes);
    // Bytes 0x80 to 0x9F are punctuation and a few rare letters in the Windows pages and the
    // commonest accented letters in the DOS and Mac pages ("\x81" is cp850's "ü", "\x9A" its
    // "Ü", "\x9F" Mac Roman's "ü"): pasted runs mostly of them are read in the page that reads
    // them as letters the text writes, before the Windows pages.
    const auto high = std::count_if(sample.begin(), sample.end(),
                                    [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    const auto c1 = std::count_if(sample.begin(), sample.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x80 && static_cast<unsigned char>(c) < 0xA0;
    });
    const bool mostlyC1 = c1 * 2 > high;
    std::tuple<long, long, bool, long> fewest{0, 0, false, 0};
    const auto weigh = [&](const char* page) {
        const auto reading = sampleText(sample, page);
        if (!reading) {
            return;
        }
        const auto unwritten = unwrittenCharacters(*reading, written);
        const std::tuple<long, long, bool, long> faults{
            pastedFaults(*reading), mostlyC1 ? unwritten : 0, isDosOrMac(page), unwritten};
        if (guess == nullptr || faults < fewest) {
            guess = page;
            fewest = faults;
        }
    };
    if (guess != nullptr) {
        const auto* detectorGuess = guess;
        guess = nullptr;
        weigh(detectorGuess);
    }
    for (const auto* page : kPastedPages) {
        weigh(page);
    }
    // cp866 and windows-1251 read each other's Cyrillic as Cyrillic, letters and signs that
    // make no faults ("уникальность" is windows-1251's "г­ЁЄ «м­®бвм"): the more plausible.
    if (guess != nullptr && std::string_view(guess) == "windows-1251") {
        const auto windows = sampleText(sample, "windows-1251");
        const auto dos = sampleText(sample, "ibm-866");
        if (windows && dos && pastedFaults(*dos) <= pastedFaults(*windows) &&
            plausibility(*dos) > plausibility(*windows)) {
            return "ibm-866";
        }
    }
    return guess;
}

// Whether a part of a run read in a multi-byte page ends inside a character (its last byte a
// first byte whose second is ASCII, or a byte above ASCII after the run).
bool endsInsideCharacter(std::string_view part, const char* page) {
    return !toUtf8(part, page, OnInvalid::fail) &&
           toUtf8(part, page, OnInvalid::fail, CutEnd::dropped).has_value();
}

// The runs of a multi-byte page taken whole: a run whose last byte begins a character takes the
// byte after it (an ASCII second byte, "ソ" is 0x83 0x5C in Shift_JIS) and the run after that
// byte, so the characters of a pasted line are read together, the UTF-8 its bytes make by chance
// among them.
std::vector<PastedRun> wholeCharacterRuns(std::string_view bytes, std::vector<PastedRun> runs,
                                          const char* page) {
    std::vector<PastedRun> whole;
    for (auto run : runs) {
        if (!whole.empty() && run.begin < whole.back().end) {
            continue;
        }
        while (run.end < bytes.size() &&
               endsInsideCharacter(bytes.substr(run.begin, run.end - run.begin), page)) {
            ++run.end;
            while (run.end < bytes.size() && static_cast<unsigned char>(bytes[run.end]) >= 0x80) {
                ++run.end;
            }
        }
        whole.push_back(run);
    }
    return whole;
}

// The UTF-8 characters a run begins and ends with before its first ill-formed sequence and after
// its last (their lengths in bytes, up to four of each).
std::pair<std::vector<std::size_t>, std::vector<std::size_t>> edgeCharacters(std::string_view run) {
    constexpr std::size_t kMost = 4;
    std::vector<std::pair<std::size_t, bool>> sequences;
    const auto* data = reinterpret_cast<const std::uint8_t*>(run.data());
    const auto length = static_cast<std::int64_t>(run.size());
    for (std::int64_t at = 0; at < length;) {
        const auto start = at;
        UChar32 c = 0;
        U8_NEXT(data, at, length, c);
        sequences.emplace_back(static_cast<std::size_t>(at - start), c >= 0x80);
    }
    std::vector<std::size_t> leading;
    for (auto it = sequences.begin(); it != sequences.end() && it->second && leading.size() < kMost;
         ++it) {
        leading.push_back(it->first);
    }
    std::vector<std::size_t> trailing;
    for (auto it = sequences.rbegin();
         it != sequences.rend() && it->second && trailing.size() < kMost; ++it) {
        trailing.push_back(it->first);
    }
    if (leading.size() == sequences.size()) {
        trailing.clear();
    }
    return {leading, trailing};
}

// Whether the ill-formed bytes of a word are stray bytes in UTF-8 ("Привет\xFF", "für\xFF"):
// its well-formed bytes above ASCII are twice as many at least and read as text (not as cp866's
// "этом" does, "\xED" and "⮬"), and neither Windows punctuation nor what the page reads as
// punctuation stands at its edges (a quotation mark pasted before a UTF-8 word, "\x84Über",
// "\xABÜber").
bool isStrayInUtf8(std::string_view word, const char* page) {
    std::size_t wellFormed = 0;
    std::size_t illFormed = 0;
    std::string utf8;
    const auto* data = reinterpret_cast<const std::uint8_t*>(word.data());
    const auto length = static_cast<std::int64_t>(word.size());
    for (std::int64_t at = 0; at < length;) {
        const auto start = at;
        UChar32 c = 0;
        U8_NEXT(data, at, length, c);
        if (c >= 0x80) {
            wellFormed += static_cast<std::size_t>(at - start);
            utf8 +=
                word.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(at - start));
        }
        if (c >= 0) {
            continue;
        }
        illFormed += static_cast<std::size_t>(at - start);
        if (start > 0 && at < length) {
            continue;
        }
        const auto read = toUtf8(
            word.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(at - start)),
            page, OnInvalid::replace);
        int32_t offset = 0;
        if (read && !read->empty()) {
            const auto character = characterAt(*read, offset).first;
            if (u_ispunct(character) != 0 || kWindowsPunctuationBytes.find(static_cast<char>(
                                                 data[start])) != std::string_view::npos) {
                return false;
            }
        }
    }
    return illFormed > 0 && wellFormed >= 2 * illFormed && readsAsText(utf8);
}

// A pasted run as text. In a page of two bytes to a character the run is read whole, but for
// UTF-8 characters at its edges when a reading without them is as plausible. In a page of one
// byte its ill-formed parts are read in the page and its well-formed parts stay UTF-8 (a UTF-8
// word between pasted quotation marks), but in a page of other letters than Latin, where a
// pasted word may be UTF-8 in part by chance ("Пётр" in windows-1251 begins with UTF-8's "ϸ"),
// when the page reads such a part with the parts beside it more plausibly.
std::string pastedRunText(std::string_view run, std::string_view word, const char* page, bool latin,
                          bool multiByte) {
    if (isStrayInUtf8(word, page)) {
        return text::toValidUtf8(run);
    }
    const auto inPage = [&](std::string_view bytes) {
        std::string text;
        if (auto read = composed(toUtf8(bytes, page, OnInvalid::replace))) {
            appendWithoutC1Controls(text, *read);
        } else {
            text = text::toValidUtf8(bytes);
        }
        return text;
    };
    if (multiByte) {
        const auto read = [&](std::size_t lead, std::size_t trail) -> std::optional<std::string> {
            const auto middle =
                toUtf8(run.substr(lead, run.size() - lead - trail), page, OnInvalid::fail);
            if (!middle) {
                return std::nullopt;
            }
            return std::string(run.substr(0, lead)) + *middle +
                   std::string(run.substr(run.size() - trail));
        };
        const auto [leading, trailing] = edgeCharacters(run);
        std::optional<long> best;
        std::size_t bestLead = 0;
        std::size_t bestTrail = 0;
        std::size_t lead = 0;
        for (std::size_t i = 0; i <= leading.size(); ++i) {
            std::size_t trail = 0;
            for (std::size_t j = 0; j <= trailing.size(); ++j) {
                if (const auto text = read(lead, trail)) {
                    const auto score = plausibility(*text);
                    if (!best || score >= *best) {
                        best = score;
                        bestLead = lead;
                        bestTrail = trail;
                    }
                }
                trail += j < trailing.size() ? trailing[j] : 0;
            }
            lead += i < leading.size() ? leading[i] : 0;
        }
        return std::string(run.substr(0, bestLead)) +
               inPage(run.substr(bestLead, run.size() - bestLead - bestTrail)) +
               std::string(run.substr(run.size() - bestTrail));
    }
    const auto parts = partsOf(run);
    std::vector<std::string> readings;
    readings.reserve(parts.size());
    for (const auto& part : parts) {
        readings.push_back(part.wellFormed ? std::string(part.bytes) : inPage(part.bytes));
    }
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].wellFormed && !latin) {
            const auto before = i > 0 ? readings[i - 1] : std::string();
            const auto after = i + 1 < parts.size() ? readings[i + 1] : std::string();
            const auto read = composed(toUtf8(parts[i].bytes, page, OnInvalid::fail));
            if (read &&
                plausibility(before + *read + after) > plausibility(before + readings[i] + after)) {
                text += *read;
                continue;
            }
        }
        text += readings[i];
    }
    return text;
}

// The length of the character of a word at `at`: an ASCII letter or digit, an ill-formed byte,
// or a UTF-8 letter, mark or digit; 0 for anything else.
std::size_t wordCharacterAt(std::string_view text, std::size_t at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80) {
        return isAsciiLetterOrDigit(text[at]) ? 1 : 0;
    }
    const auto rest = static_cast<int32_t>(std::min<std::size_t>(U8_MAX_LENGTH, text.size() - at));
    int32_t length = 0;
    UChar32 c = 0;
    U8_NEXT(text.data() + at, length, rest, c);
    return c < 0 ? 1 : (isPartOfWord(c) ? static_cast<std::size_t>(length) : 0);
}

// The same for the character that ends before `at`: a well-formed character that ends there,
// else the byte before it (ill-formed, or ASCII).
std::size_t wordCharacterBefore(std::string_view text, std::size_t at) {
    for (std::size_t back = 2; back <= std::min<std::size_t>(U8_MAX_LENGTH, at); ++back) {
        const auto start = at - back;
        const auto rest = static_cast<int32_t>(back);
        int32_t length = 0;
        UChar32 c = 0;
        U8_NEXT(text.data() + start, length, rest, c);
        if (c >= 0 && length == rest) {
            return isPartOfWord(c) ? back : 0;
        }
    }
    return wordCharacterAt(text, at - 1) > 0 ? 1 : 0;
}

// A text that is mostly UTF-8, read as UTF-8 but for the runs of bytes pasted into it from a
// text in a legacy code page, which are read in the page their own bytes name
// (`pastedRunsEncoding`): two windows-1252 words in a French text, Windows quotation marks
// around a UTF-8 word, a line of Shift_JIS in a Japanese text, twenty windows-1252 rows after
// two hundred UTF-8 rows of a CSV file. What no page is guessed for reads as U+FFFD, and so does
// a character the text ends inside.
std::string mixedUtf8Text(std::string_view bytes) {
    const auto cut = cutUtf8Tail(bytes);
    bytes.remove_suffix(cut);
    std::vector<PastedRun> runs;
    std::vector<PastedRun> implausible;
    forEachHighRun(bytes,
                   [&](std::size_t begin, std::size_t end, std::size_t, std::size_t illFormed) {
                       if (illFormed > 0) {
                           runs.push_back({begin, end});
                       } else if (!readsAsText(bytes.substr(begin, end - begin))) {
                           implausible.push_back({begin, end});
                       }
                   });
    const char* page = runs.empty() ? nullptr : pastedRunsEncoding(bytes, runs);
    const bool multiByte = page != nullptr && isMultiByte(page);
    // A run UTF-8 whole that reads as no text (cp866's "только" is UTF-8's "⮫쪮") was
    // pasted too, and is read in the page when that reads it more plausibly (`pastedRunText`).
    if (page != nullptr && !multiByte && !implausible.empty()) {
        runs.insert(runs.end(), implausible.begin(), implausible.end());
        std::sort(runs.begin(), runs.end(),
                  [](const PastedRun& a, const PastedRun& b) { return a.begin < b.begin; });
    }
    const bool latin =
        page != nullptr && (isOneOf(std::string_view(page), kLatinPages) ||
                            std::find(kWesternPages.begin(), kWesternPages.end(),
                                      std::string_view(page)) != kWesternPages.end());
    if (multiByte) {
        runs = wholeCharacterRuns(bytes, std::move(runs), page);
    }
    // Room for the pasted runs at two bytes of UTF-8 a byte (a letter of a Latin, Cyrillic or
    // Greek page), so the text is written without a second copy.
    std::size_t pastedBytes = 0;
    for (const auto& run : runs) {
        pastedBytes += run.end - run.begin;
    }
    std::string out;
    out.reserve(bytes.size() + pastedBytes + 3);
    std::size_t at = 0;
    for (const auto& run : runs) {
        out += bytes.substr(at, run.begin - at);
        const auto pasted = bytes.substr(run.begin, run.end - run.begin);
        if (page == nullptr) {
            out += text::toValidUtf8(pasted);
        } else {
            // The word the run stands in, between white space, punctuation and UTF-8 that is
            // neither letter nor mark.
            auto wordBegin = run.begin;
            while (wordBegin > 0) {
                const auto length = wordCharacterBefore(bytes, wordBegin);
                if (length == 0) {
                    break;
                }
                wordBegin -= length;
            }
            auto wordEnd = run.end;
            while (wordEnd < bytes.size()) {
                const auto length = wordCharacterAt(bytes, wordEnd);
                if (length == 0) {
                    break;
                }
                wordEnd += length;
            }
            out += pastedRunText(pasted, bytes.substr(wordBegin, wordEnd - wordBegin), page, latin,
                                 multiByte);
        }
        at = run.end;
    }
    out += bytes.substr(at);
    if (cut > 0) {
        out += "\xEF\xBF\xBD";
    }
    return out;
}

// How a UTF-16 sample reads in one byte order: how plausible its reading is, when the reading is
// text of letters. It must convert (a character cut by the sample's end aside) without control
// characters other than tab, line and page breaks, with at most one character in a hundred that
// text seldom writes (unassigned, private-use, noncharacters, rare ideographs); letters and their
// marks must be half at least of what is not white space or ASCII, twelve at least, and three in
// four of one script (Han and kana taken as one): data read two bytes at a time makes letters of
// many. Nothing otherwise.
std::optional<long> utf16TextScore(std::string_view sample, const char* order, CutEnd cutEnd) {
    const auto text = toUtf8(sample, order, OnInvalid::fail, cutEnd);
    if (!text || holdsControlCharacters(*text)) {
        return std::nullopt;
    }
    long characters = 0;
    long unwritten = 0;
    long letters = 0;
    long others = 0;
    std::vector<std::pair<UScriptCode, long>> scripts;
    const auto length = static_cast<int32_t>(text->size());
    for (int32_t at = 0; at < length;) {
        UChar32 c = 0;
        U8_NEXT(text->data(), at, length, c);
        ++characters;
        const auto type = u_charType(c);
        // Ideographs of the extensions and compatibility blocks are for rare names and old
        // texts; data makes them as often as the common ones.
        const bool rareIdeograph = (c >= 0x3400 && c <= 0x4DBF) || (c >= 0xF900 && c <= 0xFAFF);
        if (c < 0 || type == U_UNASSIGNED || type == U_PRIVATE_USE_CHAR ||
            U_IS_UNICODE_NONCHAR(c) || rareIdeograph) {
            ++unwritten;
        } else if (isLetter(c)) {
            ++letters;
            // Korean writes few ideographs, Chinese and Japanese no Hangul.
            const auto script = letterScript(c) == USCRIPT_HANGUL ? USCRIPT_HANGUL : scriptOf(c);
            const auto known = std::find_if(scripts.begin(), scripts.end(),
                                            [&](const auto& seen) { return seen.first == script; });
            if (known == scripts.end()) {
                scripts.emplace_back(script, 1);
            } else {
                ++known->second;
            }
        } else if (type == U_NON_SPACING_MARK || type == U_COMBINING_SPACING_MARK) {
            ++letters;
        } else if (c >= 0x80 && u_isUWhiteSpace(c) == 0) {
            ++others;
        }
    }
    constexpr long kCharactersForEachUnwritten = 100;
    constexpr long kFewestLetters = 12;
    long mainScript = 0;
    for (const auto& [script, count] : scripts) {
        mainScript = std::max(mainScript, count);
    }
    if (unwritten * kCharactersForEachUnwritten > characters || letters < others ||
        letters < kFewestLetters || mainScript * 4 < letters * 3) {
        return std::nullopt;
    }
    return plausibility(*text);
}

// Whether the bytes hold control characters other than tab, line and page breaks and escape:
// bytes text in an encoding other than UTF-16 does not hold (ISO-2022's escapes aside).
bool holdsControlBytes(std::string_view bytes) {
    return std::any_of(bytes.begin(), bytes.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\f' &&
               c != '\r' && c != '\x1B';
    });
}

// The UTF-16 a sample of a text saved without a byte order mark is in, when no ASCII of the text
// tells it (Japanese, Chinese, Thai...): the bytes hold controls no text in another encoding
// holds (Thai's high bytes are 0x0E, and the low bytes of Han and Hangul take every value), and
// read in one byte order they are text of letters, more plausible than in the other and than
// in the legacy encoding guessed for them. Text in an encoding of ASCII with a stray control (a log
// in terminal colours, a DOS end-of-file mark, an overstruck manual page) reads as Han ideographs
// two bytes at a time: in such text nine bytes in ten at least are printable ASCII, in UTF-16 far
// fewer (Thai's and Hangul's high bytes are none, Han's low bytes take every value).
const char* unmarkedUtf16WithoutAscii(std::string_view sample, CutEnd cutEnd) {
    if (!holdsControlBytes(sample) || iso2022Encoding(sample) != nullptr ||
        (!isAscii(sample) && isMostlyUtf8(sample))) {
        return nullptr;
    }
    const char* best = nullptr;
    long bestScore = 0;
    bool tie = false;
    for (const auto* order : {"UTF-16LE", "UTF-16BE"}) {
        const auto score = utf16TextScore(sample, order, cutEnd);
        if (!score) {
            continue;
        }
        tie = best != nullptr && *score == bestScore;
        if (best == nullptr || *score > bestScore) {
            best = order;
            bestScore = *score;
        }
    }
    if (best == nullptr || tie || bestScore <= 0) {
        return nullptr;
    }
    const auto asciiText =
        static_cast<std::size_t>(std::count_if(sample.begin(), sample.end(), [](char c) {
            return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r';
        }));
    constexpr std::size_t kAsciiTextTenths = 9;
    if (asciiText * 10 >= sample.size() * kAsciiTextTenths) {
        return nullptr;
    }
    if (const auto* legacy = legacyEncoding({sample, sample})) {
        const auto text = sampleText(sample, legacy);
        if (text && plausibility(*text) >= bestScore) {
            return nullptr;
        }
    }
    return best;
}

// The UTF-16 a text saved without a byte order mark is in, told by the NULs of its ASCII
// characters (spaces at least) in every other byte: the high bytes, second in UTF-16LE and first
// in UTF-16BE, while the other half holds almost none; or, where the text has too little ASCII
// to tell, by how its two readings look. The text is read from the first 4 KB, and must read
// without control characters. Nothing for other bytes.
const char* unmarkedUtf16(std::string_view bytes) {
    constexpr std::size_t kSample = 4096;
    const auto sample = bytes.substr(0, std::min(bytes.size(), kSample) & ~std::size_t{1});
    std::array<std::size_t, 2> nuls{};
    for (std::size_t i = 0; i < sample.size(); ++i) {
        nuls[i % 2] += sample[i] == '\0' ? 1 : 0;
    }
    // A character cut at the end of the sample goes on in the bytes after it; one cut at the end
    // of the bytes is no sign of UTF-16.
    const auto cutEnd = sample.size() < bytes.size() ? CutEnd::dropped : CutEnd::asInvalid;
    // One character in eight at least is ASCII (a space between words), and the other half holds
    // at most one NUL for every ten of them (U+0100, U+4E00 ...).
    const auto pairs = sample.size() / 2;
    for (const std::size_t high : {1U, 0U}) {
        const auto low = 1 - high;
        if (pairs >= 1 && nuls[high] * 8 >= pairs && nuls[low] * 10 <= nuls[high]) {
            const auto* name = high == 1 ? "UTF-16LE" : "UTF-16BE";
            const auto text = toUtf8(sample, name, OnInvalid::fail, cutEnd);
            return text && !holdsControlCharacters(*text) ? name : nullptr;
        }
    }
    return unmarkedUtf16WithoutAscii(sample, cutEnd);
}

// The bytes in a legacy encoding as `detected` reads them (the guess is made from a sample); a
// character the text ends inside is read as U+FFFD.
std::optional<std::string> legacyText(std::string_view bytes, const char* encoding) {
    return composed(toUtf8(bytes, encoding, OnInvalid::fail, CutEnd::replaced));
}

}  // namespace

std::optional<std::string> TextDecoding::unicodeText(std::string_view bytes) {
    if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
        return convert(bytes.substr(2), bytes[0] == '\xFF' ? "UTF-16LE" : "UTF-16BE");
    }
    if (const auto* utf16 = unmarkedUtf16(bytes)) {
        // A text cut inside its last character ends in U+FFFD.
        return convertReplacing(bytes, utf16);
    }
    if (iso2022Encoding(bytes) != nullptr) {
        return std::nullopt;
    }
    return utf8(bytes);
}

std::optional<std::string> TextDecoding::unmarkedUtf16Encoding(std::string_view bytes) {
    const auto* name = unmarkedUtf16(bytes);
    return name != nullptr ? std::optional<std::string>(name) : std::nullopt;
}

std::optional<std::string> TextDecoding::guessedEncoding(std::string_view bytes) {
    if (isAscii(bytes)) {
        const auto* iso2022 = iso2022Encoding(bytes);
        return iso2022 != nullptr ? std::optional<std::string>(iso2022) : std::nullopt;
    }
    if (bytes.starts_with("\xEF\xBB\xBF") || isMostlyUtf8(bytes)) {
        return "UTF-8";
    }
    const auto sample = guessSample(bytes);
    const auto weighed = weighedPart(sample);
    const auto* name = legacyEncoding({sample, weighed});
    return name != nullptr ? std::optional<std::string>(name) : std::nullopt;
}

std::optional<std::string> TextDecoding::detected(std::string_view bytes, std::string* encoding) {
    const auto found = [&](const char* name) -> std::optional<std::string> {
        auto text = legacyText(bytes, name);
        if (text && encoding != nullptr) {
            *encoding = name;
        }
        return text;
    };
    if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
        auto text = convert(bytes.substr(2), bytes[0] == '\xFF' ? "UTF-16LE" : "UTF-16BE");
        if (text && encoding != nullptr) {
            *encoding = bytes[0] == '\xFF' ? "UTF-16LE" : "UTF-16BE";
        }
        return text;
    }
    if (const auto* utf16 = unmarkedUtf16(bytes)) {
        if (encoding != nullptr) {
            *encoding = utf16;
        }
        return convertReplacing(bytes, utf16);
    }
    if (isAscii(bytes)) {
        const auto* iso2022 = iso2022Encoding(bytes);
        return found(iso2022 != nullptr ? iso2022 : "US-ASCII");
    }
    // A UTF-8 byte order mark makes the text UTF-8 whatever is pasted into it.
    if (bytes.starts_with("\xEF\xBB\xBF") || isMostlyUtf8(bytes)) {
        if (encoding != nullptr) {
            *encoding = "UTF-8";
        }
        if (bytes.starts_with("\xEF\xBB\xBF")) {
            bytes.remove_prefix(3);
        }
        return mixedUtf8Text(bytes);
    }
    const auto sample = guessSample(bytes);
    const auto weighed = weighedPart(sample);
    const auto* name = legacyEncoding({sample, weighed});
    return name != nullptr ? found(name) : std::nullopt;
}

std::optional<std::string> TextDecoding::plainText(std::string_view bytes) {
    auto text = unicodeText(bytes);
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

struct Label {
    std::string_view label;
    std::string_view encoding;
};

// The encoding standard's labels with the name ICU knows each encoding by, sorted by label.
// UTF-16 labels give UTF-8: a page that names UTF-16 in its own ASCII bytes cannot be UTF-16.
// The labels of the "replacement" encoding (ISO-2022-KR, ISO-2022-CN, HZ) are left out: such a
// label is no label here, and the page is read as if it named none. ISO-8859-16 is converted by
// iconv.
constexpr auto kLabels = std::to_array<Label>({
    {"866", "ibm-866"},
    {"ansi_x3.4-1968", "windows-1252"},
    {"arabic", "ISO-8859-6"},
    {"ascii", "windows-1252"},
    {"asmo-708", "ISO-8859-6"},
    {"big5", "Big5-HKSCS"},
    {"big5-hkscs", "Big5-HKSCS"},
    {"chinese", "GBK"},
    {"cn-big5", "Big5-HKSCS"},
    {"cp1250", "windows-1250"},
    {"cp1251", "windows-1251"},
    {"cp1252", "windows-1252"},
    {"cp1253", "windows-1253"},
    {"cp1254", "windows-1254"},
    {"cp1255", "windows-1255"},
    {"cp1256", "windows-1256"},
    {"cp1257", "windows-1257"},
    {"cp1258", "windows-1258"},
    {"cp819", "windows-1252"},
    {"cp866", "ibm-866"},
    {"csbig5", "Big5-HKSCS"},
    {"cseuckr", "windows-949"},
    {"cseucpkdfmtjapanese", "EUC-JP"},
    {"csgb2312", "GBK"},
    {"csibm866", "ibm-866"},
    {"csiso2022jp", "ISO-2022-JP"},
    {"csiso58gb231280", "GBK"},
    {"csiso88596e", "ISO-8859-6"},
    {"csiso88596i", "ISO-8859-6"},
    {"csiso88598e", "ISO-8859-8"},
    {"csiso88598i", "ISO-8859-8"},
    {"csisolatin1", "windows-1252"},
    {"csisolatin2", "ISO-8859-2"},
    {"csisolatin3", "ISO-8859-3"},
    {"csisolatin4", "ISO-8859-4"},
    {"csisolatin5", "windows-1254"},
    {"csisolatin6", "ISO-8859-10"},
    {"csisolatin9", "ISO-8859-15"},
    {"csisolatinarabic", "ISO-8859-6"},
    {"csisolatincyrillic", "ISO-8859-5"},
    {"csisolatingreek", "ISO-8859-7"},
    {"csisolatinhebrew", "ISO-8859-8"},
    {"cskoi8r", "KOI8-R"},
    {"csksc56011987", "windows-949"},
    {"csmacintosh", "macintosh"},
    {"csshiftjis", "windows-31j"},
    {"cyrillic", "ISO-8859-5"},
    {"dos-874", "windows-874"},
    {"ecma-114", "ISO-8859-6"},
    {"ecma-118", "ISO-8859-7"},
    {"elot_928", "ISO-8859-7"},
    {"euc-jp", "EUC-JP"},
    {"euc-kr", "windows-949"},
    {"gb18030", "GB18030"},
    {"gb2312", "GBK"},
    {"gb_2312", "GBK"},
    {"gb_2312-80", "GBK"},
    {"gbk", "GBK"},
    {"greek", "ISO-8859-7"},
    {"greek8", "ISO-8859-7"},
    {"hebrew", "ISO-8859-8"},
    {"ibm819", "windows-1252"},
    {"ibm866", "ibm-866"},
    {"iso-2022-jp", "ISO-2022-JP"},
    {"iso-8859-1", "windows-1252"},
    {"iso-8859-10", "ISO-8859-10"},
    {"iso-8859-11", "windows-874"},
    {"iso-8859-13", "ISO-8859-13"},
    {"iso-8859-14", "ISO-8859-14"},
    {"iso-8859-15", "ISO-8859-15"},
    {"iso-8859-16", "ISO-8859-16"},
    {"iso-8859-2", "ISO-8859-2"},
    {"iso-8859-3", "ISO-8859-3"},
    {"iso-8859-4", "ISO-8859-4"},
    {"iso-8859-5", "ISO-8859-5"},
    {"iso-8859-6", "ISO-8859-6"},
    {"iso-8859-6-e", "ISO-8859-6"},
    {"iso-8859-6-i", "ISO-8859-6"},
    {"iso-8859-7", "ISO-8859-7"},
    {"iso-8859-8", "ISO-8859-8"},
    {"iso-8859-8-e", "ISO-8859-8"},
    {"iso-8859-8-i", "ISO-8859-8"},
    {"iso-8859-9", "windows-1254"},
    {"iso-ir-100", "windows-1252"},
    {"iso-ir-101", "ISO-8859-2"},
    {"iso-ir-109", "ISO-8859-3"},
    {"iso-ir-110", "ISO-8859-4"},
    {"iso-ir-126", "ISO-8859-7"},
    {"iso-ir-127", "ISO-8859-6"},
    {"iso-ir-138", "ISO-8859-8"},
    {"iso-ir-144", "ISO-8859-5"},
    {"iso-ir-148", "windows-1254"},
    {"iso-ir-149", "windows-949"},
    {"iso-ir-157", "ISO-8859-10"},
    {"iso-ir-58", "GBK"},
    {"iso8859-1", "windows-1252"},
    {"iso8859-10", "ISO-8859-10"},
    {"iso8859-11", "windows-874"},
    {"iso8859-13", "ISO-8859-13"},
    {"iso8859-14", "ISO-8859-14"},
    {"iso8859-15", "ISO-8859-15"},
    {"iso8859-2", "ISO-8859-2"},
    {"iso8859-3", "ISO-8859-3"},
    {"iso8859-4", "ISO-8859-4"},
    {"iso8859-5", "ISO-8859-5"},
    {"iso8859-6", "ISO-8859-6"},
    {"iso8859-7", "ISO-8859-7"},
    {"iso8859-8", "ISO-8859-8"},
    {"iso8859-9", "windows-1254"},
    {"iso88591", "windows-1252"},
    {"iso885910", "ISO-8859-10"},
    {"iso885911", "windows-874"},
    {"iso885913", "ISO-8859-13"},
    {"iso885914", "ISO-8859-14"},
    {"iso885915", "ISO-8859-15"},
    {"iso88592", "ISO-8859-2"},
    {"iso88593", "ISO-8859-3"},
    {"iso88594", "ISO-8859-4"},
    {"iso88595", "ISO-8859-5"},
    {"iso88596", "ISO-8859-6"},
    {"iso88597", "ISO-8859-7"},
    {"iso88598", "ISO-8859-8"},
    {"iso88599", "windows-1254"},
    {"iso_8859-1", "windows-1252"},
    {"iso_8859-15", "ISO-8859-15"},
    {"iso_8859-1:1987", "windows-1252"},
    {"iso_8859-2", "ISO-8859-2"},
    {"iso_8859-2:1987", "ISO-8859-2"},
    {"iso_8859-3", "ISO-8859-3"},
    {"iso_8859-3:1988", "ISO-8859-3"},
    {"iso_8859-4", "ISO-8859-4"},
    {"iso_8859-4:1988", "ISO-8859-4"},
    {"iso_8859-5", "ISO-8859-5"},
    {"iso_8859-5:1988", "ISO-8859-5"},
    {"iso_8859-6", "ISO-8859-6"},
    {"iso_8859-6:1987", "ISO-8859-6"},
    {"iso_8859-7", "ISO-8859-7"},
    {"iso_8859-7:1987", "ISO-8859-7"},
    {"iso_8859-8", "ISO-8859-8"},
    {"iso_8859-8:1988", "ISO-8859-8"},
    {"iso_8859-9", "windows-1254"},
    {"iso_8859-9:1989", "windows-1254"},
    {"koi", "KOI8-R"},
    {"koi8", "KOI8-R"},
    {"koi8-r", "KOI8-R"},
    {"koi8-u", "KOI8-U"},
    {"koi8_r", "KOI8-R"},
    {"korean", "windows-949"},
    {"ks_c_5601-1987", "windows-949"},
    {"ks_c_5601-1989", "windows-949"},
    {"ksc5601", "windows-949"},
    {"ksc_5601", "windows-949"},
    {"l1", "windows-1252"},
    {"l2", "ISO-8859-2"},
    {"l3", "ISO-8859-3"},
    {"l4", "ISO-8859-4"},
    {"l5", "windows-1254"},
    {"l6", "ISO-8859-10"},
    {"l9", "ISO-8859-15"},
    {"latin1", "windows-1252"},
    {"latin2", "ISO-8859-2"},
    {"latin3", "ISO-8859-3"},
    {"latin4", "ISO-8859-4"},
    {"latin5", "windows-1254"},
    {"latin6", "ISO-8859-10"},
    {"logical", "ISO-8859-8"},
    {"mac", "macintosh"},
    {"macintosh", "macintosh"},
    {"ms932", "windows-31j"},
    {"ms_kanji", "windows-31j"},
    {"shift-jis", "windows-31j"},
    {"shift_jis", "windows-31j"},
    {"sjis", "windows-31j"},
    {"sun_eu_greek", "ISO-8859-7"},
    {"tis-620", "windows-874"},
    {"unicode-1-1-utf-8", "UTF-8"},
    {"us-ascii", "windows-1252"},
    {"utf-16", "UTF-8"},
    {"utf-16be", "UTF-8"},
    {"utf-16le", "UTF-8"},
    {"utf-8", "UTF-8"},
    {"utf8", "UTF-8"},
    {"visual", "ISO-8859-8"},
    {"windows-1250", "windows-1250"},
    {"windows-1251", "windows-1251"},
    {"windows-1252", "windows-1252"},
    {"windows-1253", "windows-1253"},
    {"windows-1254", "windows-1254"},
    {"windows-1255", "windows-1255"},
    {"windows-1256", "windows-1256"},
    {"windows-1257", "windows-1257"},
    {"windows-1258", "windows-1258"},
    {"windows-31j", "windows-31j"},
    {"windows-874", "windows-874"},
    {"windows-949", "windows-949"},
    {"x-cp1250", "windows-1250"},
    {"x-cp1251", "windows-1251"},
    {"x-cp1252", "windows-1252"},
    {"x-cp1253", "windows-1253"},
    {"x-cp1254", "windows-1254"},
    {"x-cp1255", "windows-1255"},
    {"x-cp1256", "windows-1256"},
    {"x-cp1257", "windows-1257"},
    {"x-cp1258", "windows-1258"},
    {"x-euc-jp", "EUC-JP"},
    {"x-gbk", "GBK"},
    {"x-mac-cyrillic", "x-mac-cyrillic"},
    {"x-mac-roman", "macintosh"},
    {"x-mac-ukrainian", "x-mac-cyrillic"},
    {"x-sjis", "windows-31j"},
    // A page declares it to mean bytes read one to one; browsers read it as windows-1252.
    {"x-user-defined", "windows-1252"},
    {"x-x-big5", "Big5-HKSCS"},
});

static_assert(std::is_sorted(kLabels.begin(), kLabels.end(),
                             [](const Label& a, const Label& b) { return a.label < b.label; }));

}  // namespace

std::optional<std::string> TextDecoding::encodingOfLabel(std::string_view label) {
    // Leading and trailing ASCII white space is no part of a label.
    while (!label.empty() && isMarkupSpace(label.front())) {
        label.remove_prefix(1);
    }
    while (!label.empty() && isMarkupSpace(label.back())) {
        label.remove_suffix(1);
    }
    const auto name = text::asciiLowered(label);
    const auto it = std::lower_bound(
        kLabels.begin(), kLabels.end(), name,
        [](const Label& entry, const std::string& key) { return entry.label < key; });
    if (it == kLabels.end() || it->label != name) {
        return std::nullopt;
    }
    return std::string(it->encoding);
}

namespace {

// The encoding named after "charset" in a meta element's content ("text/html; charset=koi8-r"),
// as the HTML standard extracts it: the first "charset" followed by "=", its value in quotes
// (only when the quote is closed) or up to a space or ";".
std::optional<std::string_view> charsetInContent(std::string_view content) {
    const auto lowered = text::asciiLowered(content);
    std::size_t at = 0;
    while (true) {
        const auto key = lowered.find("charset", at);
        if (key == std::string::npos) {
            return std::nullopt;
        }
        at = key + 7;
        while (at < content.size() && isMarkupSpace(content[at])) {
            ++at;
        }
        if (at < content.size() && content[at] == '=') {
            break;
        }
    }
    ++at;
    while (at < content.size() && isMarkupSpace(content[at])) {
        ++at;
    }
    if (at >= content.size()) {
        return std::nullopt;
    }
    if (content[at] == '"' || content[at] == '\'') {
        const auto close = content.find(content[at], at + 1);
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        return content.substr(at + 1, close - at - 1);
    }
    auto end = at;
    while (end < content.size() && !isMarkupSpace(content[end]) && content[end] != ';') {
        ++end;
    }
    return content.substr(at, end - at);
}

// A scanner of the page's markup for the encoding it declares: the attributes of each tag are
// read as the HTML standard's prescan reads them, comments and the raw text of scripts and
// styles are passed over, and the first meta element that names a known encoding decides. Unlike
// the prescan (the first 1,024 bytes) it reads the whole page: a browser's parser changes to the
// encoding of a meta element wherever it meets one.
class DeclarationScanner {
  public:
    explicit DeclarationScanner(std::string_view page) : in_(page) {}

    std::optional<std::string> scan() {
        while (pos_ < in_.size()) {
            pos_ = in_.find('<', pos_);
            if (pos_ == std::string_view::npos) {
                break;
            }
            const auto rest = in_.substr(pos_);
            if (rest.starts_with("<!--")) {
                const auto end = in_.find("-->", pos_ + 4);
                pos_ = end == std::string_view::npos ? in_.size() : end + 3;
            } else if (rest.size() > 1 &&
                       (isAsciiLetter(rest[1]) ||
                        (rest[1] == '/' && rest.size() > 2 && isAsciiLetter(rest[2])))) {
                if (auto encoding = tag()) {
                    return encoding;
                }
            } else if (rest.size() > 1 && (rest[1] == '!' || rest[1] == '/' || rest[1] == '?')) {
                const auto end = in_.find('>', pos_ + 2);
                pos_ = end == std::string_view::npos ? in_.size() : end + 1;
            } else {
                ++pos_;
            }
        }
        return std::nullopt;
    }

  private:
    static bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

    // At "<" (or "</") and a letter: reads the tag and its attributes.
    std::optional<std::string> tag() {
        const bool end = in_[pos_ + 1] == '/';
        pos_ += end ? 2 : 1;
        const auto nameStart = pos_;
        while (pos_ < in_.size() && !isMarkupSpace(in_[pos_]) && in_[pos_] != '/' &&
               in_[pos_] != '>') {
            ++pos_;
        }
        const auto name = in_.substr(nameStart, pos_ - nameStart);
        std::optional<std::string_view> charset;
        std::optional<std::string_view> content;
        bool contentType = false;
        while (const auto attribute = nextAttribute()) {
            const auto [key, value] = *attribute;
            if (sameLetters(key, "charset") && !charset) {
                charset = value;
            } else if (sameLetters(key, "content") && !content) {
                content = value;
            } else if (sameLetters(key, "http-equiv")) {
                contentType = contentType || sameLetters(value, "content-type");
            }
        }
        if (pos_ < in_.size()) {
            ++pos_;  // the ">"
        }
        if (end) {
            return std::nullopt;
        }
        if (sameLetters(name, "meta")) {
            std::optional<std::string> encoding;
            if (charset) {
                encoding = TextDecoding::encodingOfLabel(*charset);
            } else if (contentType && content) {
                if (const auto label = charsetInContent(*content)) {
                    encoding = TextDecoding::encodingOfLabel(*label);
                }
            }
            return encoding;
        }
        for (const std::string_view raw :
             {"script", "style", "textarea", "title", "xmp", "iframe", "noembed", "noframes"}) {
            if (sameLetters(name, raw)) {
                skipRawText(raw);
                return std::nullopt;
            }
        }
        if (sameLetters(name, "plaintext")) {
            pos_ = in_.size();
        }
        return std::nullopt;
    }

    // Passes over the raw text up to "</name".
    void skipRawText(std::string_view name) {
        for (auto at = in_.find("</", pos_); at != std::string_view::npos;
             at = in_.find("</", at + 2)) {
            if (sameLetters(in_.substr(at + 2, name.size()), name)) {
                pos_ = at;
                return;
            }
        }
        pos_ = in_.size();
    }

    // Whether `text` is `lowerCase` but for the case of ASCII letters.
    static bool sameLetters(std::string_view text, std::string_view lowerCase) {
        return text.size() == lowerCase.size() &&
               std::equal(text.begin(), text.end(), lowerCase.begin(), [](char a, char b) {
                   return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
               });
    }

    // The next attribute of the tag (name and value as written), as the prescan's "get an
    // attribute" reads it; nothing at the tag's ">" or the page's end.
    std::optional<std::pair<std::string_view, std::string_view>> nextAttribute() {
        while (pos_ < in_.size() && (isMarkupSpace(in_[pos_]) || in_[pos_] == '/')) {
            ++pos_;
        }
        if (pos_ >= in_.size() || in_[pos_] == '>') {
            return std::nullopt;
        }
        // The first character may be "=", taken as part of the name.
        const auto nameStart = pos_;
        do {
            ++pos_;
        } while (pos_ < in_.size() && in_[pos_] != '=' && in_[pos_] != '/' && in_[pos_] != '>' &&
                 !isMarkupSpace(in_[pos_]));
        const auto name = in_.substr(nameStart, pos_ - nameStart);
        while (pos_ < in_.size() && isMarkupSpace(in_[pos_])) {
            ++pos_;
        }
        if (pos_ >= in_.size() || in_[pos_] != '=') {
            return std::pair{name, std::string_view()};
        }
        ++pos_;
        while (pos_ < in_.size() && isMarkupSpace(in_[pos_])) {
            ++pos_;
        }
        if (pos_ >= in_.size()) {
            return std::pair{name, std::string_view()};
        }
        if (in_[pos_] == '"' || in_[pos_] == '\'') {
            const auto close = in_.find(in_[pos_], pos_ + 1);
            const auto end = close == std::string_view::npos ? in_.size() : close;
            const auto value = in_.substr(pos_ + 1, end - pos_ - 1);
            pos_ = close == std::string_view::npos ? in_.size() : close + 1;
            return std::pair{name, value};
        }
        const auto start = pos_;
        while (pos_ < in_.size() && !isMarkupSpace(in_[pos_]) && in_[pos_] != '>') {
            ++pos_;
        }
        return std::pair{name, in_.substr(start, pos_ - start)};
    }

    std::string_view in_;
    std::size_t pos_ = 0;
};

// The encoding the XML declaration names, when the page starts with one.
std::optional<std::string> xmlDeclaredEncoding(std::string_view bytes) {
    if (!bytes.starts_with("<?xml")) {
        return std::nullopt;
    }
    const auto declaration = bytes.substr(0, bytes.find("?>"));
    const auto key = declaration.find("encoding");
    if (key == std::string_view::npos) {
        return std::nullopt;
    }
    auto at = key + 8;
    while (at < declaration.size() && isMarkupSpace(declaration[at])) {
        ++at;
    }
    if (at >= declaration.size() || declaration[at] != '=') {
        return std::nullopt;
    }
    ++at;
    while (at < declaration.size() && isMarkupSpace(declaration[at])) {
        ++at;
    }
    if (at >= declaration.size() || (declaration[at] != '"' && declaration[at] != '\'')) {
        return std::nullopt;
    }
    const auto close = declaration.find(declaration[at], at + 1);
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    return TextDecoding::encodingOfLabel(declaration.substr(at + 1, close - at - 1));
}

}  // namespace

char32_t TextDecoding::symbolFontCharacter(unsigned char code) {
    static constexpr std::u32string_view kLetters =
        U"ΑΒΧΔΕΦΓΗΙϑΚΛΜΝΟΠΘΡΣΤΥςΩΞΨΖ[∴]⊥_‾αβχδεφγηιϕκλμνοπθρστυϖωξψζ{|}∼";
    static constexpr std::u32string_view kHigh =
        U"€ϒ′≤⁄∞ƒ♣♦♥♠↔←↑→↓°±″≥×∝∂•÷≠≡≈…⏐⎯↵ℵℑℜ℘⊗⊕∅∩∪⊃⊇⊄⊂⊆∈∉∠∇®©™∏√⋅¬∧∨⇔⇐⇑⇒⇓"
        U"◊〈®©™∑⎛⎜⎝⎡⎢⎣⎧⎨⎩⎪\uFFFD〉∫⌠⎮⌡⎞⎟⎠⎤⎥⎦⎫⎬⎭\uFFFD";
    switch (code) {
        case 0x22:
            return U'∀';
        case 0x24:
            return U'∃';
        case 0x27:
            return U'∋';
        case 0x2A:
            return U'∗';
        case 0x2D:
            return U'−';
        case 0x40:
            return U'≅';
        default:
            break;
    }
    if (code >= 0x41 && code <= 0x7E) {
        return kLetters[code - 0x41];
    }
    if (code >= 0xA0) {
        return kHigh[code - 0xA0];
    }
    return code < 0x80 ? static_cast<char32_t>(code) : U'\uFFFD';
}

char32_t TextDecoding::wingdingsCharacter(unsigned char code) {
    switch (code) {
        case 0x6C:
            return U'●';
        case 0x6E:
            return U'■';
        case 0x6F:
            return U'□';
        case 0x71:
            return U'❑';
        case 0x75:
            return U'◆';
        case 0x76:
            return U'❖';
        case 0xA7:
            return U'▪';
        case 0xD8:
            return U'➢';
        case 0xFC:
            return U'✔';
        default:
            return 0xF000 + code;
    }
}

std::optional<std::string> TextDecoding::superscript(std::string_view text) {
    static constexpr std::string_view kPlain = "0123456789+-=()ni";
    static constexpr std::u32string_view kRaised = U"⁰¹²³⁴⁵⁶⁷⁸⁹⁺⁻⁼⁽⁾ⁿⁱ";
    std::string out;
    for (const char c : text) {
        const auto at = kPlain.find(c);
        if (at == std::string_view::npos) {
            return std::nullopt;
        }
        appendUtf8(out, kRaised[at]);
    }
    return out;
}

void TextDecoding::appendUtf8(std::string& out, char32_t c) {
    std::array<char, U8_MAX_LENGTH> bytes{};
    std::size_t length = 0;
    U8_APPEND_UNSAFE(bytes.data(), length, static_cast<UChar32>(c));
    out.append(bytes.data(), length);
}

std::optional<std::string> TextDecoding::declaredMarkupEncoding(std::string_view bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        return "UTF-8";
    }
    if (bytes.starts_with("\xFF\xFE")) {
        return "UTF-16LE";
    }
    if (bytes.starts_with("\xFE\xFF")) {
        return "UTF-16BE";
    }
    if (auto declared = xmlDeclaredEncoding(bytes)) {
        return declared;
    }
    return DeclarationScanner(bytes).scan();
}

std::string TextDecoding::guessedMarkupEncoding(std::string_view visibleText) {
    // The same guess as for the text in a file, from the text the page shows.
    const auto name = guessedEncoding(visibleText);
    if (!name) {
        return "windows-1252";
    }
    // The name browsers know the encoding by where they know it (Shift_JIS is windows-31j);
    // the DOS and Mac code pages they do not know are read all the same.
    return encodingOfLabel(*name).value_or(*name);
}

}  // namespace vask
