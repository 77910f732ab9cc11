#include "sources/decoding/text_decoding.h"

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
#include "sources/decoding/legacy_encoding_guess.h"
#include "sources/decoding/mixed_utf8_text.h"
#include "sources/decoding/text_characters.h"
#include "sources/decoding/text_conversion.h"

namespace vask::decoding {

namespace {

// Whether the bytes are well-formed UTF-8, looked at a megabyte at a time (each part ending where
// a character begins) with a look at the stop token between two.
bool isValidUtf8(std::string_view bytes, const std::stop_token& stop) {
    constexpr std::size_t kPart = std::size_t{1024} * 1024;
    while (bytes.size() > kPart) {
        throwIfStopRequested(stop);
        auto end = kPart;
        while (end > kPart - 4 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) {
            --end;
        }
        if (!text::isValidUtf8(bytes.substr(0, end))) {
            return false;
        }
        bytes.remove_prefix(end);
    }
    throwIfStopRequested(stop);
    return text::isValidUtf8(bytes);
}

}  // namespace

std::optional<std::string> utf8(std::string_view bytes, const std::stop_token& stop) {
    if (!isValidUtf8(bytes, stop)) {
        return std::nullopt;
    }
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.remove_prefix(3);
    }
    return std::string(bytes);
}

std::optional<std::string> convert(std::string_view bytes, const char* encoding) {
    return composed(toUtf8(bytes, encoding, OnInvalid::fail));
}

std::optional<std::string> convertReplacing(std::string_view bytes, const char* encoding) {
    return composed(toUtf8(bytes, encoding, OnInvalid::replace));
}

