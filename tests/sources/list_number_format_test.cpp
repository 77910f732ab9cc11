#include "sources/list_number_format.h"

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
        {"somethingNew", 4, "4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format + " " + std::to_string(c.count));
        EXPECT_EQ(ListNumberFormat::formatted(c.count, c.format), c.text);
    }
}

}  // namespace
}  // namespace vask
