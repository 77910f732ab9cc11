#include "sources/list_number_format.h"
#include "sources/list_count.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vask {
namespace {

TEST(ListNumberFormatTest, CountsReadAsTheirFormatWritesThem) {
    struct Case {
        std::string format;
        long count;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"decimal", 12, "12"},
        {"lowerLetter", 28, "bb"},
        {"upperLetter", 5, "E"},
        {"lowerLetter", 0, "0"},
        {"upperRoman", 1994, "MCMXCIV"},
        {"lowerRoman", 4000, "4000"},
        {"decimalZero", 7, "07"},
        {"ordinal", 1, "1st"},
        {"ordinal", 12, "12th"},
        {"ordinal", 23, "23rd"},
        {"ordinal", 111, "111th"},
        {"cardinalText", 3, "Three"},
        {"cardinalText", 21, "Twenty-one"},
        {"cardinalText", 1200, "One thousand two hundred"},
        {"ordinalText", 2, "Second"},
        {"ordinalText", 12, "Twelfth"},
        {"ordinalText", 20, "Twentieth"},
        {"ordinalText", 42, "Forty-second"},
        {"chineseCounting", 10, "\u5341"},
        {"chineseCounting", 12, "\u5341\u4E8C"},
        {"chineseCounting", 101, "\u4E00\u767E\u96F6\u4E00"},
        {"chineseCounting", 110, "\u4E00\u767E\u4E00\u5341"},
        {"japaneseCounting", 111, "\u767E\u5341\u4E00"},
        {"ideographDigital", 20, "\u4E8C\u3007"},
        {"hebrew1", 15, "\u05D8\u05D5"},
        {"hebrew1", 123, "\u05E7\u05DB\u05D2"},
        {"hebrew2", 2, "\u05D1"},
        {"russianLower", 3, "\u0432"},
        {"russianUpper", 10, "\u041A"},
        {"decimalEnclosedCircle", 2, "\u2461"},
        {"decimalEnclosedCircle", 21, "\u3251"},
        {"decimalEnclosedCircle", 51, "51"},
        {"decimalEnclosedParen", 1, "\u2474"},
        {"decimalEnclosedFullstop", 3, "\u248A"},
        {"decimalFullWidth", 10, "\uFF11\uFF10"},
        {"arabicIndic", 3, "\u0663"},
        {"arabicIndic", 10, "\u0661\u0660"},
        {"lowerGreek", 3, "\u03B3"},
        {"lowerGreek", 24, "\u03C9"},
        {"lowerGreek", 25, "\u03B1\u03B1"},
        {"lowerAlpha", 26, "z"},
        {"lowerAlpha", 28, "ab"},
        {"upperAlpha", 702, "ZZ"},
        {"upperAlpha", 703, "AAA"},
        {"lowerAlpha", 0, "0"},
        {"hebrewAlpha", 23, "\u05D0\u05D0"},
        {"russianLowerAlpha", 31, "\u0430\u0431"},
        {"russianUpperAlpha", 31, "\u0410\u0431"},
        {"russianLowerSync", 31, "\u0431\u0431"},
        {"russianUpperSync", 59, "\u0410\u0430\u0430"},
        {"russianUpperSync", -1, "-1"},
        {"somethingNew", 4, "4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format + " " + std::to_string(c.count));
        EXPECT_EQ(ListNumberFormat::formatted(c.count, c.format), c.text);
    }
}

// Every script's formats, under Word's names, LibreOffice's and CSS's, as each program shows
// them; counts below 1 under the word processors' names read in digits, as LibreOffice shows a
// list that starts at 0.
TEST(ListNumberFormatTest, FormatsOfEveryScriptReadAsTheirProgramsShowThem) {
    struct Case {
        std::string format;
        long count;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"ganada", 1, "\uAC00"},
        {"ganada", 15, "\uAC00"},
        {"chosung", 3, "\u3137"},
        {"aiueo", 2, "\uFF72"},
        {"aiueoFullWidth", 6, "\u30AB"},
        {"iroha", 3, "\uFF8A"},
        {"irohaFullWidth", 2, "\u30ED"},
        {"ideographTraditional", 3, "\u4E19"},
        {"ideographTraditional", 11, "11"},
        {"ideographZodiac", 12, "\u4EA5"},
        {"ideographZodiacTraditional", 11, "\u7532\u620C"},
        {"chineseLegalSimplified", 10, "\u58F9\u62FE"},
        {"chineseLegalSimplified", 101, "\u58F9\u4F70\u96F6\u58F9"},
        {"ideographLegalTraditional", 23, "\u8CB3\u62FE\u53C3"},
        {"japaneseLegal", 10, "\u58F1\u96F6"},
        {"japanese-formal", 1000, "\u58F1\u9621"},
        {"koreanCounting", 12, "\uC2ED\uC774"},
        {"koreanLegal", 11, "\uC5F4\uD558\uB098"},
        {"koreanDigital2", 10, "\u4E00\u96F6"},
        {"hebrew2", 24, "\u05D0\u05D1"},
        {"russianLower", 26, "\u044B"},
        {"koreanDigital", 10, "\uC77C\uC601"},
        {"arabicAlpha", 2, "\u0628"},
        {"arabicAlpha", 29, "\u0623\u0623"},
        {"arabicAbjad", 3, "\u062C"},
        {"thaiLetters", 3, "\u0E04"},
        {"thaiNumbers", 12, "\u0E51\u0E52"},
        {"thaiCounting", 2, "\u0E2A\u0E2D\u0E07"},
        {"hindiVowels", 2, "\u0916"},
        {"hindiConsonants", 3, "\u0917"},
        {"hindiNumbers", 10, "\u0967\u0966"},
        {"hindiCounting", 1, "\u090F\u0915"},
        {"hex", 31, "1F"},
        {"chicago", 6, "\u2020\u2020"},
        {"numberInDash", 4, "- 4 -"},
        {"ideographEnclosedCircle", 10, "\u3229"},
        {"decimalZero", 0, "0"},
        {"ordinal", 0, "0"},
        {"cardinalText", 0, "0"},
        {"upperRoman", 0, "0"},
        {"\uAC00, \uB098, \uB2E4, ...", 2, "\uB098"},
        {"\u3131, \u3134, \u3137, ...", 1, "\u3131"},
        {"\u30A2, \u30A4, \u30A6, ...", 47, "\u30A2"},
        {"\u7532, \u4E59, \u4E19, ...", 10, "\u7678"},
        {"\u58F9, \u8D30, \u53C1, ...", 20, "\u8D30\u62FE"},
        {"\u0623, \u0628, \u062A, ...", 1, "\u0623"},
        {"\u0E01, \u0E02, \u0E04, ...", 2, "\u0E02"},
        {"\u03B1, \u03B2, \u03B3, ... (gr)", 16, "\u03B9\u03C3\u03C4"},
        {"01, 02, 03, ...", 0, "0"},
        {"01, 02, 03, ...", 3, "03"},
        {"0001, 0002, 0003, ...", 12, "0012"},
        {"decimal-leading-zero", 0, "00"},
        {"decimal-leading-zero", -3, "-03"},
        {"arabic-indic", -12, "-\u0661\u0662"},
        {"korean-hangul-formal", 111, "\uC77C\uBC31\uC77C\uC2ED\uC77C"},
        {"korean-hangul-formal", -3, "\uB9C8\uC774\uB108\uC2A4 \uC0BC"},
        {"korean-hanja-informal", 101, "\u767E\u4E00"},
        {"korean-hanja-formal", 10, "\u58F9\u62FE"},
        {"hiragana", 49, "\u3042\u3042"},
        {"katakana-iroha", 2, "\u30ED"},
        {"simp-chinese-informal", 110, "\u4E00\u767E\u4E00\u5341"},
        {"trad-chinese-formal", 1010, "\u58F9\u4EDF\u96F6\u58F9\u62FE"},
        // CSS 2.1's older name for trad-chinese-informal.
        {"cjk-ideographic", 12, "\u5341\u4E8C"},
        {"japanese-informal", 0, "\u3007"},
        {"japanese-formal", 12, "\u58F1\u62FE\u5F10"},
        {"japanese-formal", 10000, "10000"},
        {"cjk-earthly-branch", 13, "13"},
        {"upper-armenian", 1234, "\u054C\u0544\u053C\u0534"},
        {"georgian", 19, "\u10D8\u10D7"},
        {"ethiopic-numeric", 100, "\u137B"},
        {"persian", 10, "\u06F1\u06F0"},
        {"tamil", 7, "\u0BED"},
        {"lower-roman", 0, "0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format + " " + std::to_string(c.count));
        EXPECT_EQ(ListNumberFormat::formatted(c.count, c.format), c.text);
    }
    EXPECT_EQ(ListNumberFormat::counterStyle("hiragana"), "hiragana");
    // Words in the document's language, English where ICU spells none.
    struct Spelled {
        std::string format;
        long count;
        std::string language;
        std::string text;
    };
    for (const auto& c : std::vector<Spelled>{
             {"cardinalText", 20, "de-DE", "Zwanzig"},
             {"ordinalText", 2, "de", "Zweite"},
             {"cardinalText", 11, "fr-FR", "Onze"},
             {"cardinalText", 3, "", "Three"},
             {"cardinalText", 3, "zz-ZZ", "Three"},
             {"cardinalText", 3, "x-private", "Three"},
             {"cardinalText", 3, "zxx", "Three"},
             {"decimal", 3, "de-DE", "3"},
             // A list counts in the numbering forms, not the article's or a gender's.
             {"cardinalText", 1, "de-DE", "Eins"},
             {"cardinalText", 21, "de-AT", "Einundzwanzig"},
             {"cardinalText", 1, "de-CH-x-mine", "Eins"},
             {"cardinalText", 1, "es-ES", "Uno"},
             {"cardinalText", 21, "es-MX", "Veintiuno"},
             {"cardinalText", 1, "it-IT", "Uno"},
             {"cardinalText", 1, "sv-SE", "Ett"},
             {"cardinalText", 1, "fr-CA", "Un"},
             {"cardinalText", 1, "pl-PL", "Jeden"},
             {"cardinalText", 21, "en-GB", "Twenty-one"},
             // A capital as the language writes it: Turkish and Azerbaijani "İ", Greek accents.
             {"cardinalText", 2, "tr-TR", "\u0130ki"},
             {"ordinalText", 2, "tr", "\u0130kinci"},
             {"cardinalText", 2, "az-AZ", "\u0130ki"},
             {"ordinalText", 2, "az", "\u0130kinci"},
             {"cardinalText", 8, "tr-TR", "Sekiz"},
             {"cardinalText", 1, "el-GR", "\u0388\u03BD\u03B1"},
             {"cardinalText", 2, "nl-NL", "Twee"},
             // Ordinals in the language's own form.
             {"ordinal", 21, "de-DE", "21."},
             {"ordinal", 21, "fr-FR", "21e"},
             {"ordinal", 1, "fr-FR", "1er"},
             {"ordinal", 2, "es-ES", "2.\u00BA"},
             {"ordinal", 3, "it-IT", "3\u00BA"},
             {"ordinal", 21, "sv-SE", "21:a"},
             {"ordinal", 21, "pl-PL", "21."},
             {"ordinal", 21, "en-US", "21st"},
             // Without the separators a locale groups digits with.
             {"ordinal", 1000, "en-US", "1000th"},
             {"ordinal", 12345, "de-DE", "12345."},
             {"ordinal", 1000, "fr-FR", "1000e"},
             {"ordinal", 1000, "es-ES", "1000.\u00BA"},
             {"ordinal", 21, "zz-ZZ", "21st"},
             {"ordinal", 21, "", "21st"},
             {"ordinalText", 1, "fr-FR", "Premier"},
             {"ordinalText", 3, "es-ES", "Tercero"},
             {"ordinalText", 2, "it-IT", "Secondo"},
             {"ordinalText", 21, "en-US", "Twenty-first"},
             {"ordinalText", 1, "sv-SE", "F\u00F6rsta"},
             {"ordinalText", 1, "da-DK", "F\u00F8rste"},
             {"ordinalText", 3, "ru-RU", "\u0422\u0440\u0435\u0442\u0438\u0439"},
             // Where neither ICU nor we spell ordinals, the language's ordinal digits.
             {"ordinalText", 2, "sk-SK", "2."},
             // Polish ordinals, which ICU does not spell, in words of our own.
             {"ordinalText", 1, "pl-PL", "Pierwszy"},
             {"ordinalText", 21, "pl", "Dwudziesty pierwszy"},
             {"ordinalText", 110, "pl-PL", "Sto dziesi\u0105ty"},
             {"ordinalText", 300, "pl-PL", "Trzechsetny"},
             {"ordinalText", 1234, "pl-PL", "Tysi\u0105c dwie\u015Bcie trzydziesty czwarty"},
             {"ordinalText", 2000, "pl-PL", "2000."},
         }) {
        SCOPED_TRACE(c.format + " " + c.language);
        EXPECT_EQ(ListNumberFormat::formatted(c.count, c.format, c.language), c.text);
    }
    EXPECT_EQ(ListNumberFormat::counterStyle("cjk-ideographic"), "trad-chinese-informal");
}

// Ordinals, ordinal words and counting words as LibreOffice writes them where ICU writes others
// or none: in ICU's rules for the language where they agree, else in the language's own.
TEST(ListNumberFormatTest, NumbersInWordsAndOrdinalsReadAsLibreOfficeWritesThem) {
    struct Case {
        std::string format;
        long count;
        std::string language;
        std::string text;
    };
    const std::vector<Case> cases = {
        // Ordinal digits: Russian and Ukrainian "-й", Greek "ος" (and "ός" after a zero
        // ending the word's stress), never the full stop a list's own "." doubles ("21..").
        {"ordinal", 21, "ru-RU", "21-\u0439"},
        {"ordinal", 1000, "ru", "1000-\u0439"},
        {"ordinal", 3, "uk-UA", "3-\u0439"},
        {"ordinal", 21, "el-GR", "21\u03BF\u03C2"},
        {"ordinal", 10, "el", "10\u03BF\u03C2"},
        {"ordinal", 20, "el", "20\u03CC\u03C2"},
        {"ordinal", 1000, "el", "1000\u03CC\u03C2"},
        {"ordinal", 21, "cs-CZ", "21."},
        {"ordinal", 21, "da-DK", "21."},
        // Czech counting words and ordinal words.
        {"cardinalText", 1, "cs-CZ", "Jedna"},
        {"cardinalText", 2, "cs", "Dva"},
        {"cardinalText", 21, "cs-CZ", "Dvacet jedna"},
        {"cardinalText", 345, "cs", "T\u0159i sta \u010Dty\u0159icet p\u011Bt"},
        {"cardinalText", 2000, "cs", "Dva tis\u00EDce"},
        {"ordinalText", 1, "cs-CZ", "Prvn\u00ED"},
        {"ordinalText", 21, "cs-CZ", "Dvac\u00E1t\u00FD prvn\u00ED"},
        {"ordinalText", 40, "cs", "\u010Cty\u0159ic\u00E1t\u00FD"},
        {"ordinalText", 200, "cs", "Dvoust\u00FD"},
        {"ordinalText", 2000, "cs", "2000."},
        // Ukrainian ordinal words.
        {"ordinalText", 1, "uk-UA", "\u041F\u0435\u0440\u0448\u0438\u0439"},
        {"ordinalText", 21, "uk",
         "\u0414\u0432\u0430\u0434\u0446\u044F\u0442\u044C \u043F\u0435\u0440\u0448\u0438\u0439"},
        {"ordinalText", 40, "uk", "\u0421\u043E\u0440\u043E\u043A\u043E\u0432\u0438\u0439"},
        {"ordinalText", 300, "uk",
         "\u0422\u0440\u044C\u043E\u0445\u0441\u043E\u0442\u0438\u0439"},
        // Danish ordinal words with "en" in compounds.
        {"ordinalText", 21, "da-DK", "Enogtyvende"},
        {"ordinalText", 51, "da", "Enoghalvtredsindstyvende"},
        {"ordinalText", 100, "da", "Hundrede"},
        {"ordinalText", 101, "da", "Hundrede og f\u00F8rste"},
        {"ordinalText", 2, "da", "Anden"},
        // Where ICU agrees, its rules: Russian ordinal words, Czech's digits.
        {"ordinalText", 21, "ru-RU",
         "\u0414\u0432\u0430\u0434\u0446\u0430\u0442\u044C \u043F\u0435\u0440\u0432\u044B\u0439"},
        {"cardinalText", 21, "uk-UA",
         "\u0414\u0432\u0430\u0434\u0446\u044F\u0442\u044C \u043E\u0434\u0438\u043D"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format + " " + std::to_string(c.count) + " " + c.language);
        EXPECT_EQ(ListNumberFormat::formatted(c.count, c.format, c.language), c.text);
    }
    EXPECT_FALSE(ListNumberFormat::counterStyle("ganada"));
}

// The formatters kept are the most recently used: a list that cycles through more languages
// than a handful makes each language's formatter once, however many rounds it goes; past the
// bound, the one least recently used gives way.
TEST(ListNumberFormatTest, FormattersOfTheLanguagesLastUsedAreKept) {
    const std::vector<std::string> cycle = {"de-DE", "fr-FR", "es-ES", "it-IT", "pt-PT",
                                            "nl-NL", "sv-SE", "nb-NO", "fi-FI", "hu-HU",
                                            "ro-RO", "tr-TR", "pl-PL", "ru-RU"};
    const auto round = [&] {
        for (std::size_t i = 0; i < cycle.size(); ++i) {
            ListNumberFormat::formatted(static_cast<long>(i + 1), "cardinalText", cycle[i]);
            ListNumberFormat::formatted(static_cast<long>(i + 1), "ordinalText", cycle[i]);
        }
    };
    round();
    const auto made = ListNumberFormat::formattersMade();
    for (int i = 0; i < 5; ++i) {
        round();
    }
    EXPECT_EQ(ListNumberFormat::formattersMade(), made);

    // More languages than are kept (each of a formatter of ICU's alone): the last used stay, the
    // first gives way.
    const std::vector<std::string> many = {
        "af", "am", "ar", "az", "be", "bg", "bs", "ca", "cy", "de", "eo", "es", "et", "fa",
        "fi", "fil", "fo", "fr", "ga", "he", "hi", "hr", "hu", "hy", "id", "is", "it", "ja",
        "ka", "ko", "lt", "lv", "mk", "ms", "mt", "nl", "sk", "sl", "sq", "sv"};
    ASSERT_GT(many.size(), ListNumberFormat::kMostFormatters);
    for (const auto& language : many) {
        ListNumberFormat::formatted(3, "cardinalText", language);
    }
    EXPECT_EQ(ListNumberFormat::keptFormatters(), ListNumberFormat::kMostFormatters);
    const auto before = ListNumberFormat::formattersMade();
    for (auto at = many.size(); at-- > many.size() - ListNumberFormat::kMostFormatters;) {
        ListNumberFormat::formatted(3, "cardinalText", many[at]);
    }
    EXPECT_EQ(ListNumberFormat::formattersMade(), before);
    ListNumberFormat::formatted(3, "cardinalText", many.front());
    EXPECT_EQ(ListNumberFormat::formattersMade(), before + 1);
    EXPECT_EQ(ListNumberFormat::keptFormatters(), ListNumberFormat::kMostFormatters);
}

// Bullets of the symbol fonts read as the characters those fonts draw; other fonts' private-use
// characters, and invalid bytes, do not.
TEST(ListNumberFormatTest, SymbolFontBulletsReadAsTheirFontsDrawThem) {
    struct Case {
        std::string text;
        std::string font;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"\uF0B7", "Symbol", "\u2022"},
        {"\uF0A7", "Wingdings", "\u25AA"},
        {"\uF0D8 \uF0FC", "Wingdings", "\u27A2 \u2714"},
        {"\uF0B7", "OpenSymbol", "\uF0B7"},
        {"o", "Courier New", "o"},
        {"\xFF\uF0B7", "Symbol", "\uFFFD\u2022"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.font + " " + c.text);
        EXPECT_EQ(ListNumberFormat::symbolFontText(c.text, c.font), c.shown);
    }
}

