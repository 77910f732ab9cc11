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
