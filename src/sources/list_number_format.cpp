#include "sources/list_number_format.h"

#include <unicode/locid.h>
#include <unicode/rbnf.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ures.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sources/decoding/text_decoding.h"

namespace vask {
namespace {

// The symbols of a counter style, written one after another with a space between (a symbol may be
// more than one character: "अं").
std::vector<std::string_view> symbolsOf(std::string_view list) {
    std::vector<std::string_view> symbols;
    std::size_t at = 0;
    while (at < list.size()) {
        const auto end = std::min(list.find(' ', at), list.size());
        if (end > at) {
            symbols.push_back(list.substr(at, end - at));
        }
        at = end + 1;
    }
    return symbols;
}

// The low end of a range that has none.
constexpr long kNoLow = std::numeric_limits<long>::min();

struct Style;
using Writer = std::string (*)(long count, const Style& style);

// One way of writing list numbers, under the names each vocabulary gives it: `name` is Word's
// w:numFmt (or a name of our own where Word has none), `odf` the style:num-format LibreOffice
// writes, `css` the list-style-type. Counts outside [low, high] read in decimal digits, and so do
// counts below 1 under the Word and ODF names, as LibreOffice shows a list that starts at 0.
struct Style {
    std::string_view name;
    std::string_view odf;
    std::string_view css;
    Writer write;
    // The symbols the writer takes: digits, letters, or a locale and an ICU rule set ("zh
    // %spellout-cardinal").
    std::string_view symbols = {};
    // Letters after the first of a word (LibreOffice's capital Cyrillic letters go on in small
    // ones: "Аа").
    std::string_view rest = {};
    long low = 1;
    long high = kNoLimit;
    // The symbols and the letters after the first, split once.
    std::vector<std::string_view> symbolList = {};
    std::vector<std::string_view> restList = {};
    static constexpr long kNoLimit = std::numeric_limits<long>::max();
};

// The count's digits in base `symbols.size()`, after a minus sign below zero (CSS's numeric
// system), at least `width` digits.
std::string positional(long count, const std::vector<std::string_view>& symbols,
                       std::size_t width) {
    const auto base = static_cast<unsigned long>(symbols.size());
    auto left =
        count < 0 ? 0UL - static_cast<unsigned long>(count) : static_cast<unsigned long>(count);
    std::vector<std::string_view> digits;
    do {
        digits.push_back(symbols[left % base]);
        left /= base;
    } while (left > 0);
    while (digits.size() < width) {
        digits.push_back(symbols[0]);
    }
    std::string out = count < 0 ? "-" : "";
    for (auto at = digits.size(); at-- > 0;) {
        out += digits[at];
    }
    return out;
}

std::string numeric(long count, const Style& style) {
    return positional(count, style.symbolList, 1);
}

std::string zeroPadded(long count, const Style& style) {
    return positional(count, style.symbolList, 2);
}

// LibreOffice's numbers padded to three, four and five digits.
std::string zeroPadded3(long count, const Style& style) {
    return positional(count, style.symbolList, 3);
}
std::string zeroPadded4(long count, const Style& style) {
    return positional(count, style.symbolList, 4);
}
std::string zeroPadded5(long count, const Style& style) {
    return positional(count, style.symbolList, 5);
}

// Letters counted on past the last as digits are ("z", "aa", "ab"): the count in bijective base
// of the alphabet's size; the letters after the first from `rest` when it is given.
std::string alphabetic(long count, const Style& style) {
    const auto& first = style.symbolList;
    const auto& rest = style.rest.empty() ? first : style.restList;
    const auto size = static_cast<long>(first.size());
    // No count a long holds takes more letters than this, in an alphabet of two or more.
    std::array<std::size_t, 64> letters{};
    std::size_t used = 0;
    for (auto left = count; left > 0 && used < letters.size(); left = (left - 1) / size) {
        letters[used++] = static_cast<std::size_t>((left - 1) % size);
    }
    std::string out;
    for (auto at = used; at-- > 0;) {
        out += (at + 1 == used ? first : rest)[letters[at]];
    }
    return out;
}

// A letter repeated once more for each round past the last, as Word counts past "z" (27 is
// "aa"); the repeats from `rest` when it is given.
std::string repeating(long count, const Style& style) {
    constexpr long kMostRepeats = 30;
    const auto& first = style.symbolList;
    const auto& rest = style.rest.empty() ? first : style.restList;
    const auto size = static_cast<long>(first.size());
    if ((count - 1) / size >= kMostRepeats) {
        return std::to_string(count);
    }
    const auto index = static_cast<std::size_t>((count - 1) % size);
    std::string out(first[index]);
    for (long i = 0; i < (count - 1) / size; ++i) {
        out += rest[index];
    }
    return out;
}

// The symbols in turn, over again past the last.
std::string cyclic(long count, const Style& style) {
    const auto& symbols = style.symbolList;
    const auto size = static_cast<long>(symbols.size());
    return std::string(symbols[static_cast<std::size_t>(((count - 1) % size + size) % size)]);
}

// One symbol for each count from 1, decimal digits past the last.
std::string fixed(long count, const Style& style) {
    const auto& symbols = style.symbolList;
    if (count < 1 || static_cast<std::size_t>(count) > symbols.size()) {
        return std::to_string(count);
    }
    return std::string(symbols[static_cast<std::size_t>(count - 1)]);
}

// What a number formatter's rules are: words (spelled out), numbering systems' symbols, ordinal
// digits ("21st"), or rules of our own for a language (kOwnRules).
enum class RuleKind { spellout, numbering, ordinal, own };

// Rules of our own for the numbers of a language as LibreOffice writes them, where ICU has none
// or writes other ones, masculine as Word writes a list's; the words to 1999, then digits and a
// full stop: Polish and Czech ordinal words ("dwudziesty pierwszy", "dvacátý první"), Czech
// counting words ("dvacet jedna", where ICU counts "dvacet jeden"), Danish ordinal words with
// "en" in compounds ("enogtyvende", where ICU writes "etogtyvende"), Ukrainian ordinal words
// and digits ("двадцять перший", "21-й"), Russian ordinal digits ("21-й", where ICU writes
// "21.") and Greek ones ("21ος", "20ός").
constexpr std::pair<std::string_view, std::string_view> kOwnRules[] = {
    {"pl",
     "%spellout-ordinal: -x: minus >>; x.x: =#,##0.#=; 0: zerowy; 1: pierwszy; 2: drugi; "
     "3: trzeci; 4: czwarty; 5: piąty; 6: szósty; 7: siódmy; 8: ósmy; 9: dziewiąty; "
     "10: dziesiąty; 11: jedenasty; 12: dwunasty; 13: trzynasty; 14: czternasty; "
     "15: piętnasty; 16: szesnasty; 17: siedemnasty; 18: osiemnasty; 19: dziewiętnasty; "
     "20: dwudziesty[ >>]; 30: trzydziesty[ >>]; 40: czterdziesty[ >>]; "
     "50: pięćdziesiąty[ >>]; 60: sześćdziesiąty[ >>]; 70: siedemdziesiąty[ >>]; "
     "80: osiemdziesiąty[ >>]; 90: dziewięćdziesiąty[ >>]; 100: setny; 101: sto >>; "
     "200: dwusetny; 201: dwieście >>; 300: trzechsetny; 301: trzysta >>; "
     "400: czterechsetny; 401: czterysta >>; 500: pięćsetny; 501: pięćset >>; "
     "600: sześćsetny; 601: sześćset >>; 700: siedemsetny; 701: siedemset >>; "
     "800: osiemsetny; 801: osiemset >>; 900: dziewięćsetny; 901: dziewięćset >>; "
     "1000: tysięczny; 1001: tysiąc >>; 2000: =0=.;"},
    {"cs",
     "%spellout-numbering: -x: minus >>; x.x: =#,##0.#=; 0: nula; 1: jedna; 2: dva; 3: tři; "
     "4: čtyři; 5: pět; 6: šest; 7: sedm; 8: osm; 9: devět; 10: deset; 11: jedenáct; "
     "12: dvanáct; 13: třináct; 14: čtrnáct; 15: patnáct; 16: šestnáct; 17: sedmnáct; "
     "18: osmnáct; 19: devatenáct; 20: dvacet[ >>]; 30: třicet[ >>]; 40: čtyřicet[ >>]; "
     "50: padesát[ >>]; 60: šedesát[ >>]; 70: sedmdesát[ >>]; 80: osmdesát[ >>]; "
     "90: devadesát[ >>]; 100: sto[ >>]; 200: dvě stě[ >>]; 300: << sta[ >>]; "
     "500: << set[ >>]; 1000: tisíc[ >>]; 2000: << tisíce[ >>]; 5000: << tisíc[ >>]; "
     "1000000: milión[ >>]; 2000000: << milióny[ >>]; 5000000: << miliónů[ >>]; "
     "1000000000: =#,##0=; "
     "%spellout-ordinal: -x: minus >>; x.x: =#,##0.#=; 0: nultý; 1: první; 2: druhý; "
     "3: třetí; 4: čtvrtý; 5: pátý; 6: šestý; 7: sedmý; 8: osmý; 9: devátý; 10: desátý; "
     "11: jedenáctý; 12: dvanáctý; 13: třináctý; 14: čtrnáctý; 15: patnáctý; 16: šestnáctý; "
     "17: sedmnáctý; 18: osmnáctý; 19: devatenáctý; 20: dvacátý[ >>]; 30: třicátý[ >>]; "
     "40: čtyřicátý[ >>]; 50: padesátý[ >>]; 60: šedesátý[ >>]; 70: sedmdesátý[ >>]; "
     "80: osmdesátý[ >>]; 90: devadesátý[ >>]; 100: stý[ >>]; 200: dvoustý[ >>]; "
     "300: třístý[ >>]; 400: čtyřstý[ >>]; 500: pětistý[ >>]; 600: šestistý[ >>]; "
     "700: sedmistý[ >>]; 800: osmistý[ >>]; 900: devítistý[ >>]; 1000: tisící[ >>]; "
     "2000: =0=.;"},
    {"da",
     "%spellout-ordinal: -x: minus >>; x.x: =#,##0.#=; 0: nulte; 1: første; 2: anden; "
     "3: tredje; 4: fjerde; 5: femte; 6: sjette; 7: syvende; 8: ottende; 9: niende; "
     "10: tiende; 11: ellevte; 12: tolvte; 13: trettende; 14: fjortende; 15: femtende; "
     "16: sekstende; 17: syttende; 18: attende; 19: nittende; 20: tyvende; "
     "21: >%%ones>ogtyvende; 30: tredivte; 31: >%%ones>ogtredivte; 40: fyrrende; "
     "41: >%%ones>ogfyrrende; 50: halvtredsindstyvende; 51: >%%ones>oghalvtredsindstyvende; "
     "60: tresindstyvende; 61: >%%ones>ogtresindstyvende; 70: halvfjerdsindstyvende; "
     "71: >%%ones>oghalvfjerdsindstyvende; 80: firsindstyvende; "
     "81: >%%ones>ogfirsindstyvende; 90: halvfemsindstyvende; "
     "91: >%%ones>oghalvfemsindstyvende; 100: hundrede>%%after-hundreds>; "
     "200: <%%ones< hundrede>%%after-hundreds>; 1000: tusind>%%after-thousand>; 2000: =0=.; "
     "%%after-hundreds: 0: ; 1: ' og =%spellout-ordinal=; "
     "%%after-thousand: 0: e; 1: ' og =%spellout-ordinal=; 100: ' =%spellout-ordinal=; "
     "%%ones: 0: nul; 1: en; 2: to; 3: tre; 4: fire; 5: fem; 6: seks; 7: syv; 8: otte; 9: ni;"},
    {"uk",
     "%spellout-ordinal: -x: мінус >>; x.x: =#,##0.#=; 0: нульовий; 1: перший; 2: другий; "
     "3: третій; 4: четвертий; 5: пʼятий; 6: шостий; 7: сьомий; 8: восьмий; 9: девʼятий; "
     "10: десятий; 11: одинадцятий; 12: дванадцятий; 13: тринадцятий; 14: чотирнадцятий; "
     "15: пʼятнадцятий; 16: шістнадцятий; 17: сімнадцятий; 18: вісімнадцятий; "
     "19: девʼятнадцятий; 20: двадцятий; 21: двадцять >>; 30: тридцятий; 31: тридцять >>; "
     "40: сороковий; 41: сорок >>; 50: пʼятдесятий; 51: пʼятдесят >>; 60: шістдесятий; "
     "61: шістдесят >>; 70: сімдесятий; 71: сімдесят >>; 80: вісімдесятий; "
     "81: вісімдесят >>; 90: девʼяностий; 91: девʼяносто >>; 100: сотий; 101: сто >>; "
     "200: двохсотий; 201: двісті >>; 300: трьохсотий; 301: триста >>; "
     "400: чотирьохсотий; 401: чотириста >>; 500: пʼятисотий; 501: пʼятсот >>; "
     "600: шестисотий; 601: шістсот >>; 700: семисотий; 701: сімсот >>; "
     "800: восьмисотий; 801: вісімсот >>; 900: девʼятисотий; 901: девʼятсот >>; "
     "1000: тисячний; 1001: тисяча >>; 2000: =0=.; "
     "%digits-ordinal: -x: −>>; 0: =#,##0=-й;"},
    {"ru", "%digits-ordinal: -x: −>>; 0: =#,##0=-й;"},
    {"el",
     "%digits-ordinal: -x: −>>; 0: =#,##0==%%ending=; %%ending: 0: ός; 1: ος; 20: >>; 100: >>;"},
};

// Our own rules for the language of the locale ICU resolved (kOwnRules); empty for none.
std::string_view ownRules(std::string_view resolved) {
    const auto language = resolved.substr(0, resolved.find('_'));
    const auto own = std::find_if(std::begin(kOwnRules), std::end(kOwnRules),
                                  [&](const auto& rules) { return rules.first == language; });
    return own != std::end(kOwnRules) ? own->second : std::string_view();
}

// A formatter of `kind` for the locale `resolved`; null where there are no such rules.
std::unique_ptr<icu::RuleBasedNumberFormat> madeFormatter(const std::string& resolved,
                                                          RuleKind kind) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RuleBasedNumberFormat> format;
    if (kind == RuleKind::own) {
        const auto own = ownRules(resolved);
        if (own.empty()) {
            return nullptr;
        }
        UParseError error{};
        format = std::make_unique<icu::RuleBasedNumberFormat>(
            icu::UnicodeString::fromUTF8(
                icu::StringPiece(own.data(), static_cast<int32_t>(own.size()))),
            icu::Locale(resolved.c_str()), error, status);
    } else {
        const auto rules = kind == RuleKind::spellout    ? icu::URBNF_SPELLOUT
                           : kind == RuleKind::numbering ? icu::URBNF_NUMBERING_SYSTEM
                                                         : icu::URBNF_ORDINAL;
        format = std::make_unique<icu::RuleBasedNumberFormat>(rules, icu::Locale(resolved.c_str()),
                                                              status);
    }
    return U_SUCCESS(status) ? std::move(format) : nullptr;
}

// The formatters a thread keeps, most recently used first: the one least recently used gives way
// to a new one. Each holds its locale's parsed rules (tens of kilobytes to a few megabytes), so
// they are keyed by the locale ICU finds rules for, which many tags share ("de-DE", "de-AT",
// "de-x-anything" are all "de"), and no more than ListNumberFormat::kMostFormatters are kept: a
// document may name any number of languages, and a list that cycles through more languages than
// are kept would make a formatter for every item.
using ListNumberFormat::kMostFormatters;
struct MadeFormatter {
    std::string key;
    std::unique_ptr<icu::RuleBasedNumberFormat> format;
};
struct Formatters {
    std::vector<MadeFormatter> kept;
    std::size_t made = 0;
};
Formatters& formatters() {
    thread_local Formatters formatters;
    return formatters;
}

// Whether `code` is in ICU's list `codes` (of ISO languages or countries).
bool listed(const char* const* codes, std::string_view code) {
    for (; *codes != nullptr; ++codes) {
        if (code == *codes) {
            return true;
        }
    }
    return false;
}

// The language, script and country of a BCP 47 tag or ICU locale id ("de-DE", "zh_Hant") that
// ICU knows, its private use and extensions left out: ICU keeps what it looks up for each id
// for good, so a document's made-up tags are not passed on to it. "root" for a language it
// does not know.
std::string knownLocale(std::string_view locale) {
    const std::string id(locale);
    // A tag's subtags are parsed as BCP 47 says (ICU reads an ill-formed one and all after as
    // nothing); an id of ICU's own, as ICU reads it.
    UErrorCode status = U_ZERO_ERROR;
    auto parsed = id.find('_') == std::string::npos ? icu::Locale::forLanguageTag(id, status)
                                                    : icu::Locale(id.c_str());
    if (U_FAILURE(status) || parsed.isBogus()) {
        return "root";
    }
    std::string known = parsed.getLanguage();
    if (!listed(icu::Locale::getISOLanguages(), known)) {
        return "root";
    }
    const std::string_view script = parsed.getScript();
    if (!script.empty() &&
        u_getPropertyValueEnum(UCHAR_SCRIPT, parsed.getScript()) != UCHAR_INVALID_CODE) {
        known.append("_").append(script);
    }
    const std::string_view country = parsed.getCountry();
    if (!country.empty() && listed(icu::Locale::getISOCountries(), country)) {
        known.append("_").append(country);
    }
    return known;
}

// The locale whose rules ICU takes for `locale` (a BCP 47 tag or an ICU locale id); empty where
// it finds none.
std::string rulesLocale(std::string_view locale) {
    const auto id = knownLocale(locale);
    UErrorCode status = U_ZERO_ERROR;
    auto* bundle = ures_open(U_ICUDATA_NAME "-rbnf", id.c_str(), &status);
    std::string resolved;
    // A language ICU has no rules for falls back to the process's own, which the document does
    // not write in: it has root's (digits), and the words are English.
    if (status == U_USING_DEFAULT_WARNING) {
        resolved = "root";
    } else if (U_SUCCESS(status)) {
        const char* actual = ures_getLocaleByType(bundle, ULOC_ACTUAL_LOCALE, &status);
        if (U_SUCCESS(status) && actual != nullptr) {
            resolved = *actual == '\0' ? "root" : actual;
        }
    }
    ures_close(bundle);
    return resolved;
}

// rulesLocale, remembered for the tags a thread asked about most recently (a document names a
// few, and asks for each of its list items), twice as many as the formatters kept.
std::string resolvedLocale(std::string_view locale) {
    constexpr std::size_t kMostRemembered = 2 * kMostFormatters;
    constexpr std::size_t kLongestRemembered = 64;
    thread_local std::vector<std::pair<std::string, std::string>> remembered;
    const auto found = std::find_if(remembered.begin(), remembered.end(),
                                    [&](const auto& tag) { return tag.first == locale; });
    if (found != remembered.end()) {
        std::rotate(remembered.begin(), found, found + 1);
        return remembered.front().second;
    }
    auto resolved = rulesLocale(locale);
    if (locale.size() <= kLongestRemembered) {
        if (remembered.size() >= kMostRemembered) {
            remembered.pop_back();
        }
        remembered.emplace(remembered.begin(), std::string(locale), resolved);
    }
    return resolved;
}

// The rule-based number format of a locale and kind of rules, kept as Formatters says.
const icu::RuleBasedNumberFormat* ruleBased(std::string_view locale, RuleKind kind) {
    auto resolved = resolvedLocale(locale);
    if (resolved.empty()) {
        return nullptr;
    }
    auto& cache = formatters();
    const auto key = resolved + "#" + std::to_string(static_cast<int>(kind));
    const auto found = std::find_if(cache.kept.begin(), cache.kept.end(),
                                    [&](const MadeFormatter& made) { return made.key == key; });
    if (found != cache.kept.end()) {
        std::rotate(cache.kept.begin(), found, found + 1);
        return cache.kept.front().format.get();
    }
    auto format = madeFormatter(resolved, kind);
    ++cache.made;
    if (cache.kept.size() >= kMostFormatters) {
        cache.kept.pop_back();
    }
    cache.kept.insert(cache.kept.begin(), MadeFormatter{key, std::move(format)});
    return cache.kept.front().format.get();
}

// The count as rule set `rules` of `format` writes it, without the zero-width spaces Thai words
// are written with and the soft hyphens of German compounds ("Ein­und­zwanzig"); nothing where
// ICU cannot.
std::optional<std::string> withRules(const icu::RuleBasedNumberFormat& format,
                                     const icu::UnicodeString& rules, long count) {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString out;
    icu::FieldPosition position;
    format.format(static_cast<int64_t>(count), rules, out, position, status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    out.findAndReplace(icu::UnicodeString(static_cast<UChar>(0x200B)), icu::UnicodeString());
    out.findAndReplace(icu::UnicodeString(static_cast<UChar>(0x00AD)), icu::UnicodeString());
    std::string utf8;
    return out.toUTF8String(utf8);
}

// The count as an ICU rule set writes it ("zh %spellout-cardinal": "一百零一"; "root
// %armenian-upper"); decimal digits where ICU has no such rules.
std::string icuRules(long count, std::string_view symbols) {
    const auto space = symbols.find(' ');
    const auto locale = symbols.substr(0, space);
    const auto rules = symbols.substr(space + 1);
    const auto* format =
        ruleBased(locale, rules.starts_with("%spellout")         ? RuleKind::spellout
                          : rules.starts_with("%digits-ordinal") ? RuleKind::ordinal
                                                                 : RuleKind::numbering);
    if (format == nullptr) {
        return std::to_string(count);
    }
    return withRules(*format,
                     icu::UnicodeString::fromUTF8(
                         icu::StringPiece(rules.data(), static_cast<int32_t>(rules.size()))),
                     count)
        .value_or(std::to_string(count));
}

std::string ruleBasedNumber(long count, const Style& style) {
    return icuRules(count, style.symbols);
}

// Words with a capital ("Twenty-one", "Second", "Élf"), as the language of `locale` (an ICU
// locale id) writes it: Turkish and Azerbaijani "i" as "İ" ("İki"), a Greek accent kept
// ("Ένα"); by the default rules for no locale.
std::string capitalised(std::string out, const std::string& locale = {}) {
    int32_t at = 0;
    UChar32 first = 0;
    U8_NEXT(out.data(), at, static_cast<int32_t>(out.size()), first);
    if (first <= 0 || u_islower(first) == 0) {
        return out;
    }
    // The first letter in title case (one character may become two: "ǆ" is "ǅ").
    auto capital = icu::UnicodeString(first);
    capital.toTitle(nullptr, locale.empty() ? icu::Locale::getRoot() : icu::Locale(locale.c_str()),
                    U_TITLECASE_NO_LOWERCASE | U_TITLECASE_NO_BREAK_ADJUSTMENT);
    std::string utf8;
    capital.toUTF8String(utf8);
    out.replace(0, static_cast<std::size_t>(at), utf8);
    return out;
}

// Spelled-out words with a capital.
std::string capitalisedWords(long count, const Style& style) {
    return capitalised(icuRules(count, style.symbols));
}

std::string ordinal(long count, const Style&) {
    const auto lastTwo = count % 100;
    const auto last = count % 10;
    const char* suffix = (lastTwo >= 11 && lastTwo <= 13) || last > 3 || last == 0 ? "th"
                         : last == 1                                               ? "st"
                         : last == 2                                               ? "nd"
                                                                                   : "rd";
    return std::to_string(count) + suffix;
}

// A CJK counting system of our own where ICU has none that reads as CSS and Word write it: the
// digits 0 to 9, the signs of ten, hundred and thousand, whether a zero stands for the zeros
// between digits ("一百零一"), whether "1" is written before every unit ("壹拾") or none
// ("十", "百"), and the sign of a negative count.
struct Counting {
    std::string_view digits;
    std::string_view units;
    bool zeroBetween;
    bool oneBeforeUnits;
    std::string_view negative;
};

constexpr Counting kSimplifiedFormal{"零 壹 贰 叁 肆 伍 陆 柒 捌 玖", "拾 佰 仟", true, true, "负"};
constexpr Counting kTraditionalFormal{"零 壹 貳 參 肆 伍 陸 柒 捌 玖", "拾 佰 仟", true, true,
                                      "負"};
constexpr Counting kJapaneseFormal{"零 壱 弐 参 四 伍 六 七 八 九", "拾 百 阡", false, true,
                                   "マイナス"};
constexpr Counting kKoreanHanjaInformal{"零 一 二 三 四 五 六 七 八 九", "十 百 千", false, false,
                                        "마이너스 "};
constexpr Counting kKoreanHanjaFormal{"零 壹 貳 參 四 五 六 七 八 九", "拾 百 仟", false, true,
                                      "마이너스 "};

std::string counted(long count, const Counting& counting) {
    const auto digits = symbolsOf(counting.digits);
    const auto units = symbolsOf(counting.units);
    if (count == 0) {
        return std::string(digits[0]);
    }
    std::string out = count < 0 ? std::string(counting.negative) : std::string();
    const auto value = count < 0 ? -count : count;
    bool zeroPending = false;
    bool written = false;
    for (int place = 3; place >= 0; --place) {
        long power = 1;
        for (int i = 0; i < place; ++i) {
            power *= 10;
        }
        const auto digit = static_cast<std::size_t>((value / power) % 10);
        if (digit == 0) {
            zeroPending = written;
            continue;
        }
        if (zeroPending && counting.zeroBetween) {
            out += digits[0];
        }
        zeroPending = false;
        written = true;
        if (place == 0 || digit != 1 || counting.oneBeforeUnits) {
            out += digits[digit];
        }
        if (place > 0) {
            out += units[static_cast<std::size_t>(place - 1)];
        }
    }
    return out;
}

std::string simplifiedFormal(long count, const Style&) {
    return counted(count, kSimplifiedFormal);
}
std::string traditionalFormal(long count, const Style&) {
    return counted(count, kTraditionalFormal);
}
std::string japaneseFormal(long count, const Style&) {
    return counted(count, kJapaneseFormal);
}
std::string koreanHanjaInformal(long count, const Style&) {
    return counted(count, kKoreanHanjaInformal);
}
std::string koreanHanjaFormal(long count, const Style&) {
    return counted(count, kKoreanHanjaFormal);
}

// Hebrew numerals below a thousand: letters added up ("קכג"), with 15 and 16 written "טו" and
// "טז" as they are read.
std::string hebrewNumerals(long count, const Style&) {
    constexpr std::u32string_view kUnits = U"אבגדהוזחט";
    constexpr std::u32string_view kTensLetters = U"יכלמנסעפצ";
    constexpr std::u32string_view kHundreds = U"קרשת";
    std::string out;
    auto hundreds = count / 100;
    for (; hundreds > 4; hundreds -= 4) {
        decoding::appendUtf8(out, kHundreds[3]);
    }
    if (hundreds > 0) {
        decoding::appendUtf8(out, kHundreds[static_cast<std::size_t>(hundreds - 1)]);
    }
    const auto rest = count % 100;
    if (rest == 15 || rest == 16) {
        decoding::appendUtf8(out, U'ט');
        decoding::appendUtf8(out, rest == 15 ? U'ו' : U'ז');
        return out;
    }
    if (rest >= 10) {
        decoding::appendUtf8(out, kTensLetters[static_cast<std::size_t>(rest / 10 - 1)]);
    }
    if (rest % 10 != 0) {
        decoding::appendUtf8(out, kUnits[static_cast<std::size_t>(rest % 10 - 1)]);
    }
    return out;
}

// Greek numerals as LibreOffice writes them: letters added up, "στ" for 6, thousands after a
// left keraia ("͵α" for 1000).
std::string greekNumerals(long count, const Style& style) {
    const auto& letters = style.symbolList;
    std::string out;
    long power = 1000;
    for (int place = 3; place >= 0; --place, power /= 10) {
        const auto digit = (count / power) % 10;
        if (digit == 0) {
            continue;
        }
        if (place == 3) {
            out += "\u0375";
        }
        out += letters[static_cast<std::size_t>((digit - 1) + 9L * (place % 3))];
    }
    return out;
}

// The sixty-year cycle: a heavenly stem and an earthly branch ("甲子", "乙丑").
std::string sexagenary(long count, const Style&) {
    const auto stems = symbolsOf("甲 乙 丙 丁 戊 己 庚 辛 壬 癸");
    const auto branches = symbolsOf("子 丑 寅 卯 辰 巳 午 未 申 酉 戌 亥");
    return std::string(stems[static_cast<std::size_t>((count - 1) % 10)]) +
           std::string(branches[static_cast<std::size_t>((count - 1) % 12)]);
}

// Korean's native numbers, as LibreOffice writes Word's legal Korean numbering: "하나",
// "열하나", "아흔아홉".
std::string koreanNative(long count, const Style&) {
    const auto units = symbolsOf("하나 둘 셋 넷 다섯 여섯 일곱 여덟 아홉");
    const auto tens = symbolsOf("열 스물 서른 마흔 쉰 예순 일흔 여든 아흔");
    std::string out;
    if (count >= 10) {
        out += tens[static_cast<std::size_t>(count / 10 - 1)];
    }
    if (count % 10 != 0) {
        out += units[static_cast<std::size_t>(count % 10 - 1)];
    }
    return out;
}

std::string inDashes(long count, const Style&) {
    return "- " + std::to_string(count) + " -";
}

std::string dollarText(long count, const Style& style) {
    return capitalisedWords(count, style) + " and 00/100";
}

std::string bahtText(long count, const Style& style) {
    return icuRules(count, style.symbols) + "\u0E1A\u0E32\u0E17\u0E16\u0E49\u0E27\u0E19";
}

constexpr std::string_view kDecimal = "0 1 2 3 4 5 6 7 8 9";
constexpr std::string_view kLatin = "a b c d e f g h i j k l m n o p q r s t u v w x y z";
constexpr std::string_view kLatinUpper = "A B C D E F G H I J K L M N O P Q R S T U V W X Y Z";
// LibreOffice's Russian letters (with "ы", without "ъ", "ь", "ё" and "й"), which it reads
// Word's as too.
constexpr std::string_view kRussian = "а б в г д е ж з и к л м н о п р с т у ф х ц ч ш щ ы э ю я";
constexpr std::string_view kRussianUpper =
    "А Б В Г Д Е Ж З И К Л М Н О П Р С Т У Ф Х Ц Ч Ш Щ Ы Э Ю Я";
constexpr std::string_view kBulgarian = "а б в г д е ж з и к л м н о п р с т у ф х ц ч ш щ ъ ю я";
constexpr std::string_view kBulgarianUpper =
    "А Б В Г Д Е Ж З И К Л М Н О П Р С Т У Ф Х Ц Ч Ш Щ Ъ Ю Я";
constexpr std::string_view kSerbian = "а б в г д ђ е ж з и ј к л љ м н њ о п р с т ћ у ф х ц ч џ ш";
constexpr std::string_view kSerbianUpper =
    "А Б В Г Д Ђ Е Ж З И Ј К Л Љ М Н Њ О П Р С Т Ћ У Ф Х Ц Ч Џ Ш";
constexpr std::string_view kHebrew = "א ב ג ד ה ו ז ח ט י כ ל מ נ ס ע פ צ ק ר ש ת";
// Without the final sigma, as browsers count.
constexpr std::string_view kGreek = "α β γ δ ε ζ η θ ι κ λ μ ν ξ ο π ρ σ τ υ φ χ ψ ω";
constexpr std::string_view kGreekNumerals =
    "α β γ δ ε στ ζ η θ ι κ λ μ ν ξ ο π ϟ ρ σ τ υ φ χ ψ ω ϡ";
constexpr std::string_view kGreekUpperNumerals =
    "Α Β Γ Δ Ε ΣΤ Ζ Η Θ Ι Κ Λ Μ Ν Ξ Ο Π Ϟ Ρ Σ Τ Υ Φ Χ Ψ Ω Ϡ";
constexpr std::string_view kIdeographDigits = "〇 一 二 三 四 五 六 七 八 九";
constexpr std::string_view kKoreanDigits = "영 일 이 삼 사 오 육 칠 팔 구";
constexpr std::string_view kCircled =
    "① ② ③ ④ ⑤ ⑥ ⑦ ⑧ ⑨ ⑩ ⑪ ⑫ ⑬ ⑭ ⑮ ⑯ ⑰ ⑱ ⑲ ⑳ ㉑ ㉒ ㉓ ㉔ ㉕ ㉖ ㉗ ㉘ ㉙ ㉚ ㉛ ㉜ ㉝ ㉞ ㉟ "
    "㊱ ㊲ ㊳ ㊴ ㊵ ㊶ ㊷ ㊸ ㊹ ㊺ ㊻ ㊼ ㊽ ㊾ ㊿";
constexpr std::string_view kParenthesised = "⑴ ⑵ ⑶ ⑷ ⑸ ⑹ ⑺ ⑻ ⑼ ⑽ ⑾ ⑿ ⒀ ⒁ ⒂ ⒃ ⒄ ⒅ ⒆ ⒇";
constexpr std::string_view kFullStopped = "⒈ ⒉ ⒊ ⒋ ⒌ ⒍ ⒎ ⒏ ⒐ ⒑ ⒒ ⒓ ⒔ ⒕ ⒖ ⒗ ⒘ ⒙ ⒚ ⒛";
constexpr std::string_view kHeavenlyStems = "甲 乙 丙 丁 戊 己 庚 辛 壬 癸";
constexpr std::string_view kEarthlyBranches = "子 丑 寅 卯 辰 巳 午 未 申 酉 戌 亥";
// The kana in a-i-u-e-o and in iroha order: as browsers count (with ゐ and ゑ), and as
// LibreOffice does for Word's and its own formats (katakana, full and half width).
constexpr std::string_view kHiragana =
    "あ い う え お か き く け こ さ し す せ そ た ち つ て と な に ぬ ね の は ひ ふ へ ほ ま "
    "み む め も や ゆ よ ら り る れ ろ わ ゐ ゑ を ん";
constexpr std::string_view kHiraganaIroha =
    "い ろ は に ほ へ と ち り ぬ る を わ か よ た れ そ つ ね な ら む う ゐ の お く や ま け "
    "ふ こ え て あ さ き ゆ め み し ゑ ひ も せ す";
constexpr std::string_view kKatakana =
    "ア イ ウ エ オ カ キ ク ケ コ サ シ ス セ ソ タ チ ツ テ ト ナ ニ ヌ ネ ノ ハ ヒ フ ヘ ホ マ "
    "ミ ム メ モ ヤ ユ ヨ ラ リ ル レ ロ ワ ヰ ヱ ヲ ン";
constexpr std::string_view kKatakanaIroha =
    "イ ロ ハ ニ ホ ヘ ト チ リ ヌ ル ヲ ワ カ ヨ タ レ ソ ツ ネ ナ ラ ム ウ ヰ ノ オ ク ヤ マ ケ "
    "フ コ エ テ ア サ キ ユ メ ミ シ ヱ ヒ モ セ ス";
constexpr std::string_view kAiueo =
    "ア イ ウ エ オ カ キ ク ケ コ サ シ ス セ ソ タ チ ツ テ ト ナ ニ ヌ ネ ノ ハ ヒ フ ヘ ホ マ "
    "ミ ム メ モ ヤ ユ ヨ ラ リ ル レ ロ ワ ヲ ン";
constexpr std::string_view kAiueoHalfWidth =
    "ｱ ｲ ｳ ｴ ｵ ｶ ｷ ｸ ｹ ｺ ｻ ｼ ｽ ｾ ｿ ﾀ ﾁ ﾂ ﾃ ﾄ ﾅ ﾆ ﾇ ﾈ ﾉ ﾊ ﾋ ﾌ ﾍ ﾎ ﾏ ﾐ ﾑ ﾒ ﾓ ﾔ ﾕ ﾖ ﾗ ﾘ ﾙ ﾚ ﾛ ﾜ "
    "ｦ ﾝ";
constexpr std::string_view kIroha =
    "イ ロ ハ ニ ホ ヘ ト チ リ ヌ ル ヲ ワ カ ヨ タ レ ソ ツ ネ ナ ラ ム ウ ヰ ノ オ ク ヤ マ ケ "
    "フ コ エ テ ア サ キ ユ メ ミ シ ヱ ヒ モ セ ス ン";
constexpr std::string_view kIrohaHalfWidth =
    "ｲ ﾛ ﾊ ﾆ ﾎ ﾍ ﾄ ﾁ ﾘ ﾇ ﾙ ｦ ﾜ ｶ ﾖ ﾀ ﾚ ｿ ﾂ ﾈ ﾅ ﾗ ﾑ ｳ ヰ ﾉ ｵ ｸ ﾔ ﾏ ｹ ﾌ ｺ ｴ ﾃ ｱ ｻ ｷ ﾕ ﾒ ﾐ ｼ ヱ ﾋ "
    "ﾓ ｾ ｽ ﾝ";
constexpr std::string_view kGanada = "가 나 다 라 마 바 사 아 자 차 카 타 파 하";
constexpr std::string_view kChosung = "ㄱ ㄴ ㄷ ㄹ ㅁ ㅂ ㅅ ㅇ ㅈ ㅊ ㅋ ㅌ ㅍ ㅎ";
constexpr std::string_view kCircledChosung = "㉠ ㉡ ㉢ ㉣ ㉤ ㉥ ㉦ ㉧ ㉨ ㉩ ㉪ ㉫ ㉬ ㉭";
constexpr std::string_view kCircledGanada = "㉮ ㉯ ㉰ ㉱ ㉲ ㉳ ㉴ ㉵ ㉶ ㉷ ㉸ ㉹ ㉺ ㉻";
constexpr std::string_view kArabicAlpha =
    "\u0623 \u0628 \u062A \u062B \u062C \u062D \u062E \u062F \u0630 \u0631 \u0632 \u0633 \u0634 "
    "\u0635 \u0636 \u0637 \u0638 \u0639 \u063A \u0641 \u0642 \u0643 \u0644 \u0645 \u0646 \u0647 "
    "\u0648 \u0649";
constexpr std::string_view kArabicAbjad =
    "\u0627 \u0628 \u062C \u062F \u0647 \u0648 \u0632 \u062D \u0637 \u064A \u0643 \u0644 \u0645 "
    "\u0646 \u0633 \u0639 \u0641 \u0635 \u0642 \u0631 \u0634 \u062A \u062B \u062E \u0630 \u0636 "
    "\u0638 \u063A";
constexpr std::string_view kPersianAlpha =
    "\u0622 \u0628 \u067E \u062A \u062B \u062C \u0686 \u062D \u062E \u062F \u0630 \u0631 \u0632 "
    "\u0698 \u0633 \u0634 \u0635 \u0636 \u0637 \u0638 \u0639 \u0640 \u0641 \u0642 \u06A9 \u06AF "
    "\u0644 \u0645 \u0646 \u0648 \u0647 \u06CC";
constexpr std::string_view kThaiLetters =
    "ก ข ค ง จ ฉ ช ซ ฌ ญ ฎ ฏ ฐ ฑ ฒ ณ ด ต ถ ท ธ น บ ป ผ ฝ พ ฟ ภ ม ย ร ฤ ล ฦ ว ศ ษ ส ห ฬ อ ฮ";
constexpr std::string_view kHindiConsonants =
    "क ख ग घ ङ च छ ज झ ञ ट ठ ड ढ ण त थ द ध न प फ ब भ म य र ल व श ष स ह";
constexpr std::string_view kKhmerLetters =
    "ក ខ គ ឃ ង ច ឆ ជ ឈ ញ ដ ឋ ឌ ឍ ណ ត ថ ទ ធ ន ប ផ ព ភ ម យ រ ល វ ស ហ ឡ អ";
constexpr std::string_view kLaoLetters =
    "ກ ຂ ຄ ງ ຈ ຊ ຍ ດ ຕ ຖ ທ ນ ບ ປ ຜ ຝ ພ ຟ ມ ຢ ຣ ລ ວ ສ ຫ ອ ຮ ຯ ຮ ໜ ໝ";
constexpr std::string_view kMyanmarLetters =
    "က ခ ဂ ဃ င စ ဆ ဇ ဈ ည ဋ ဌ ဍ ဎ ဏ တ ထ ဒ ဓ န ပ ဖ ဗ ဘ မ ယ ရ လ ဝ သ ဟ ဠ အ";
constexpr std::string_view kTibetanLetters =
    "ཀ ཁ ག ང ཅ ཆ ཇ ཉ ཏ ཐ ད ན པ ཕ བ མ ཙ ཚ ཛ ཝ ཞ ཟ འ ཡ ར ལ ཤ ས ཧ ཨ";

// Every format, each once. The W3C's ready-made counter styles give the symbols of those CSS
// predefines; LibreOffice's tables those of Word's and its own formats that CSS has not.
std::vector<Style> table() {
    // clang-format off
    return {
        {"decimal", "1", "decimal", numeric, kDecimal, {}, kNoLow},
        {"decimalHalfWidth", {}, {}, numeric, kDecimal},
        {"decimalZero", "01, 02, 03, ...", "decimal-leading-zero", zeroPadded,
         kDecimal, {}, kNoLow},
        {"decimalZero3", "001, 002, 003, ...", {}, zeroPadded3, kDecimal},
        {"decimalZero4", "0001, 0002, 0003, ...", {}, zeroPadded4, kDecimal},
        {"decimalZero5", "00001, 00002, 00003, ...", {}, zeroPadded5, kDecimal},
        {"decimalFullWidth", "１, ２, ３, ...", {}, numeric, "０ １ ２ ３ ４ ５ ６ ７ ８ ９"},
        {"decimalFullWidth2", {}, {}, numeric, "０ １ ２ ３ ４ ５ ６ ７ ８ ９"},
        {"hex", {}, {}, numeric, "0 1 2 3 4 5 6 7 8 9 A B C D E F"},
        {"arabicIndic", "١, ٢, ٣, ...", "arabic-indic", numeric,
         "\u0660 \u0661 \u0662 \u0663 \u0664 \u0665 \u0666 \u0667 \u0668 \u0669", {}, kNoLow},
        {"persianDigits", "۱, ۲, ۳, ...", "persian", numeric, "۰ ۱ ۲ ۳ ۴ ۵ ۶ ۷ ۸ ۹", {}, kNoLow},
        {"hindiNumbers", "१, २, ३, ...", "devanagari", numeric, "० १ २ ३ ४ ५ ६ ७ ८ ९", {}, kNoLow},
        {"thaiNumbers", {}, "thai", numeric, "๐ ๑ ๒ ๓ ๔ ๕ ๖ ๗ ๘ ๙", {}, kNoLow},
        {"bengaliDigits", {}, "bengali", numeric, "০ ১ ২ ৩ ৪ ৫ ৬ ৭ ৮ ৯", {}, kNoLow},
        {"khmerDigits", {}, "khmer", numeric, "០ ១ ២ ៣ ៤ ៥ ៦ ៧ ៨ ៩", {}, kNoLow},
        {"cambodianDigits", {}, "cambodian", numeric, "០ ១ ២ ៣ ៤ ៥ ៦ ៧ ៨ ៩", {}, kNoLow},
        {"ideographDigital", {}, "cjk-decimal", numeric, kIdeographDigits, {}, kNoLow},
        {"taiwaneseDigital", {}, {}, numeric, kIdeographDigits},
        // LibreOffice names Korean's digits by the counting of the same characters, with the
        // language after ("一, 二, 三, ... (ko)"); "10" is "一零", a digit at a time.
        {"koreanDigital2", "一, 二, 三, ... (ko)", {}, numeric, "零 一 二 三 四 五 六 七 八 九"},
        {"japaneseDigitalTenThousand", {}, {}, numeric, kIdeographDigits},
        {"koreanDigital", "일, 이, 삼, ... (ko-x-digital)", {}, numeric, kKoreanDigits},
        {"gujaratiDigits", {}, "gujarati", numeric, "૦ ૧ ૨ ૩ ૪ ૫ ૬ ૭ ૮ ૯", {}, kNoLow},
        {"gurmukhiDigits", {}, "gurmukhi", numeric, "੦ ੧ ੨ ੩ ੪ ੫ ੬ ੭ ੮ ੯", {}, kNoLow},
        {"kannadaDigits", {}, "kannada", numeric, "೦ ೧ ೨ ೩ ೪ ೫ ೬ ೭ ೮ ೯", {}, kNoLow},
        {"laoDigits", {}, "lao", numeric, "໐ ໑ ໒ ໓ ໔ ໕ ໖ ໗ ໘ ໙", {}, kNoLow},
        {"malayalamDigits", {}, "malayalam", numeric, "൦ ൧ ൨ ൩ ൪ ൫ ൬ ൭ ൮ ൯", {}, kNoLow},
        {"mongolianDigits", {}, "mongolian", numeric, "᠐ ᠑ ᠒ ᠓ ᠔ ᠕ ᠖ ᠗ ᠘ ᠙", {}, kNoLow},
        {"myanmarDigits", {}, "myanmar", numeric, "၀ ၁ ၂ ၃ ၄ ၅ ၆ ၇ ၈ ၉", {}, kNoLow},
        {"oriyaDigits", {}, "oriya", numeric, "୦ ୧ ୨ ୩ ୪ ୫ ୬ ୭ ୮ ୯", {}, kNoLow},
        {"tamilDigits", {}, "tamil", numeric, "௦ ௧ ௨ ௩ ௪ ௫ ௬ ௭ ௮ ௯", {}, kNoLow},
        {"teluguDigits", {}, "telugu", numeric, "౦ ౧ ౨ ౩ ౪ ౫ ౬ ౭ ౮ ౯", {}, kNoLow},
        {"tibetanDigits", {}, "tibetan", numeric, "༠ ༡ ༢ ༣ ༤ ༥ ༦ ༧ ༨ ༩", {}, kNoLow},
        {"lowerLetter", "aaa", {}, repeating, kLatin},
        {"upperLetter", "AAA", {}, repeating, kLatinUpper},
        {"lowerAlpha", "a", "lower-alpha", alphabetic, kLatin},
        {"lowerLatin", {}, "lower-latin", alphabetic, kLatin},
        {"upperAlpha", "A", "upper-alpha", alphabetic, kLatinUpper},
        {"upperLatin", {}, "upper-latin", alphabetic, kLatinUpper},
        {"lowerRoman", "i", "lower-roman", ruleBasedNumber, "root %roman-lower", {}, 1, 3999},
        {"upperRoman", "I", "upper-roman", ruleBasedNumber, "root %roman-upper", {}, 1, 3999},
        {"lowerGreek", {}, "lower-greek", alphabetic, kGreek},
        {"greekLowerNumerals", "α, β, γ, ... (gr)", {}, greekNumerals, kGreekNumerals, {}, 1, 9999},
        {"greekUpperNumerals", "Α, Β, Γ, ... (gr)", {}, greekNumerals,
         kGreekUpperNumerals, {}, 1, 9999},
        {"ordinal", "1st", {}, ordinal},
        {"cardinalText", "One", {}, capitalisedWords, "en %spellout-cardinal"},
        {"ordinalText", "First", {}, capitalisedWords, "en %spellout-ordinal"},
        {"dollarText", {}, {}, dollarText, "en %spellout-cardinal"},
        {"chicago", "*, †, ‡, §, **, ††, ...", {}, repeating, "* † ‡ §"},
        {"numberInDash", {}, {}, inDashes},
        {"chineseCounting", "一, 二, 三, ...", "simp-chinese-informal", ruleBasedNumber,
         "zh %spellout-cardinal", {}, -9999, 9999},
        {"chineseCountingThousand", {}, {}, ruleBasedNumber, "zh %spellout-cardinal", {}, 1, 9999},
        {"taiwaneseCounting", {}, "trad-chinese-informal", ruleBasedNumber,
         "zh_Hant %spellout-cardinal", {}, -9999, 9999},
        {"taiwaneseCountingThousand", {}, {}, ruleBasedNumber,
         "zh_Hant %spellout-cardinal", {}, 1, 9999},
        {"chineseLegalSimplified", "壹, 贰, 叁, ...", "simp-chinese-formal", simplifiedFormal,
         {}, {}, -9999, 9999},
        {"ideographLegalTraditional", "壹, 貳, 參, ...", "trad-chinese-formal", traditionalFormal,
         {}, {}, -9999, 9999},
        {"japaneseCounting", {}, "japanese-informal", ruleBasedNumber,
         "ja %spellout-cardinal", {}, -9999, 9999},
        // LibreOffice writes each digit of Word's legal Japanese numbers ("壱零" for 10).
        {"japaneseLegal", "壱, 弐, 参, ...", {}, numeric, "零 壱 弐 参 四 伍 六 七 八 九"},
        {"japaneseFormal", {}, "japanese-formal", japaneseFormal, {}, {}, -9999, 9999},
        {"koreanCounting", "일, 이, 삼, ...", {}, ruleBasedNumber, "ko %spellout-cardinal-sinokorean",
         {}, 1, 9999},
        // Word's legal Korean numbering in Korean's native numbers, as LibreOffice shows it.
        {"koreanLegal", "하나, 둘, 셋, ...", {}, koreanNative, {}, {}, 1, 99},
        {"koreanHangulFormal", {}, "korean-hangul-formal", ruleBasedNumber,
         "ko %spellout-cardinal-financial", {}, -9999, 9999},
        {"koreanHanjaInformal", {}, "korean-hanja-informal", koreanHanjaInformal,
         {}, {}, -9999, 9999},
        {"koreanHanjaFormal", {}, "korean-hanja-formal", koreanHanjaFormal, {}, {}, -9999, 9999},
        {"vietnameseCounting", {}, {}, ruleBasedNumber, "vi %spellout-cardinal"},
        {"thaiCounting", {}, {}, ruleBasedNumber, "th %spellout-cardinal"},
        {"bahtText", {}, {}, bahtText, "th %spellout-cardinal"},
        {"hindiCounting", {}, {}, ruleBasedNumber, "hi %spellout-cardinal"},
        {"persianWords", "یک, دو, سه, ...", {}, ruleBasedNumber, "fa %spellout-cardinal"},
        {"hebrew1", "א, י, ק, ...", "hebrew", hebrewNumerals, {}, {}, 1, 999},
        {"hebrew2", {}, {}, alphabetic, kHebrew},
        {"hebrewAlpha", "א, ב, ג, ...", {}, alphabetic, kHebrew},
        {"armenianUpper", {}, "upper-armenian", ruleBasedNumber,
         "root %armenian-upper", {}, 1, 9999},
        {"armenian", {}, "armenian", ruleBasedNumber, "root %armenian-upper", {}, 1, 9999},
        {"armenianLower", {}, "lower-armenian", ruleBasedNumber,
         "root %armenian-lower", {}, 1, 9999},
        {"georgian", {}, "georgian", ruleBasedNumber, "root %georgian", {}, 1, 19999},
        {"ethiopicNumeric", {}, "ethiopic-numeric", ruleBasedNumber, "root %ethiopic"},
        {"russianLower", {}, {}, alphabetic, kRussian},
        {"russianUpper", {}, {}, alphabetic, kRussianUpper, kRussian},
        {"russianLowerAlpha", "а, б, .., аа, аб, ... (ru)", {}, alphabetic, kRussian},
        {"russianUpperAlpha", "А, Б, .., Аа, Аб, ... (ru)", {}, alphabetic,
         kRussianUpper, kRussian},
        {"russianLowerSync", "а, б, .., аа, бб, ... (ru)", {}, repeating, kRussian},
        {"russianUpperSync", "А, Б, .., Аа, Бб, ... (ru)", {}, repeating, kRussianUpper, kRussian},
        {"bulgarianLowerAlpha", "а, б, .., аа, аб, ... (bg)", {}, alphabetic, kBulgarian},
        {"bulgarianUpperAlpha", "А, Б, .., Аа, Аб, ... (bg)", {}, alphabetic,
         kBulgarianUpper, kBulgarian},
        {"bulgarianLowerSync", "а, б, .., аа, бб, ... (bg)", {}, repeating, kBulgarian},
        {"bulgarianUpperSync", "А, Б, .., Аа, Бб, ... (bg)", {}, repeating,
         kBulgarianUpper, kBulgarian},
        {"serbianLowerAlpha", "а, б, .., аа, аб, ... (sr)", {}, alphabetic, kSerbian},
        {"serbianUpperAlpha", "А, Б, .., Аа, Аб, ... (sr)", {}, alphabetic,
         kSerbianUpper, kSerbian},
        {"serbianLowerSync", "а, б, .., аа, бб, ... (sr)", {}, repeating, kSerbian},
        {"serbianUpperSync", "А, Б, .., Аа, Бб, ... (sr)", {}, repeating, kSerbianUpper, kSerbian},
        {"decimalEnclosedCircle", "①, ②, ③, ...", {}, fixed, kCircled},
        {"decimalEnclosedCircleChinese", {}, {}, fixed, kCircled},
        {"decimalEnclosedParen", {}, {}, fixed, kParenthesised},
        {"decimalEnclosedFullstop", {}, {}, fixed, kFullStopped},
        {"ideographEnclosedCircle", {}, {}, fixed, "㈠ ㈡ ㈢ ㈣ ㈤ ㈥ ㈦ ㈧ ㈨ ㈩"},
        {"ideographTraditional", "甲, 乙, 丙, ...", "cjk-heavenly-stem", fixed, kHeavenlyStems},
        {"ideographZodiac", "子, 丑, 寅, ...", "cjk-earthly-branch", fixed, kEarthlyBranches},
        {"ideographZodiacTraditional", {}, {}, sexagenary, {}, {}, 1, 60},
        {"aiueo", "ｱ, ｲ, ｳ, ...", {}, cyclic, kAiueoHalfWidth},
        {"aiueoFullWidth", "ア, イ, ウ, ...", {}, cyclic, kAiueo},
        {"iroha", "ｲ, ﾛ, ﾊ, ...", {}, cyclic, kIrohaHalfWidth},
        {"irohaFullWidth", "イ, ロ, ハ, ...", {}, cyclic, kIroha},
        {"hiragana", {}, "hiragana", alphabetic, kHiragana},
        {"hiraganaIroha", {}, "hiragana-iroha", alphabetic, kHiraganaIroha},
        {"katakana", {}, "katakana", alphabetic, kKatakana},
        {"katakanaIroha", {}, "katakana-iroha", alphabetic, kKatakanaIroha},
        {"ganada", "가, 나, 다, ...", {}, cyclic, kGanada},
        {"chosung", "ㄱ, ㄴ, ㄷ, ...", {}, cyclic, kChosung},
        {"ganadaCircled", "㉮, ㉯, ㉰, ...", {}, cyclic, kCircledGanada},
        {"chosungCircled", "㉠, ㉡, ㉢, ...", {}, cyclic, kCircledChosung},
        {"arabicAlpha", "أ, ب, ت, ...", {}, alphabetic, kArabicAlpha},
        {"arabicAbjad", "ا, ب, ج, ...", {}, alphabetic, kArabicAbjad},
        {"persianAlpha", "آ, ب, پ, ...", {}, alphabetic, kPersianAlpha},
        {"thaiLetters", "ก, ข, ค, ...", {}, alphabetic, kThaiLetters},
        // LibreOffice writes its Devanagari letters as Word's "hindiVowels", and reads them so.
        {"hindiVowels", {}, {}, alphabetic, kHindiConsonants},
        {"hindiConsonants", "क, ख, ग, ...", {}, alphabetic, kHindiConsonants},
        {"khmerLetters", "ក, ខ, គ, ...", {}, alphabetic, kKhmerLetters},
        {"laoLetters", "ກ, ຂ, ຄ, ...", {}, alphabetic, kLaoLetters},
        {"myanmarLetters", "က, ခ, ဂ, ...", {}, alphabetic, kMyanmarLetters},
        {"tibetanLetters", "ཀ, ཁ, ག, ...", {}, alphabetic, kTibetanLetters},
    };
    // clang-format on
}

// The table, each row's symbols split once.
const std::vector<Style>& styles() {
    static const auto kStyles = [] {
        auto styles = table();
        for (auto& style : styles) {
            style.symbolList = symbolsOf(style.symbols);
            style.restList = symbolsOf(style.rest);
        }
        return styles;
    }();
    return kStyles;
}

// The style each name stands for, and whether the name is CSS's.
const std::unordered_map<std::string_view, std::pair<const Style*, bool>>& stylesByName() {
    static const auto kByName = [] {
        std::unordered_map<std::string_view, std::pair<const Style*, bool>> byName;
        for (const auto& style : styles()) {
            for (const auto name : {style.name, style.odf}) {
                if (!name.empty()) {
                    byName.try_emplace(name, &style, false);
                }
            }
            if (!style.css.empty()) {
                byName.insert_or_assign(style.css, std::pair{&style, true});
            }
        }
        // CSS 2.1's name for the Chinese counting the counter styles call
        // "trad-chinese-informal", which browsers still read.
        byName.insert_or_assign("cjk-ideographic", byName.at("trad-chinese-informal"));
        return byName;
    }();
    return kByName;
}

// The rule sets that write one of Word's formats in a language, most wanted first: the
// numbering forms ("Eins", not the article "Ein"; Spanish "Uno"), else the cardinal ones, the
// masculine where a language inflects them; ordinals so. Where a language has none of these
// names, its first rule set that begins as `family` does.
struct LanguageRules {
    RuleKind kind;
    std::array<std::string_view, 3> preferred;
    std::string_view family;
};
const LanguageRules kCardinalWords{
    RuleKind::spellout,
    {"%spellout-numbering", "%spellout-cardinal", "%spellout-cardinal-masculine"},
    "%spellout-cardinal"};
// Swedish's common gender ("första", not the masculine "förste").
const LanguageRules kOrdinalWords{
    RuleKind::spellout,
    {"%spellout-ordinal", "%spellout-ordinal-reale", "%spellout-ordinal-masculine"},
    "%spellout-ordinal"};
const LanguageRules kOrdinalDigits{
    RuleKind::ordinal, {"%digits-ordinal", "%digits-ordinal-masculine", {}}, "%digits-ordinal"};

// The rule set of `format` that `rules` chooses; bogus for none.
icu::UnicodeString chosenRuleSet(const icu::RuleBasedNumberFormat& format,
                                 const LanguageRules& rules) {
    const auto count = format.getNumberOfRuleSetNames();
    const auto named = [&](std::string_view wanted, bool prefix) {
        const auto name = icu::UnicodeString::fromUTF8(
            icu::StringPiece(wanted.data(), static_cast<int32_t>(wanted.size())));
        for (int32_t at = 0; at < count; ++at) {
            const auto candidate = format.getRuleSetName(at);
            if (prefix ? candidate.startsWith(name) : candidate == name) {
                return candidate;
            }
        }
        icu::UnicodeString none;
        none.setToBogus();
        return none;
    };
    for (const auto wanted : rules.preferred) {
        if (!wanted.empty()) {
            if (auto found = named(wanted, false); !found.isBogus()) {
                return found;
            }
        }
    }
    return named(rules.family, true);
}

// Digits without the separators a locale groups them with ("1,000th", "1.000.", "1 000e"), as
// list numbers are written: what stands between two digits goes.
std::string ungrouped(std::string_view text) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        if (!out.empty() && digit(out.back()) && !digit(text[at])) {
            auto end = at;
            while (end < text.size() && !digit(text[end]) && end - at < 4) {
                ++end;
            }
            if (end < text.size() && digit(text[end])) {
                at = end;
                continue;
            }
        }
        out.push_back(text[at++]);
    }
    return out;
}

