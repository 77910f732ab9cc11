#include "sources/decoding/legacy_encoding_guess.h"

#include <uchardet.h>

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <type_traits>

#include "sources/decoding/mixed_utf8_text.h"
#include "sources/decoding/text_conversion.h"

namespace vask::decoding {

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
        } else {
            faults += c >= 0x80 && type != U_SPACE_SEPARATOR && isLetter(previous) &&
                              ((isLetter(next) && !joinsWords(c)) || type == U_START_PUNCTUATION)
                          ? 1
                          : 0;
        }
        previous = c;
    }
    return faults;
}

Utf8Reading readAsUtf8(std::string_view bytes) {
    Utf8Reading reading;
    forEachUtf8Character(bytes, [&](std::size_t, const Utf8Character& character) {
        if (character.c >= 0 && character.c < 0x80) {
            return;
        }
        ++(character.wellFormed() ? reading.characters : reading.illFormed);
        (character.wellFormed() ? reading.wellFormedBytes : reading.illFormedBytes) +=
            character.length;
    });
    return reading;
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
    bool holds = false;
    forEachUtf8Character(bytes, [&](std::size_t at, const Utf8Character& character) {
        const auto first = static_cast<unsigned char>(bytes[at]);
        holds = !character.wellFormed() && first >= 0x80 && first < 0xA0;
        return !holds;
    });
    return holds;
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

// How the letter statistics weigh readings, in quarter bits (measured on the corpus, each a
// value that reads most files right with no cell below its score, docs/testing.md): a fault of a
// reading (`readingFaults`) costs as much as 6 bits of letters when a reading the rules take is
// weighed against the detector's; the detector's reading is kept unless the rules' costs 3 bits
// less (the rules take another page only for what the letters or faults show, as uchardet's
// model does not: a single "ň" or "Č" of a short note is no evidence against it); and another
// Western or Central European page takes the place of the guess only for 8 bits less, as many
// as a letter seldom written, and with no more faults.
constexpr long kFaultCost = 24;
constexpr long kDetectorFavour = -12;
constexpr long kSwitchMargin = 32;

// The Latin pages a reading is weighed in by its letters against the page the rules take: the
// Western and Central European pages most text of those languages is written in.
constexpr auto kLetterWeighedPages =
    std::to_array<const char*>({"windows-1252", "ISO-8859-15", "windows-1250", "ISO-8859-2"});

bool isLetterWeighed(std::string_view page) {
    return std::any_of(kLetterWeighedPages.begin(), kLetterWeighedPages.end(),
                       [&](const char* weighed) { return page == weighed; });
}

// Whether a reading holds a sign above ASCII: a symbol, a currency, a number of no digit or
// punctuation other than quotation marks and dashes ("³", "¦", "¤", "¿" where a page of other
// letters reads letters: "Pawe³ ¦cibor", "25 ¤").
bool holdsSigns(std::string_view utf8) {
    bool found = false;
    forEachUtf8Character(utf8, [&](std::size_t, const Utf8Character& character) {
        if (character.c < 0x80) {
            return true;
        }
        const auto type = u_charType(character.c);
        found = type == U_CURRENCY_SYMBOL || type == U_MATH_SYMBOL || type == U_MODIFIER_SYMBOL ||
                type == U_OTHER_SYMBOL || type == U_OTHER_NUMBER || type == U_OTHER_PUNCTUATION;
        return !found;
    });
    return found;
}

// Of the guess and `others`, the page whose reading of the sample costs least by the letter
// statistics of its languages (`letterCost`) and its faults (`faultCost` each; with none, only
// a reading with no more faults than the guess's is weighed), `margin` less for the guess; the
// guess when none costs less, or when its page is of no language the statistics hold.
template <std::size_t n>
const char* cheapestByLetters(const Sample& sample, const char* guess,
                              const std::array<const char*, n>& others, long margin,
                              long faultCost) {
    if (std::none_of(others.begin(), others.end(), [&](const char* page) {
            return page != nullptr && std::string_view(page) != guess;
        })) {
        return guess;
    }
    const auto text = weighedText(sample, guess);
    if (!text) {
        return guess;
    }
    const auto faults = readingFaults(*text);
    // The guess's cost, counted once a reading differs from its own.
    std::optional<long> bestCost;
    const char* best = guess;
    for (const auto* page : others) {
        if (page == nullptr || std::string_view(page) == guess) {
            continue;
        }
        const auto reading = weighedText(sample, page);
        if (!reading || reading == text) {
            continue;
        }
        const auto pageFaults = readingFaults(*reading);
        if (faultCost == 0 && pageFaults > faults) {
            continue;
        }
        if (!bestCost) {
            const auto guessCost = letterCost(*text, guess);
            if (!guessCost) {
                return guess;
            }
            bestCost = *guessCost + faults * faultCost - margin;
        }
        const auto cost = letterCost(*reading, page);
        if (cost && *cost + pageFaults * faultCost < *bestCost) {
            best = page;
            bestCost = *cost + pageFaults * faultCost;
        }
    }
    return best;
}

bool isMultiByte(const char* page) {
    if (isIconvEncoding(page)) {
        return false;
    }
    UErrorCode status = U_ZERO_ERROR;
    const ConverterPtr converter(ucnv_open(page, &status), ucnv_close);
    return U_SUCCESS(status) && ucnv_getMaxCharSize(converter.get()) > 1;
}

// The reading in the page of the part of a sample that is weighed when the page converts it;
// else of the whole sample, words and lines pasted from UTF-8 kept as written in a page of two
// bytes to a character (`legacyTextWithUtf8`: the part weighed may have lost a symbol its bytes
// make by chance, "時" in Shift_JIS ends in UTF-8's "㎞"), when all but a few of its characters
// convert (one in 50), those read as U+FFFD; nothing otherwise.
std::optional<std::string> readingWithFewFaults(const Sample& sample, const char* page) {
    if (auto text = sampleText(sample.weighed, page)) {
        return text;
    }
    std::optional<std::string> text;
    if (isMultiByte(page)) {
        text = legacyTextWithUtf8(sample.bytes, page);
    }
    if (!text) {
        text = toUtf8(sample.weighed, page, OnInvalid::replace, CutEnd::dropped);
    }
    if (!text) {
        return std::nullopt;
    }
    constexpr long kCharactersForEachFault = 50;
    long characters = 0;
    long faults = 0;
    forEachUtf8Character(*text, [&](std::size_t, const Utf8Character& character) {
        ++characters;
        faults += character.c == 0xFFFD ? 1 : 0;
    });
    return faults * kCharactersForEachFault <= characters ? text : std::nullopt;
}

// The legacy encoding the sample is in: the detector's, but for what its reading shows a rule
// of Vask's own reads better: KOI8-U for Ukrainian letters, windows-1257 for Baltic text with
// its quotation marks, ISO-8859-2 for what the detector takes for ISO-8859-3 when that reading
// is no one language of the page's (Esperanto, Maltese, Turkish) and -2 reads with as few
// faults, and a Western page when a reading in a Latin page has faults and one of those has
// fewer; windows-1252 for signs of units and currencies alone. A Latin page the rules take in
// place of the detector's is kept only when its reading costs less by the letter statistics of
// its languages and its faults (`letterCost`), and a Western or Central European page takes the
// place of another when its reading costs clearly less with no more faults (names lists in
// windows-1250 the detector reads as Western, the euro of ISO-8859-15). A Latin page that reads
// the sample as windows-1252 does is named as that, the page most such text is written in. When
// the detector finds none, the page whose reading has fewest faults. The detector reads the
// whole sample (the words of Chinese, Japanese and Korean text between spaces are UTF-8 whole
// often enough to break its reading if they were taken out), the faults are counted in the
// weighed part. Nothing when no page converts the sample.
const char* legacyEncoding(const Sample& weighed) {
    const auto sample = weighed.bytes;
    if (holdsOnlyUnitSigns(weighed.weighed)) {
        return "windows-1252";
    }
    const bool pasted = weighed.weighed.size() < sample.size();
    const char* guess = detectorGuess(sample);
    // Words or lines pasted from UTF-8 may make the detector take Chinese, Japanese or Korean for
    // UTF-8, a Western page or another of theirs ("PS: 3 → 4" in a Shift_JIS note, "👍" in a
    // Korean one read as GB18030); what the legacy bytes are in, it finds in the part weighed,
    // whose reading in that page is as plausible at least. (Where it names a page of one byte to
    // a character there, the faults of the readings tell better: a Romanian text's few UTF-8 words
    // taken out leave too little for it.)
    if (pasted) {
        const char* inWeighed = detectorGuess(weighed.weighed);
        if (inWeighed != nullptr && isMultiByte(inWeighed) &&
            (guess == nullptr || std::string_view(guess) != inWeighed)) {
            const auto legacy = readingWithFewFaults(weighed, inWeighed);
            const auto other =
                guess != nullptr ? readingWithFewFaults(weighed, guess) : std::nullopt;
            if (legacy && (!other || plausibility(*legacy) >= plausibility(*other))) {
                guess = inWeighed;
            }
        }
    }
    auto text = guess != nullptr ? weighedText(weighed, guess) : std::nullopt;
    // Words or lines pasted from UTF-8 that the page does not convert ("→" in Shift_JIS) are no
    // reason to drop its guess: the part weighed reads in it without them, or a page of two
    // bytes to a character reads the legacy bytes beside UTF-8 that no space parts from them.
    if (!text && guess != nullptr && (pasted || isMultiByte(guess))) {
        text = readingWithFewFaults(weighed, guess);
    }
    if (!text) {
        const char* best = nullptr;
        long faults = 0;
        takeFewestFaults(weighed, kFallbackPages, best, faults);
        return best;
    }
    const char* const detected = guess;
    const std::string_view name = guess;
    if (name == "KOI8-R" && holdsAnyByte(sample, kKoi8UkrainianLetters) &&
        sampleText(sample, "KOI8-U")) {
        return "KOI8-U";
    }
    if (name == "ISO-8859-13" && holdsAnyByte(sample, kC1Bytes) &&
        sampleText(sample, "windows-1257")) {
        return "windows-1257";
    }
    // Ukrainian in windows-1251 the detector takes for Mac Cyrillic (every capital and "і" then
    // garbled): windows-1251 when its reading costs less by the letter statistics.
    if (name == "x-mac-cyrillic") {
        return cheapestByLetters(weighed, guess, std::to_array<const char*>({"windows-1251"}),
                                 kDetectorFavour, kFaultCost);
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
        return cheapestByLetters(weighed, "ISO-8859-3", std::to_array<const char*>({detected}),
                                 kDetectorFavour, kFaultCost);
    }
    if (faults > 0 || lookalike) {
        takeFewestFaults(weighed, kWesternPages, guess, faults, lookalike);
    }
    guess = centralEuropeanInstead(weighed, guess);
    // A reading the rules take in place of the detector's that costs more by the letters of its
    // languages gives way to it; and when the guess reads signs, the Western and Central
    // European pages are weighed by their letters against it.
    if (lookalike || name == "windows-1252") {
        guess = cheapestByLetters(weighed, guess, std::to_array<const char*>({detected}),
                                  kDetectorFavour, kFaultCost);
    }
    const auto guessText = weighedText(weighed, guess);
    if (isLetterWeighed(guess) && guessText && holdsSigns(*guessText)) {
        guess = cheapestByLetters(weighed, guess, kLetterWeighedPages, kSwitchMargin, 0);
    }
    text = sampleText(sample, guess);
    if (std::string_view(guess) != "windows-1252" && text == sampleText(sample, "windows-1252")) {
        return "windows-1252";
    }
    return guess;
}

// The length of the separator at `at`: ASCII white space or a separator of fields and clauses
// (the ";" and "," of a CSV row, the ":" and ";" of a vCard line: "Szűcs;Ödön;Pécs" is three
// words), or a well-formed UTF-8 character above ASCII that is neither a letter nor a mark (a
// no-break space, "«", "“", "—"); 0 for anything else, an ill-formed byte among it.
std::size_t separatorAt(std::string_view text, std::size_t at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80) {
        return std::string_view(" \t\n\r\f;,:|\"()").find(static_cast<char>(byte)) !=
                       std::string_view::npos
                   ? 1
                   : 0;
    }
    const auto character = utf8CharacterAt(text, at);
    return character.wellFormed() && !isLetter(character.c) && !isMark(character.c)
               ? character.length
               : 0;
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

}  // namespace vask::decoding
