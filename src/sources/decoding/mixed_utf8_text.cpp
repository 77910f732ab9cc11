#include "sources/decoding/mixed_utf8_text.h"

#include <unicode/uchar.h>
#include <unicode/ucnv.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <tuple>
#include <vector>

#include "platform/text.h"
#include "sources/decoding/legacy_encoding_guess.h"
#include "sources/decoding/text_characters.h"
#include "sources/decoding/text_conversion.h"

namespace vask::decoding {

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
    for (std::size_t back = 1; back <= std::min<std::size_t>(3, bytes.size()); ++back) {
        const auto at = bytes.size() - back;
        const auto lead = static_cast<unsigned char>(bytes[at]);
        if (lead >= 0x80 && lead < 0xC0) {
            continue;
        }
        // A start cut short reads as one ill-formed sequence of all the bytes left.
        const auto character = utf8CharacterAt(bytes, at);
        return lead >= 0xC2 && lead <= 0xF4 && !character.wellFormed() && character.length == back
                   ? back
                   : 0;
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
void forEachHighRun(std::string_view bytes, const std::stop_token& stop, Each&& each) {
    StopPoll poll(stop);
    std::size_t at = 0;
    while (at < bytes.size()) {
        poll.passed(1);
        if (static_cast<unsigned char>(bytes[at]) < 0x80) {
            ++at;
            continue;
        }
        const auto begin = at;
        std::size_t characters = 0;
        std::size_t illFormed = 0;
        while (at < bytes.size() && static_cast<unsigned char>(bytes[at]) >= 0x80) {
            const auto character = utf8CharacterAt(bytes, at);
            ++(character.wellFormed() ? characters : illFormed);
            at += character.length;
            poll.passed(character.length);
        }
        each(begin, at, characters, illFormed);
    }
}

// How UTF-8 above ASCII reads: as text (no symbol but those text writes, no character
// unassigned, private or a control, letters of one script), and whether it holds letters, and
// of which scripts (cp866's "только" is UTF-8's "⮫쪮", an arrow and a syllable; a Thai
// line in windows-874 makes Latin letters and ideographs).
struct Utf8RunReading {
    bool text = true;
    std::vector<UScriptCode> scripts;
};

Utf8RunReading readUtf8Run(std::string_view utf8) {
    Utf8RunReading reading;
    forEachUtf8Character(utf8, [&](std::size_t, const Utf8Character& character) {
        const auto c = character.c;
        const auto type = u_charType(c);
        if (c < 0 || type == U_UNASSIGNED || type == U_PRIVATE_USE_CHAR || type == U_CONTROL_CHAR ||
            ((type == U_OTHER_SYMBOL || type == U_MATH_SYMBOL || type == U_MODIFIER_SYMBOL) &&
             !isWrittenSymbol(c))) {
            reading.text = false;
        }
        if (c >= 0x80 && isLetter(c)) {
            const auto of = scriptOf(c);
            if (std::find(reading.scripts.begin(), reading.scripts.end(), of) ==
                reading.scripts.end()) {
                reading.scripts.push_back(of);
            }
        }
    });
    reading.text = reading.text && reading.scripts.size() <= 1;
    return reading;
}

bool readsAsText(std::string_view utf8) {
    return readUtf8Run(utf8).text;
}

// Whether a run of bytes above ASCII is UTF-8 with stray bytes 0xFE or 0xFF in it ("ü\xFF"): no
// UTF-8 holds those, and most pages write rare letters or none with them ("ÿ", "˙", "ˇ"), where
// a legacy word's bytes that make a UTF-8 character by chance go on in bytes of its own letters
// ("D\xD8\x9F\xA1n" is cp852's "Děčín").
bool holdsOnlyStrayBytes(std::string_view run) {
    bool stray = false;
    bool other = false;
    forEachUtf8Character(run, [&](std::size_t at, const Utf8Character& character) {
        if (!character.wellFormed()) {
            const bool strayByte =
                character.length == 1 && (run[at] == '\xFE' || run[at] == '\xFF');
            stray = stray || strayByte;
            other = other || !strayByte;
        }
        return !other;
    });
    return stray && !other;
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
bool isMostlyUtf8(std::string_view bytes, const std::stop_token& stop) {
    constexpr std::size_t kIllFormedForEachCharacter = 2;
    bytes.remove_suffix(cutUtf8Tail(bytes));
    std::size_t whole = 0;
    std::size_t illFormed = 0;
    forEachHighRun(
        bytes, stop,
        [&](std::size_t begin, std::size_t end, std::size_t characters, std::size_t runIllFormed) {
            if (runIllFormed > 0 && holdsOnlyStrayBytes(bytes.substr(begin, end - begin))) {
                illFormed += runIllFormed;
                whole += characters;
            } else if (runIllFormed > 0) {
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

// Whether the byte at `at` is a Windows apostrophe (0x92, "’") pasted between an ASCII letter
// and a UTF-8 letter of the text ("l\x92été"): the DOS and Mac pages read the byte as a letter
// ("Æ", "í"), but a word of theirs would go on in their own bytes, not in UTF-8. With
// `orAscii`, before an ASCII letter as well ("l\x92hôtel"), where a page is still to tell it.
bool isPastedApostrophe(std::string_view bytes, std::size_t at, bool orAscii = false) {
    if (bytes[at] != '\x92' || at == 0 || at + 1 >= bytes.size() ||
        !isAsciiLetterOrDigit(bytes[at - 1])) {
        return false;
    }
    const auto next = utf8CharacterAt(bytes, at + 1);
    return next.wellFormed() && isLetter(next.c) && (orAscii || next.c >= 0x80);
}

// Whether a pasted run is Windows punctuation: each of its ill-formed sequences is, and stands
// between no two letters (cp850's "ä" in "Best\x84tigung" is a letter of the word); the UTF-8 a
// quotation mark is pasted beside ("\x84Über\x93") is no part of it.
bool isWindowsPunctuation(std::string_view bytes, const PastedRun& run) {
    const auto pasted = bytes.substr(0, run.end);
    bool letterBefore = run.begin > 0 && isAsciiLetterOrDigit(bytes[run.begin - 1]);
    for (auto at = run.begin; at < run.end;) {
        const auto character = utf8CharacterAt(pasted, at);
        at += character.length;
        if (character.wellFormed()) {
            letterBefore = isLetter(character.c);
            continue;
        }
        const auto sequence = pasted.substr(at - character.length, character.length);
        if (sequence.find_first_not_of(kWindowsPunctuationBytes) != std::string_view::npos) {
            return false;
        }
        bool letterAfter = false;
        if (at == run.end) {
            letterAfter = run.end < bytes.size() && isAsciiLetterOrDigit(bytes[run.end]);
        } else {
            const auto next = utf8CharacterAt(pasted, at);
            letterAfter = next.wellFormed() && isLetter(next.c);
        }
        if (letterBefore && letterAfter && !isPastedApostrophe(pasted, at - character.length)) {
            return false;
        }
        letterBefore = false;
    }
    return true;
}

// The characters above ASCII the UTF-8 of a text writes (small), from its first megabyte,
// sorted.
std::vector<char32_t> writtenCharacters(std::string_view bytes) {
    constexpr std::size_t kRead = std::size_t{1024} * 1024;
    std::vector<char32_t> written;
    forEachUtf8Character(bytes.substr(0, kRead), [&](std::size_t, const Utf8Character& character) {
        if (character.c >= 0x80) {
            written.push_back(static_cast<char32_t>(u_tolower(character.c)));
        }
    });
    std::sort(written.begin(), written.end());
    written.erase(std::unique(written.begin(), written.end()), written.end());
    return written;
}

// The characters above ASCII of a reading that the rest of the text does not write (small).
long unwrittenCharacters(std::string_view utf8, const std::vector<char32_t>& written) {
    long unwritten = 0;
    int32_t at = 0;
    while (at < static_cast<int32_t>(utf8.size())) {
        const auto c = characterAt(utf8, at).first;
        if (c >= 0x80 && !std::binary_search(written.begin(), written.end(),
                                             static_cast<char32_t>(u_tolower(c)))) {
            ++unwritten;
        }
    }
    return unwritten;
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
    forEachUtf8Character(run, [&](std::size_t at, const Utf8Character& character) {
        const bool wellFormed = character.wellFormed();
        if (!parts.empty() && parts.back().wellFormed == wellFormed) {
            auto& last = parts.back();
            last.bytes = std::string_view(last.bytes.data(), last.bytes.size() + character.length);
            ++last.characters;
        } else {
            parts.push_back({run.substr(at, character.length), wellFormed, 1});
        }
    });
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
// ISO: their readings give way to those as faultless. The Mac pages the detector names are among
// them: its guess of Mac Central European for a word or two of cp852 ("Átirih" for "štirih")
// would else be the reading the others are weighed against, kept for letters less than
// `kLikelierMargin` likelier. cp852 is not: where the detector names it, it is right most often
// (as a page that gives way, 50 cells of the encoding corpus read 62 fewer files right).
bool isDosOrMac(std::string_view page) {
    return page == "ibm-850" || page == "ibm-866" || page == "macintosh" ||
           page == "x-mac-centraleurroman" || page == "x-mac-cyrillic";
}

// The runs with the ASCII beside each up to white space, one to a line, their bytes that tell
// their page only (`tellingBytes`): runs that only ASCII stands between (the second bytes of a
// Chinese page, "\xA3\x7B") are read together. 64 KB of them at most.
std::string pastedSample(std::string_view bytes, const std::vector<PastedRun>& runs,
                         bool tellingOnly = true) {
    constexpr std::size_t kSample = std::size_t{64} * 1024;
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
            .append(tellingOnly ? tellingBytes(bytes.substr(run.begin, run.end - run.begin))
                                : std::string(bytes.substr(run.begin, run.end - run.begin)))
            .append(bytes.substr(run.end, end - run.end))
            .push_back('\n');
        sampled = end;
    }
    return sample;
}

// The page the guess for the sample names, or the one its bytes in the whole runs name
// instead (the sample leaves some out): windows-1253 for Greek the detector takes for
// ISO-8859-7 whose windows-1253 punctuation ("…" after a word, 0x85) the sample leaves out,
// KOI8-U for Ukrainian it takes for KOI8-R whose "і" (0xA6) begins a character UTF-8 by chance
// ("пі" is UTF-8's "Ц").
const char* pageTheRunsName(std::string_view bytes, const std::vector<PastedRun>& runs,
                            const char* guess) {
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
    return guess;
}

// Whether a page is none of Latin or Cyrillic letters that pasted runs are weighed in (a
// Chinese, Japanese, Korean, Greek or Thai page): the detector's guess of such a page stands.
// The Western pages it names are Latin ones (windows-1258's "Dom§ale" is cp852's "Domžale").
bool isPageOfOtherLetters(const char* page) {
    return page != nullptr && !isOneOf(std::string_view(page), kLatinPages) &&
           std::find(kWesternPages.begin(), kWesternPages.end(), std::string_view(page)) ==
               kWesternPages.end() &&
           std::none_of(kPastedPages.begin(), kPastedPages.end(),
                        [&](const char* pasted) { return std::string_view(pasted) == page; });
}

// The characters above ASCII of a reading that its letter cost counts (quotation marks aside).
long costedCharacters(std::string_view utf8) {
    long costed = 0;
    forEachUtf8Character(utf8, [&](std::size_t, const Utf8Character& character) {
        const auto type = u_charType(character.c);
        if (character.c >= 0x80 && type != U_INITIAL_PUNCTUATION && type != U_FINAL_PUNCTUATION) {
            ++costed;
        }
    });
    return costed;
}

bool isAsciiSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The words of the text that are UTF-8 whole with a letter above ASCII (from its first 64 KB,
// 4 KB of them at most), one to a line: what the text's own UTF-8 writes of its language.
std::string ownUtf8Words(std::string_view bytes) {
    constexpr std::size_t kRead = std::size_t{64} * 1024;
    constexpr std::size_t kMost = std::size_t{4} * 1024;
    bytes = bytes.substr(0, kRead);
    std::string words;
    std::size_t at = 0;
    while (at < bytes.size() && words.size() < kMost) {
        auto end = at;
        while (end < bytes.size() && !isAsciiSpace(bytes[end])) {
            ++end;
        }
        const auto word = bytes.substr(at, end - at);
        bool letters = false;
        bool wellFormed = true;
        forEachUtf8Character(word, [&](std::size_t, const Utf8Character& character) {
            wellFormed = wellFormed && character.wellFormed();
            letters = letters || (character.c >= 0x80 && isLetter(character.c));
        });
        if (wellFormed && letters) {
            words.append(word).push_back('\n');
        }
        at = end + 1;
    }
    return words;
}

// Whether a page is one of Latin letters, Western or other.
bool isLatinPage(std::string_view page) {
    return isOneOf(page, kLatinPages) ||
           std::find(kWesternPages.begin(), kWesternPages.end(), page) != kWesternPages.end();
}

// How much less, in quarter bits, the letters of a reading as faultless as the first must cost by
// the letter statistics of their languages (`LetterPrices`) to take its place: 5 bits, about what
// one letter of a pasted word likelier in one page's languages than in another's weighs ("ć"
// against "æ" after "i" in a Croatian name, cp852's "á" against windows-1252's no-break space).
// Measured on the corpus with the text's own words priced, the same margin weighing a run that
// holds UTF-8 beside ill-formed bytes (`isWholeInPage`): 1, 2, 3, 4 and 5 bits read 12,802
// (2 cells below their score), 12,791, 12,790, 12,785 and 12,782 files right, but 3 or 4 bits
// read "¡descartando" pasted into a Spanish note as cp850's "ídescartando".
constexpr long kLikelierMargin = 20;

// Of the detector's guess and the pages pasted runs are weighed in, the one whose reading of the
// sample has fewest faults. Only between readings as faultless as each other do the Windows and
// ISO pages come before those of DOS and the Mac, and then the characters the text around them
// writes decide (Romanian "ţ" of ISO-8859-2 against "ț" of -16, cp850's "ä" against
// windows-1250's "„" between two letters), then the detector's guess. Bytes 0x80 to 0x9F are
// punctuation and a few rare letters in the Windows pages and the commonest accented letters in
// the DOS and Mac pages ("\x81" is cp850's "ü", "\x9A" its "Ü", "\x9F" Mac Roman's "ü"): a
// sample mostly of them is read in the page that reads them as letters the text writes, before
// the Windows pages. A Latin page's reading as faultless takes the place of the first when its
// letters are clearly likelier by the letter statistics the legacy guess weighs by
// (`kLikelierMargin`): short legacy text with a UTF-8 word pasted into it counts as mostly UTF-8,
// and its runs are then a word or two of the page's letters ("Tomić" in ISO-8859-2 is no Danish
// "Tomiæ", "elfojtása" in cp852 no "elfojt sa" with windows-1252's no-break space). Only
// readings with as many characters the statistics count are weighed so (a quotation mark costs
// nothing). cp852, where the detector names another page, is weighed so alone, never for fewer
// faults: its letters make few where a pasted Western word has some in every page (Turkish
// "ANAHTAR’ı" as "ANAHTARĺř"). The letters are priced with the words of the text's own UTF-8,
// so in one language with them: a French note's "à" tells cp850's "Nîmes" from windows-1252's
// "NŒmes". With `first`, that page is the one of fewest faults, the others weighed against it by
// their letters alone (what a byte of Windows punctuation is, the text's language does not
// tell: "Precio:\xA010" where the note writes "más" is no cp850 "á").
const char* fewestFaultsPage(std::string_view bytes, std::string_view sample,
                             const char* detectorGuess, const char* first = nullptr) {
    const auto written = writtenCharacters(bytes);
    const auto high = std::count_if(sample.begin(), sample.end(),
                                    [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    const auto c1 = std::count_if(sample.begin(), sample.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x80 && static_cast<unsigned char>(c) < 0xA0;
    });
    const bool mostlyC1 = c1 * 2 > high;
    struct Weighed {
        const char* page;
        std::tuple<long, long, bool, long> faults;
        std::optional<long> cost;
        long costed;
        bool byLettersOnly;
        std::string reading;
    };
    std::vector<Weighed> weighed;
    const LetterPrices prices(first == nullptr ? ownUtf8Words(bytes) : std::string());
    const auto weigh = [&](const char* page, bool byLettersOnly) {
        const auto reading = sampleText(sample, page);
        if (!reading) {
            return;
        }
        const auto unwritten = unwrittenCharacters(*reading, written);
        weighed.push_back(
            {page,
             {pastedFaults(*reading), mostlyC1 ? unwritten : 0, isDosOrMac(page), unwritten},
             prices.inPage(*reading, page),
             costedCharacters(*reading),
             byLettersOnly,
             *reading});
    };
    if (first != nullptr) {
        weigh(first, false);
    }
    if (detectorGuess != nullptr) {
        weigh(detectorGuess, first != nullptr);
    }
    for (const auto* page : kPastedPages) {
        weigh(page, first != nullptr);
    }
    // The DOS page of Central European text, which the detector names for most of it but not for
    // a word or two ("pokl\xA0d\xA0" is windows-1252's "pokl d ").
    if (detectorGuess == nullptr || std::string_view(detectorGuess) != "ibm-852") {
        weigh("ibm-852", true);
    }
    const Weighed* fewest = nullptr;
    for (const auto& reading : weighed) {
        if (!reading.byLettersOnly && (fewest == nullptr || reading.faults < fewest->faults)) {
            fewest = &reading;
        }
    }
    if (fewest == nullptr) {
        return nullptr;
    }
    // A reading as faultless whose letters are clearly likelier takes the place of the first, and
    // the likeliest of those the first's when its page is of no language the statistics hold
    // (ISO-8859-10's "maņana" for windows-1252's "mañana"); readings in pages of other letters
    // are not weighed so (their letters are priced beside others than Latin ones).
    // Where the first page's letters cannot be priced, a page that reads the sample alike prices
    // them (windows-1252 for windows-1258's "¡descartando").
    const auto* priced = fewest;
    if (!fewest->cost) {
        const auto alike = std::find_if(weighed.begin(), weighed.end(), [&](const Weighed& other) {
            return other.cost && other.reading == fewest->reading;
        });
        if (alike != weighed.end()) {
            priced = &*alike;
        }
    }
    const auto* likeliest = priced;
    for (const auto& other : weighed) {
        if (std::get<0>(other.faults) == std::get<0>(fewest->faults) &&
            std::get<1>(other.faults) <= std::get<1>(fewest->faults) && other.cost &&
            other.costed >= fewest->costed && isLatinPage(fewest->page) &&
            isLatinPage(other.page) &&
            (!likeliest->cost ||
             *other.cost + (likeliest == priced ? kLikelierMargin : 0) < *likeliest->cost)) {
            likeliest = &other;
        }
    }
    return likeliest == priced ? fewest->page : likeliest->page;
}

// cp866 in place of windows-1251: each reads the other's Cyrillic as Cyrillic, letters and signs
// that make no faults ("уникальность" is windows-1251's "г­ЁЄ «м­®бвм"); the more plausible.
const char* dosCyrillicInstead(std::string_view sample, const char* guess) {
    if (guess == nullptr || std::string_view(guess) != "windows-1251") {
        return guess;
    }
    const auto windows = sampleText(sample, "windows-1251");
    const auto dos = sampleText(sample, "ibm-866");
    if (windows && dos && pastedFaults(*dos) <= pastedFaults(*windows) &&
        plausibility(*dos) > plausibility(*windows)) {
        return "ibm-866";
    }
    return guess;
}

// A page of two bytes to a character in place of one of one byte, when the detector names it
// for the runs whole and its reading of them is the more plausible: lines of Shift_JIS make
// UTF-8 by chance often enough ("日本" among them) that their bytes without it read as no
// page's ("三つの行" read in cp866 as line drawing).
const char* multiBytePageOfWholeRuns(std::string_view bytes, const std::vector<PastedRun>& runs,
                                     const char* guess) {
    if (guess == nullptr || isMultiByte(guess)) {
        return guess;
    }
    const auto whole = pastedSample(bytes, runs, false);
    const char* wholeGuess = legacyEncoding({whole, whole});
    if (wholeGuess == nullptr || !isMultiByte(wholeGuess)) {
        return guess;
    }
    const auto multiByte = sampleText(whole, wholeGuess);
    const auto singleByte = sampleText(whole, guess);
    return multiByte && (!singleByte || plausibility(*multiByte) > plausibility(*singleByte))
               ? wholeGuess
               : guess;
}

// Whether a pasted run is one byte of Windows punctuation between ASCII that stands in no word
// (`kWindowsPunctuationBytes`): no ASCII letter on
// either side, or a digit on one side ("Precio:\xA010", "10\xA0euros", "10\x9620"). Its page's
// letters would be a word of one letter or glued to a number ("Precio:á10", "10áeuros"): it
// carries no letters for the statistics to weigh.
bool isLoneByteOfNoWord(std::string_view bytes, const PastedRun& run) {
    if (run.end - run.begin != 1 ||
        kWindowsPunctuationBytes.find(bytes[run.begin]) == std::string_view::npos) {
        return false;
    }
    const auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    const char before = run.begin > 0 ? bytes[run.begin - 1] : ' ';
    const char after = run.end < bytes.size() ? bytes[run.end] : ' ';
    return (!isLetter(before) && !isLetter(after)) || isDigit(before) || isDigit(after);
}

// The page the runs pasted into a UTF-8 text are in, told by their own bytes and the ASCII
// letters beside them: windows-1252 for runs of Windows punctuation alone (quotation marks,
// dashes, no-break spaces; unless a Latin page reads them as letters clearly likelier: cp852's
// "Tomi\x86" is "Tomić", no "Tomi†") or of signs of units, else the detector's guess for them
// when it is a page of other letters than Latin or Cyrillic, else the page of fewest faults.
const char* pastedRunsEncoding(std::string_view bytes, const std::vector<PastedRun>& runs) {
    if (std::all_of(runs.begin(), runs.end(),
                    [&](const PastedRun& run) { return isLoneByteOfNoWord(bytes, run); })) {
        return "windows-1252";
    }
    if (std::all_of(runs.begin(), runs.end(),
                    [&](const PastedRun& run) { return isWindowsPunctuation(bytes, run); })) {
        const auto punctuation = pastedSample(bytes, runs);
        return fewestFaultsPage(bytes, punctuation, legacyEncoding({punctuation, punctuation}),
                                "windows-1252");
    }
    const auto sample = pastedSample(bytes, runs);
    if (holdsOnlyUnitSigns(sample)) {
        return "windows-1252";
    }
    const char* detectorGuess = legacyEncoding({sample, sample});
    const char* named = pageTheRunsName(bytes, runs, detectorGuess);
    if (named != detectorGuess || isPageOfOtherLetters(named)) {
        return multiBytePageOfWholeRuns(bytes, runs, named);
    }
    return multiBytePageOfWholeRuns(
        bytes, runs, dosCyrillicInstead(sample, fewestFaultsPage(bytes, sample, detectorGuess)));
}

// A conversion from a multi-byte page fed a run a part at a time, which tells whether the bytes
// fed so far end inside a character; each byte is read once.
class CharacterEnds {
  public:
    explicit CharacterEnds(const char* page) : converter_(open(page)) {}

    // Starts a run anew.
    void reset() {
        if (converter_) {
            ucnv_resetToUnicode(converter_.get());
        }
    }

    // Feeds the next bytes of the run: false when they hold what the page does not convert.
    bool feed(std::string_view bytes) {
        if (!converter_) {
            return false;
        }
        countConverted(bytes.size());
        const char* source = bytes.data();
        const char* sourceLimit = bytes.data() + bytes.size();
        while (true) {
            UErrorCode status = U_ZERO_ERROR;
            UChar* target = buffer_.data();
            ucnv_toUnicode(converter_.get(), &target, buffer_.data() + buffer_.size(), &source,
                           sourceLimit, nullptr, 0, &status);
            if (status != U_BUFFER_OVERFLOW_ERROR) {
                return U_SUCCESS(status);
            }
        }
    }

    // Whether the bytes fed end inside a character.
    bool insideCharacter() const {
        if (!converter_) {
            return false;
        }
        UErrorCode status = U_ZERO_ERROR;
        return ucnv_toUCountPending(converter_.get(), &status) > 0;
    }

  private:
    static ConverterPtr open(const char* page) {
        UErrorCode status = U_ZERO_ERROR;
        ConverterPtr converter(ucnv_open(page, &status), ucnv_close);
        ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                            &status);
        return U_SUCCESS(status) ? std::move(converter) : ConverterPtr(nullptr, ucnv_close);
    }

    ConverterPtr converter_;
    std::array<UChar, 1024> buffer_{};
};

// The runs of a multi-byte page taken whole: a run whose last byte begins a character takes the
// byte after it (an ASCII second byte, "ソ" is 0x83 0x5C in Shift_JIS) and the run after that
// byte, so the characters of a pasted line are read together, the UTF-8 its bytes make by chance
// among them. A run takes no white space (no second byte is one) and no byte the page does not
// read as the second of the character: what a space or a line break separates from the pasted
// bytes stays as written. The run is fed to one conversion as it grows, so each byte is read
// once however many times it grows.
std::vector<PastedRun> wholeCharacterRuns(std::string_view bytes,
                                          const std::vector<PastedRun>& runs, const char* page,
                                          const std::stop_token& stop) {
    std::vector<PastedRun> whole;
    CharacterEnds ends(page);
    StopPoll poll(stop);
    for (auto run : runs) {
        if (!whole.empty() && run.begin < whole.back().end) {
            continue;
        }
        poll.passed(run.end - run.begin);
        ends.reset();
        bool converts = ends.feed(bytes.substr(run.begin, run.end - run.begin));
        while (converts && ends.insideCharacter() && run.end < bytes.size() &&
               !isAsciiSpace(bytes[run.end]) && ends.feed(bytes.substr(run.end, 1))) {
            ++run.end;
            auto next = run.end;
            while (next < bytes.size() && static_cast<unsigned char>(bytes[next]) >= 0x80) {
                ++next;
            }
            poll.passed(next - run.end + 1);
            converts = ends.feed(bytes.substr(run.end, next - run.end));
            run.end = next;
        }
        whole.push_back(run);
    }
    return whole;
}

// The UTF-8 characters a run begins and ends with before its first ill-formed sequence and after
// its last (their lengths in bytes, up to four of each).
std::pair<std::vector<std::size_t>, std::vector<std::size_t>> edgeCharacters(std::string_view run) {
    constexpr std::size_t kMost = 4;
    std::vector<std::size_t> leading;
    std::vector<std::size_t> trailing;
    bool leadingGoesOn = true;
    std::size_t sequences = 0;
    // Only the last few characters are kept as the walk goes, not one entry for each of a long
    // run's.
    forEachUtf8Character(run, [&](std::size_t, const Utf8Character& character) {
        ++sequences;
        const bool utf8AboveAscii = character.c >= 0x80;
        leadingGoesOn = leadingGoesOn && utf8AboveAscii;
        if (leadingGoesOn && leading.size() < kMost) {
            leading.push_back(character.length);
        }
        if (!utf8AboveAscii) {
            trailing.clear();
            return;
        }
        trailing.push_back(character.length);
        if (trailing.size() > kMost) {
            trailing.erase(trailing.begin());
        }
    });
    std::reverse(trailing.begin(), trailing.end());
    if (leading.size() == sequences) {
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
    bool punctuationAtEdge = false;
    forEachUtf8Character(word, [&](std::size_t at, const Utf8Character& character) {
        if (character.c >= 0x80) {
            wellFormed += character.length;
            utf8 += word.substr(at, character.length);
        }
        if (character.wellFormed()) {
            return true;
        }
        illFormed += character.length;
        if (isPastedApostrophe(word, at, true)) {
            punctuationAtEdge = true;
            return false;
        }
        if (at > 0 && at + character.length < word.size()) {
            return true;
        }
        const auto read = toUtf8(word.substr(at, character.length), page, OnInvalid::replace);
        if (read && !read->empty()) {
            const auto first = utf8CharacterAt(*read, 0).c;
            if (u_ispunct(first) != 0 ||
                kWindowsPunctuationBytes.find(word[at]) != std::string_view::npos) {
                punctuationAtEdge = true;
                return false;
            }
        }
        return true;
    });
    return !punctuationAtEdge && illFormed > 0 && wellFormed >= 2 * illFormed && readsAsText(utf8);
}

// Bytes of a pasted run read in their page, what it assigns nothing to as U+FFFD.
std::string inPageText(std::string_view bytes, const char* page, const std::stop_token& stop) {
    std::string text;
    if (auto read =
            composed(toUtf8(bytes, page, OnInvalid::replace, CutEnd::asInvalid, stop), stop)) {
        appendWithoutC1Controls(text, *read);
    } else {
        text = text::toValidUtf8(bytes);
    }
    return text;
}

// Whether a pasted run in a page of one byte to a character that holds UTF-8 beside its
// ill-formed bytes is the page's whole: two or three bytes of a word in the page make a UTF-8
// character by chance ("؟" is two bytes of cp852's "Děčín"), which neither the rule for stray
// bytes nor the run's parts tell from a character the text wrote ("für\xFF" is UTF-8 with a
// stray byte, "\x84Über" a quotation mark pasted before a UTF-8 word). The letter statistics
// decide, with the text's own words before the word the run stands in (`prices` makes their
// prices when first called): the word with the run's UTF-8 as written, priced in any language
// (UTF-8 writes them all), against the word with those bytes read in the page, priced in its
// languages, the run's ill-formed bytes (read in the page either way) as breaks in both. The
// page's reading is taken when clearly likelier (`kLikelierMargin`): a UTF-8 letter of the
// text's language beside a stray byte stays as written.
template <typename Prices>
bool isWholeInPage(std::string_view run, std::string_view word, const char* page, Prices&& prices,
                   const std::stop_token& stop) {
    const auto reading = readAsUtf8(run);
    if (reading.characters == 0 || reading.illFormed == 0) {
        return false;
    }
    std::string written;
    std::string inPage;
    for (const auto& part : partsOf(run)) {
        written += part.wellFormed ? std::string(part.bytes) : std::string(" ");
        inPage += part.wellFormed ? inPageText(part.bytes, page, stop) : std::string(" ");
    }
    const auto before = static_cast<std::size_t>(run.data() - word.data());
    const auto inWord = [&](const std::string& middle) {
        return text::toValidUtf8(word.substr(0, before)) + middle +
               text::toValidUtf8(word.substr(before + run.size()));
    };
    const LetterPrices& own = prices();
    const auto pageCost = own.inPage(inWord(inPage), page);
    return pageCost && *pageCost + kLikelierMargin < own.inAnyLanguage(inWord(written));
}

// A pasted run as text. In a page of two bytes to a character the run is read whole, but for
// UTF-8 characters at its edges when a reading without them is more plausible (on a tie
// the page reads them: GBK's "路" is UTF-8's "·"). In a page of one
// byte its ill-formed parts are read in the page and its well-formed parts stay UTF-8 (a UTF-8
// word between pasted quotation marks), but in a page of other letters than Latin, where a
// pasted word may be UTF-8 in part by chance ("Пётр" in windows-1251 begins with UTF-8's "ϸ"),
// when the page reads such a part with the parts beside it more plausibly.
std::string pastedRunText(std::string_view run, std::string_view word, const char* page, bool latin,
                          bool multiByte, const std::stop_token& stop) {
    if (isStrayInUtf8(word, page)) {
        return text::toValidUtf8(run);
    }
    const auto inPage = [&](std::string_view bytes) { return inPageText(bytes, page, stop); };
    if (multiByte) {
        const auto read = [&](std::size_t lead, std::size_t trail) -> std::optional<std::string> {
            throwIfStopRequested(stop);
            const auto middle = toUtf8(run.substr(lead, run.size() - lead - trail), page,
                                       OnInvalid::fail, CutEnd::asInvalid, stop);
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
                    if (!best || score > *best) {
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
            if (read && plausibility(std::string(before).append(*read).append(after)) >
                            plausibility(std::string(before).append(readings[i]).append(after))) {
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
    if (static_cast<unsigned char>(text[at]) < 0x80) {
        return isAsciiLetterOrDigit(text[at]) ? 1 : 0;
    }
    const auto character = utf8CharacterAt(text, at);
    return !character.wellFormed() ? 1 : (isPartOfWord(character.c) ? character.length : 0);
}

// The same for the character that ends before `at`: a well-formed character that ends there,
// else the byte before it (ill-formed, or ASCII).
std::size_t wordCharacterBefore(std::string_view text, std::size_t at) {
    for (std::size_t back = 2; back <= std::min<std::size_t>(U8_MAX_LENGTH, at); ++back) {
        const auto character = utf8CharacterAt(text.substr(0, at), at - back);
        if (character.wellFormed() && character.length == back) {
            return isPartOfWord(character.c) ? back : 0;
        }
    }
    return wordCharacterAt(text, at - 1) > 0 ? 1 : 0;
}

// The word a run stands in: the run with the letters, digits, marks and ill-formed bytes beside
// it, up to white space, punctuation or UTF-8 that is neither letter nor mark, and at most 64
// bytes on either side (a longer stretch is no word, and a walk to its ends at every run of it
// would cost the square of its length).
std::string_view wordOf(std::string_view bytes, const PastedRun& run) {
    constexpr std::size_t kReach = 64;
    auto begin = run.begin;
    while (begin > 0 && run.begin - begin < kReach) {
        const auto length = wordCharacterBefore(bytes, begin);
        if (length == 0) {
            break;
        }
        begin -= length;
    }
    auto end = run.end;
    while (end < bytes.size() && end - run.end < kReach) {
        const auto length = wordCharacterAt(bytes, end);
        if (length == 0) {
            break;
        }
        end += length;
    }
    return bytes.substr(begin, end - begin);
}

// The runs of a mostly UTF-8 text that were pasted: those with ill-formed sequences, and, read in
// a page of one byte to a character, a word that is UTF-8 whole by chance: one that reads as no
// text and holds letters of a script the text's own UTF-8 writes none of (cp866's "только" is
// UTF-8's "⮫쪮", an arrow and a Hangul syllable in a Russian text). The text's own signs,
// symbols, arrows and emoji are no such word, nor are its letters: they stay as written.
struct PastedRuns {
    std::vector<PastedRun> illFormed;
    std::vector<PastedRun> byChance;
};

PastedRuns pastedRuns(std::string_view bytes, const std::stop_token& stop) {
    PastedRuns pasted;
    std::vector<UScriptCode> ownScripts;
    std::vector<std::pair<PastedRun, std::vector<UScriptCode>>> notText;
    forEachHighRun(bytes, stop,
                   [&](std::size_t begin, std::size_t end, std::size_t, std::size_t illFormed) {
                       if (illFormed > 0) {
                           pasted.illFormed.push_back({begin, end});
                           return;
                       }
                       auto reading = readUtf8Run(bytes.substr(begin, end - begin));
                       if (reading.text) {
                           for (const auto script : reading.scripts) {
                               if (std::find(ownScripts.begin(), ownScripts.end(), script) ==
                                   ownScripts.end()) {
                                   ownScripts.push_back(script);
                               }
                           }
                       } else if (!reading.scripts.empty()) {
                           notText.emplace_back(PastedRun{begin, end}, std::move(reading.scripts));
                       }
                   });
    for (const auto& [run, scripts] : notText) {
        if (std::any_of(scripts.begin(), scripts.end(), [&](UScriptCode script) {
                return std::find(ownScripts.begin(), ownScripts.end(), script) == ownScripts.end();
            })) {
            pasted.byChance.push_back(run);
        }
    }
    return pasted;
}

// A text that is mostly UTF-8, read as UTF-8 but for the runs of bytes pasted into it from a
// text in a legacy code page, which are read in the page their own bytes name
// (`pastedRunsEncoding`): two windows-1252 words in a French text, Windows quotation marks
// around a UTF-8 word, a line of Shift_JIS in a Japanese text, twenty windows-1252 rows after
// two hundred UTF-8 rows of a CSV file. What no page is guessed for reads as U+FFFD, and so does
// a character the text ends inside.
std::string mixedUtf8Text(std::string_view bytes, const std::stop_token& stop) {
    const auto cut = cutUtf8Tail(bytes);
    bytes.remove_suffix(cut);
    auto [runs, byChance] = pastedRuns(bytes, stop);
    const char* page = runs.empty() ? nullptr : pastedRunsEncoding(bytes, runs);
    throwIfStopRequested(stop);
    const bool multiByte = page != nullptr && isMultiByte(page);
    if (page != nullptr && !multiByte && !byChance.empty()) {
        runs.insert(runs.end(), byChance.begin(), byChance.end());
        std::sort(runs.begin(), runs.end(),
                  [](const PastedRun& a, const PastedRun& b) { return a.begin < b.begin; });
    }
    const bool latin =
        page != nullptr && (isOneOf(std::string_view(page), kLatinPages) ||
                            std::find(kWesternPages.begin(), kWesternPages.end(),
                                      std::string_view(page)) != kWesternPages.end());
    if (multiByte) {
        runs = wholeCharacterRuns(bytes, runs, page, stop);
    }
    // Room for the pasted runs at three bytes of UTF-8 a byte at most (Windows punctuation,
    // Thai; a page of two bytes to a character makes fewer), so the text is written without a
    // second copy: a text with a tenth of its lines pasted peaks near its size twice, not thrice.
    std::size_t pastedBytes = 0;
    for (const auto& run : runs) {
        pastedBytes += run.end - run.begin;
    }
    std::string out;
    out.reserve(bytes.size() + 2 * pastedBytes + 3);
    // The letter statistics' prices after the text's own words, made when a run is first weighed.
    std::optional<LetterPrices> prices;
    const auto ownPrices = [&]() -> const LetterPrices& {
        if (!prices) {
            prices.emplace(ownUtf8Words(bytes));
        }
        return *prices;
    };
    StopPoll poll(stop);
    std::size_t at = 0;
    for (const auto& run : runs) {
        poll.passed(run.end - at);
        out += bytes.substr(at, run.begin - at);
        const auto pasted = bytes.substr(run.begin, run.end - run.begin);
        if (page == nullptr) {
            out += text::toValidUtf8(pasted);
        } else if (const auto word = wordOf(bytes, run);
                   !multiByte && isWholeInPage(pasted, word, page, ownPrices, stop)) {
            out += inPageText(pasted, page, stop);
        } else {
            out += pastedRunText(pasted, word, page, latin, multiByte, stop);
        }
        at = run.end;
    }
    out += bytes.substr(at);
    if (cut > 0) {
        out += "\xEF\xBF\xBD";
    }
    return out;
}

// Where the ASCII word around a run of bytes above ASCII begins and ends: its ASCII bytes that
// are no white space on either side, up to 64 of each (no more is a word).
std::pair<std::size_t, std::size_t> asciiWordAround(std::string_view bytes, const PastedRun& run) {
    constexpr std::size_t kReach = 64;
    const auto isWordByte = [&](std::size_t at) {
        return static_cast<unsigned char>(bytes[at]) < 0x80 && !isAsciiSpace(bytes[at]);
    };
    auto begin = run.begin;
    while (begin > 0 && run.begin - begin < kReach && isWordByte(begin - 1)) {
        --begin;
    }
    auto end = run.end;
    while (end < bytes.size() && end - run.end < kReach && isWordByte(end)) {
        ++end;
    }
    return {begin, end};
}

// Whether a run of legacy text that is well-formed UTF-8 whole was pasted from UTF-8: in a page
// of two bytes to a character it holds two characters of three bytes or one of four (an emoji;
// such a page makes those by chance about once in two thousand and five hundred runs of as many
// bytes, but reads them as letters of its own, "东京" as GBK's "涓滀含", "👍" as "馃憤"; a page
// of one byte makes them often, cp866's "только" is UTF-8's "⮫쪮"), or its word reads
// more plausibly with the run as UTF-8 than in the page. The page reads the run with the ASCII
// after it (a second byte of a page of two bytes to a character may be ASCII), what it does not
// convert as U+FFFD.
// Whether UTF-8 holds two characters of three bytes or one of four, which a page of two bytes to a
// character makes by chance about once in two thousand and five hundred runs of as many bytes.
bool holdsLongUtf8Characters(std::string_view utf8) {
    std::size_t longCharacters = 0;
    forEachUtf8Character(utf8, [&](std::size_t, const Utf8Character& character) {
        longCharacters += character.length >= 3 ? character.length - 2 : 0;
    });
    return longCharacters >= 2;
}

// Whether UTF-8 holds a character of three bytes or more: a sign, a symbol, an emoji or a letter
// of Chinese, Japanese or Korean, which a page of one byte to a character makes by chance only
// from a small letter and two signs side by side.
bool holdsCharacterOfThreeBytes(std::string_view utf8) {
    bool found = false;
    forEachUtf8Character(utf8, [&](std::size_t, const Utf8Character& character) {
        found = character.wellFormed() && character.length >= 3;
        return !found;
    });
    return found;
}

bool isPastedUtf8(std::string_view bytes, const PastedRun& run, const char* page, bool multiByte,
                  const std::stop_token& stop) {
    if (multiByte && holdsLongUtf8Characters(bytes.substr(run.begin, run.end - run.begin))) {
        return true;
    }
    const auto [begin, end] = asciiWordAround(bytes, run);
    const auto before = bytes.substr(begin, run.begin - begin);
    const auto after = bytes.substr(run.end, end - run.end);
    const auto inPage = toUtf8(bytes.substr(run.begin, end - run.begin), page, OnInvalid::replace,
                               CutEnd::replaced, stop);
    if (!inPage) {
        return true;
    }
    const auto asUtf8 =
        std::string(before).append(bytes.substr(run.begin, run.end - run.begin)).append(after);
    const auto asPage = std::string(before).append(*inPage);
    // In a page of one byte to a character, where the statistics price its languages, the
    // letters decide: the page reads UTF-8's sign as a letter and two signs ("≈" as
    // windows-1251's "в‰€"), the UTF-8 reading of a legacy word is no language's ("⮫쪮").
    if (!multiByte) {
        const LetterPrices prices({});
        if (const auto pageCost = prices.inPage(asPage, page)) {
            return prices.inAnyLanguage(asUtf8) + kLikelierMargin < *pageCost;
        }
    }
    return plausibility(asUtf8) > plausibility(asPage);
}

// Adds to `pasted` the UTF-8 a run of legacy bytes begins or ends with, pasted with no space
// between (the second half of a line pasted from UTF-8 after the first in the page): the
// well-formed characters at its start or its end when they hold long ones
// (`holdsLongUtf8Characters`) and the page converts the rest of the run up to them.
void gluedUtf8(std::string_view bytes, const PastedRun& run, const char* page,
               std::vector<PastedRun>& pasted) {
    const auto text = bytes.substr(run.begin, run.end - run.begin);
    // The characters of the run: where each begins, and whether it is well-formed.
    std::vector<std::pair<std::size_t, bool>> characters;
    forEachUtf8Character(text, [&](std::size_t at, const Utf8Character& character) {
        characters.emplace_back(at, character.wellFormed());
    });
    std::size_t leading = 0;
    while (leading < characters.size() && characters[leading].second) {
        ++leading;
    }
    std::size_t trailing = characters.size();
    while (trailing > 0 && characters[trailing - 1].second) {
        --trailing;
    }
    const auto converts = [&](std::string_view part, CutEnd cutEnd) {
        return toUtf8(part, page, OnInvalid::fail, cutEnd).has_value();
    };
    std::size_t legacyFrom = 0;
    if (leading > 0 && leading < characters.size()) {
        const auto cut = characters[leading].first;
        if (holdsLongUtf8Characters(text.substr(0, cut)) &&
            converts(text.substr(cut), CutEnd::dropped)) {
            pasted.push_back({run.begin, run.begin + cut});
            legacyFrom = cut;
        }
    }
    // Of the first few places the UTF-8 at the end may start at, the one whose reading is the
    // most plausible (EUC-JP's "予" is UTF-8's "ͽ": the first place is not always the right one).
    constexpr std::size_t kPlaces = 4;
    std::optional<std::size_t> best;
    long bestScore = 0;
    for (auto i = std::max(trailing, leading);
         i < characters.size() && i < std::max(trailing, leading) + kPlaces; ++i) {
        const auto cut = characters[i].first;
        if (cut <= legacyFrom || !holdsLongUtf8Characters(text.substr(cut))) {
            break;
        }
        auto legacy = toUtf8(text.substr(legacyFrom, cut - legacyFrom), page, OnInvalid::fail,
                             CutEnd::asInvalid);
        if (!legacy) {
            continue;
        }
        const auto score = plausibility(legacy->append(text.substr(cut)));
        if (!best || score > bestScore) {
            best = cut;
            bestScore = score;
        }
    }
    if (best) {
        pasted.push_back({run.begin + *best, run.end});
    }
}

std::optional<std::string> legacyTextWithUtf8(std::string_view bytes, const char* page,
                                              const std::stop_token& stop) {
    const bool multiByte = isMultiByte(page);
    std::vector<PastedRun> pasted;
    forEachHighRun(
        bytes, stop,
        [&](std::size_t begin, std::size_t end, std::size_t characters, std::size_t illFormed) {
            const auto run = bytes.substr(begin, end - begin);
            if (illFormed == 0 && characters > 0 &&
                (multiByte || holdsCharacterOfThreeBytes(run)) &&
                isPastedUtf8(bytes, {begin, end}, page, multiByte, stop)) {
                pasted.push_back({begin, end});
            } else if (multiByte && illFormed > 0 && characters > 0) {
                gluedUtf8(bytes, {begin, end}, page, pasted);
            }
        });
    if (pasted.empty()) {
        return std::nullopt;
    }
    // The legacy parts are read one after another into the result, each composed apart (no
    // character composes across a pasted run).
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    const auto appendInPage = [&](std::string_view part, CutEnd cutEnd) {
        if (part.empty()) {
            return;
        }
        auto read = composed(toUtf8(part, page, OnInvalid::replace, cutEnd, stop), stop);
        out += read ? *read : text::toValidUtf8(part);
    };
    std::size_t at = 0;
    for (const auto& run : pasted) {
        throwIfStopRequested(stop);
        appendInPage(bytes.substr(at, run.begin - at), CutEnd::asInvalid);
        out += bytes.substr(run.begin, run.end - run.begin);
        at = run.end;
    }
    appendInPage(bytes.substr(at), CutEnd::replaced);
    return out;
}

}  // namespace vask::decoding