// Whether the formatter holds the root locale's rules, which write digits for words.
bool isRoot(const icu::RuleBasedNumberFormat& format) {
    UErrorCode status = U_ZERO_ERROR;
    const std::string_view name = format.getLocale(ULOC_ACTUAL_LOCALE, status).getName();
    return U_FAILURE(status) || name.empty() || name == "root";
}

// The count as `rules` write it in `language` ("Eins", "Zweite", "21e"): by our own rules for
// the language where they have such a rule set, else by ICU's; nothing where neither has them.
std::optional<std::string> inLanguage(long count, const LanguageRules& rules,
                                      std::string_view language) {
    const auto locale = resolvedLocale(language);
    const icu::RuleBasedNumberFormat* format = nullptr;
    icu::UnicodeString ruleSet;
    ruleSet.setToBogus();
    // Our own rules are made only where they name such a rule set, so that a language keeps
    // one formatter for each kind of its numbers.
    const auto own = ownRules(locale);
    const auto ownNames = [&] {
        return std::any_of(rules.preferred.begin(), rules.preferred.end(),
                           [&](std::string_view name) {
                               return !name.empty() && own.find(name) != std::string_view::npos;
                           }) ||
               own.find(rules.family) != std::string_view::npos;
    };
    if (!own.empty() && ownNames()) {
        format = ruleBased(language, RuleKind::own);
        ruleSet = format != nullptr ? chosenRuleSet(*format, rules) : ruleSet;
    }
    if (ruleSet.isBogus()) {
        format = ruleBased(language, rules.kind);
        if (format == nullptr || isRoot(*format)) {
            return std::nullopt;
        }
        ruleSet = chosenRuleSet(*format, rules);
    }
    if (ruleSet.isBogus()) {
        return std::nullopt;
    }
    const auto out = withRules(*format, ruleSet, count);
    if (!out) {
        return std::nullopt;
    }
    if (&rules == &kOrdinalDigits) {
        return ungrouped(*out);
    }
    // Words ICU writes in digits are none.
    if (std::all_of(out->begin(), out->end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return capitalised(*out, locale);
}

}  // namespace

std::string ListNumberFormat::formatted(long count, std::string_view format) {
    const auto& byName = stylesByName();
    const auto found = byName.find(format);
    if (found == byName.end()) {
        return std::to_string(count);
    }
    const auto& [style, css] = found->second;
    const auto low = css ? style->low : std::max(style->low, 1L);
    // Decimal digits as the standard library writes them, the most common format at the least
    // cost.
    if (count < low || count > style->high ||
        (style->write == numeric && style->symbols == kDecimal)) {
        return std::to_string(count);
    }
    return style->write(count, *style);
}

std::string ListNumberFormat::formatted(long count, std::string_view format,
                                        std::string_view language) {
    const auto found = stylesByName().find(format);
    if (language.empty() || found == stylesByName().end() || count < 1) {
        return formatted(count, format);
    }
    const auto& style = *found->second.first;
    const auto* rules = style.write == ordinal         ? &kOrdinalDigits
                        : style.name == "cardinalText" ? &kCardinalWords
                        : style.name == "ordinalText"  ? &kOrdinalWords
                                                       : nullptr;
    if (rules == nullptr) {
        return formatted(count, format);
    }
    auto out = inLanguage(count, *rules, language);
    if (!out && rules == &kOrdinalWords) {
        // Ordinal words neither ICU nor we have for the language: its ordinal digits ("2." in
        // Czech), not English words.
        out = inLanguage(count, kOrdinalDigits, language);
    }
    // ICU has no rules for the language: the document's numbers in English.
    return out ? std::move(*out) : formatted(count, format);
}

std::size_t ListNumberFormat::keptFormatters() {
    return formatters().kept.size();
}

std::size_t ListNumberFormat::formattersMade() {
    return formatters().made;
}

std::optional<std::string_view> ListNumberFormat::counterStyle(std::string_view keyword) {
    const auto found = stylesByName().find(keyword);
    if (found == stylesByName().end() || !found->second.second) {
        return std::nullopt;
    }
    return found->second.first->css;
}

std::string_view ListNumberFormat::cssSuffix(std::string_view style) {
    static constexpr std::string_view kIdeographicComma[] = {
        "cjk-decimal",         "cjk-earthly-branch",
        "cjk-heavenly-stem",   "hiragana",
        "hiragana-iroha",      "katakana",
        "katakana-iroha",      "japanese-informal",
        "japanese-formal",     "simp-chinese-informal",
        "simp-chinese-formal", "trad-chinese-informal",
        "trad-chinese-formal"};
    if (std::find(std::begin(kIdeographicComma), std::end(kIdeographicComma), style) !=
        std::end(kIdeographicComma)) {
        return "\u3001";
    }
    if (style.starts_with("korean-")) {
        return ",";
    }
    return style == "ethiopic-numeric" ? "/" : ".";
}

char32_t ListNumberFormat::symbolFontCharacter(char32_t c, std::string_view font) {
    if ((font != "Symbol" && font != "Wingdings") || c < 0xF020 || c > 0xF0FF) {
        return c;
    }
    const auto code = static_cast<unsigned char>(c - 0xF000);
    return font == "Symbol" ? decoding::symbolFontCharacter(code)
                            : decoding::wingdingsCharacter(code);
}

std::string ListNumberFormat::symbolFontText(std::string_view text, std::string_view font) {
    if (font != "Symbol" && font != "Wingdings") {
        return std::string(text);
    }
    std::string out;
    int32_t at = 0;
    const auto length = static_cast<int32_t>(text.size());
    while (at < length) {
        UChar32 c = 0;
        U8_NEXT(text.data(), at, length, c);
        decoding::appendUtf8(
            out, c < 0 ? U'\uFFFD' : symbolFontCharacter(static_cast<char32_t>(c), font));
    }
    return out;
}

}  // namespace vask