// The count of a list: levels begun anew by the items above them unless their restarts say
// otherwise, restarts and steps, and lists that share a count by name.
TEST(ListCountTest, LevelsCountAndBeginAnewAsTheirRestartsSay) {
    ListCount count;
    ListCount::Restarts neverSecond;
    neverSecond.restartedBy[1] = 0;
    struct Step {
        std::size_t level;
        long start;
        long expected;
    };
    const std::vector<Step> steps = {{0, 1, 1}, {1, 5, 5}, {1, 5, 6}, {0, 1, 2}, {1, 5, 7}};
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(count.next(steps[i].level, steps[i].start, 1, neverSecond), steps[i].expected);
    }
    EXPECT_EQ(count.next(0, 1), 3);
    EXPECT_EQ(count.shown(1, 5), 5);
    EXPECT_FALSE(count.counting(1));
    count.restart(0, 10, -1);
    EXPECT_EQ(count.next(0, 1, -1), 10);
    EXPECT_EQ(count.next(0, 1, -1), 9);
    EXPECT_EQ(ListCount::capped(-3), 0);
    EXPECT_EQ(ListCount::capped(-3, true), -3);
    EXPECT_EQ(ListCount::capped(5'000'000'000), ListCount::kHighestStart);

    ListCounts counts;
    const auto first = counts.named("list1");
    EXPECT_EQ(counts.named("list1"), first);
    counts.name("again", first);
    EXPECT_EQ(counts.find("again"), first);
    EXPECT_NE(counts.begin(), first);
    EXPECT_EQ(counts.last(), first + 1);
    EXPECT_FALSE(counts.find("other"));
}

}  // namespace
}  // namespace vask