namespace {

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
bool holdsControlCharacters(std::string_view utf8, const std::stop_token& stop = {}) {
    constexpr std::size_t kStopEvery = std::size_t{1} << 20;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if (i % kStopEvery == 0) {
            throwIfStopRequested(stop);
        }
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

// How a UTF-16 sample reads in one byte order: how plausible its reading is, when the reading is
// text of letters. It must convert (a character cut by the sample's end aside) without control
// characters other than tab, line and page breaks, with at most one character in a hundred that
// text seldom writes (unassigned, private-use, noncharacters, rare ideographs); letters and their
// marks must be half at least of what is not white space or ASCII, twelve at least, and three in
// four of one script (Han and kana taken as one): data read two bytes at a time makes letters of
// many. Nothing otherwise.
std::optional<long> utf16TextScore(std::string_view sample, const char* order, CutEnd cutEnd,
                                   bool shortWhole) {
    const auto text = toUtf8(sample, order, OnInvalid::fail, cutEnd);
    if (!text || holdsControlCharacters(*text)) {
        return std::nullopt;
    }
    long characters = 0;
    long unwritten = 0;
    long letters = 0;
    long others = 0;
    std::vector<std::pair<UScriptCode, long>> scripts;
    for (std::size_t at = 0; at < text->size();) {
        const auto [c, length] = utf8CharacterAt(*text, at);
        at += length;
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
    // A short note saved whole ("Пазаруване:" is 22 bytes) has fewer letters: four at least,
    // all of one script.
    constexpr long kFewestLettersOfANote = 4;
    long mainScript = 0;
    for (const auto& [script, count] : scripts) {
        mainScript = std::max(mainScript, count);
    }
    const bool enoughLetters =
        letters >= kFewestLetters ||
        (shortWhole && letters >= kFewestLettersOfANote && mainScript == letters && unwritten == 0);
    if (unwritten * kCharactersForEachUnwritten > characters || letters < others ||
        !enoughLetters || mainScript * 4 < letters * 3) {
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
    // A note of a few words, saved whole.
    constexpr std::size_t kShortNote = 48;
    const bool shortWhole = cutEnd != CutEnd::dropped && sample.size() <= kShortNote;
    for (const auto* order : {"UTF-16LE", "UTF-16BE"}) {
        const auto score = utf16TextScore(sample, order, cutEnd, shortWhole);
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
std::optional<std::string> legacyText(std::string_view bytes, const char* encoding,
                                      const std::stop_token& stop) {
    return composed(toUtf8(bytes, encoding, OnInvalid::fail, CutEnd::replaced, stop), stop);
}

}  // namespace

std::optional<std::string> unicodeText(std::string_view bytes, const std::stop_token& stop) {
    throwIfStopRequested(stop);
    if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
        return composed(toUtf8(bytes.substr(2), bytes[0] == '\xFF' ? "UTF-16LE" : "UTF-16BE",
                               OnInvalid::fail, CutEnd::asInvalid, stop),
                        stop);
    }
    if (const auto* utf16 = unmarkedUtf16(bytes)) {
        // A text cut inside its last character ends in U+FFFD.
        return composed(toUtf8(bytes, utf16, OnInvalid::replace, CutEnd::asInvalid, stop), stop);
    }
    if (iso2022Encoding(bytes) != nullptr) {
        return std::nullopt;
    }
    return utf8(bytes, stop);
}

std::optional<std::string> unmarkedUtf16Encoding(std::string_view bytes) {
    const auto* name = unmarkedUtf16(bytes);
    return name != nullptr ? std::optional<std::string>(name) : std::nullopt;
}

std::optional<std::string> guessedEncoding(std::string_view bytes) {
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

std::optional<std::string> detected(std::string_view bytes, std::string* encoding,
                                    const std::stop_token& stop) {
    throwIfStopRequested(stop);
    const auto found = [&](const char* name) -> std::optional<std::string> {
        auto text = legacyText(bytes, name, stop);
        if (text && encoding != nullptr) {
            *encoding = name;
        }
        return text;
    };
    const auto inUtf16 = [&](std::string_view text, const char* order, OnInvalid onInvalid) {
        auto read = composed(toUtf8(text, order, onInvalid, CutEnd::asInvalid, stop), stop);
        if (read && encoding != nullptr) {
            *encoding = order;
        }
        return read;
    };
    if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
        return inUtf16(bytes.substr(2), bytes[0] == '\xFF' ? "UTF-16LE" : "UTF-16BE",
                       OnInvalid::fail);
    }
    if (const auto* utf16 = unmarkedUtf16(bytes)) {
        return inUtf16(bytes, utf16, OnInvalid::replace);
    }
    if (isAscii(bytes)) {
        const auto* iso2022 = iso2022Encoding(bytes);
        return found(iso2022 != nullptr ? iso2022 : "US-ASCII");
    }
    // A UTF-8 byte order mark makes the text UTF-8 whatever is pasted into it.
    if (bytes.starts_with("\xEF\xBB\xBF") || isMostlyUtf8(bytes, stop)) {
        if (encoding != nullptr) {
            *encoding = "UTF-8";
        }
        if (bytes.starts_with("\xEF\xBB\xBF")) {
            bytes.remove_prefix(3);
        }
        return mixedUtf8Text(bytes, stop);
    }
    const auto sample = guessSample(bytes);
    const auto weighed = weighedPart(sample);
    const auto* name = legacyEncoding({sample, weighed});
    throwIfStopRequested(stop);
    if (name == nullptr) {
        return std::nullopt;
    }
    // Words or lines pasted from UTF-8 stay as written; and a page the guess names reads the text
    // whatever a byte of it does not convert.
    auto text = legacyTextWithUtf8(bytes, name, stop);
    if (!text) {
        text = legacyText(bytes, name, stop);
    }
    if (!text) {
        text = composed(toUtf8(bytes, name, OnInvalid::replace, CutEnd::replaced, stop), stop);
    }
    if (text && encoding != nullptr) {
        *encoding = name;
    }
    return text;
}

std::optional<std::string> plainText(std::string_view bytes, const std::stop_token& stop) {
    auto text = unicodeText(bytes, stop);
    if (!text) {
        text = detected(bytes, nullptr, stop);
    }
    if (!text || holdsControlCharacters(*text, stop)) {
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

std::optional<std::string> encodingOfLabel(std::string_view label) {
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
    DeclarationScanner(std::string_view page, const std::stop_token& stop)
        : in_(page), poll_(stop) {}

    std::optional<std::string> scan() {
        while (pos_ < in_.size()) {
            poll_.passed(pos_ - polled_);
            polled_ = pos_;
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
                encoding = encodingOfLabel(*charset);
            } else if (contentType && content) {
                if (const auto label = charsetInContent(*content)) {
                    encoding = encodingOfLabel(*label);
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
    // A stop is looked at as the scan goes (a page of 64 MiB of "<br>" is 16 million tags).
    StopPoll poll_;
    std::size_t polled_ = 0;
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
    return encodingOfLabel(declaration.substr(at + 1, close - at - 1));
}

}  // namespace

char32_t symbolFontCharacter(unsigned char code) {
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

char32_t wingdingsCharacter(unsigned char code) {
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

std::optional<std::string> superscript(std::string_view text) {
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

void appendUtf8(std::string& out, char32_t c) {
    std::array<char, U8_MAX_LENGTH> bytes{};
    std::size_t length = 0;
    U8_APPEND_UNSAFE(bytes.data(), length, static_cast<UChar32>(c));
    out.append(bytes.data(), length);
}

std::optional<std::string> declaredMarkupEncoding(std::string_view bytes,
                                                  const std::stop_token& stop) {
    throwIfStopRequested(stop);
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
    return DeclarationScanner(bytes, stop).scan();
}

std::string guessedMarkupEncoding(std::string_view visibleText) {
    // The same guess as for the text in a file, from the text the page shows.
    const auto name = guessedEncoding(visibleText);
    if (!name) {
        return "windows-1252";
    }
    // The name browsers know the encoding by where they know it (Shift_JIS is windows-31j);
    // the DOS and Mac code pages they do not know are read all the same.
    return encodingOfLabel(*name).value_or(*name);
}

}  // namespace vask::decoding
