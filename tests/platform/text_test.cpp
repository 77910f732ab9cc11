#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto.h"
#include "platform/text.h"

namespace vask {
namespace {

TEST(Text, TrimmedRemovesUnicodeWhitespaceAndNewlinesOnly) {
    struct Case {
        const char* name;
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"plain", "abc", "abc"},
        {"blanks, tab and newline around", " \t ab c\n", "ab c"},
        {"only blanks", " \t\r\n ", ""},
        {"empty", "", ""},
        {"no-break space and ideographic space", "\u00a0x\u3000", "x"},
        {"line and paragraph separators, next line", "\u2028x\u2029\u0085", "x"},
        {"zero-width space is not whitespace", "\u200bx", "\u200bx"},
        {"invalid byte stops the trim", " \xff ", "\xff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(std::string(text::trimmed(c.input)), c.expected);
    }
}

TEST(Text, GraphemeCountAndPrefixFollowUserPerceivedCharacters) {
    struct Case {
        const char* name;
        std::string input;
        std::size_t count;
        std::string firstTwo;
    };
    const Case cases[] = {
        {"ascii", "hello", 5, "he"},
        {"empty", "", 0, ""},
        {"combining accent", "e\u0301x", 2, "e\u0301x"},
        {"family emoji is one", "\U0001F468\u200D\U0001F469\u200D\U0001F467!", 2,
         "\U0001F468\u200D\U0001F469\u200D\U0001F467!"},
        {"flags", "\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA\U0001F1EE\U0001F1F9", 3,
         "\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA"},
        {"crlf is one", "\r\nab", 3, "\r\na"},
        {"cjk", "\u65e5\u672c\u8a9e", 3, "\u65e5\u672c"},
        {"invalid bytes counted, not crashed on", "a\xff\xfe", 3, "a\xff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(text::graphemeCount(c.input), c.count);
        EXPECT_EQ(std::string(text::graphemePrefix(c.input, 2)), c.firstTwo);
    }
    EXPECT_EQ(text::graphemePrefix("abc", 0), "");
    EXPECT_EQ(text::graphemePrefix("abc", 99), "abc");
}

TEST(Text, CaseMappingIsLocaleIndependentAndFull) {
    EXPECT_EQ(text::toUpper("stra\u00dfe"), "STRASSE");
    EXPECT_EQ(text::toLower("\u00c9COLE Bean"), "\u00e9cole bean");
    EXPECT_EQ(text::toLower("I"), "i");  // not the Turkish dotless i
    EXPECT_EQ(text::toValidUtf8("a\xff"), "a\uFFFD");
}

TEST(Text, Utf8ValidityAgreesWithRepair) {
    const std::string inputs[] = {"",
                                  "plain",
                                  "caf\xC3\xA9 \xF0\x9F\x91\x8D",
                                  "a\xff",
                                  "cut \xE2\x82",
                                  "\xED\xA0\x80 surrogate",
                                  "\xC0\xAF overlong",
                                  std::string("nul\0inside", 11)};
    for (const auto& input : inputs) {
        EXPECT_EQ(text::isValidUtf8(input), text::toValidUtf8(input) == input) << input;
    }
}

TEST(Text, ComposedIsTheFormAKeyboardTypes) {
    struct Case {
        std::string input;
        std::string composed;
    };
    const std::vector<Case> cases = {
        {"", ""},
        {"plain ASCII", "plain ASCII"},
        // Vietnamese as windows-1258 writes it: a base letter and its tone as a combining mark.
        {"Cuô\u0323c ho\u0323p", "Cuộc họp"},
        {"e\u0301te\u0301", "été"},
        // Marks in canonical order, whatever order they were written in.
        {"o\u0323\u0302", "ộ"},
        {"Hangul \u1112\u1161\u11AB", "Hangul 한"},
        // Already composed text is returned as it is, and ill-formed bytes become U+FFFD.
        {"Cuộc họp", "Cuộc họp"},
        {"e\u0301\xff", "é\uFFFD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text::composed(c.input), c.composed) << c.input;
    }
}

TEST(Text, ClippedKeepsWholeCharactersAndMarksTheCut) {
    struct Case {
        std::string input;
        std::size_t max;
        std::string expected;
    };
    const Case cases[] = {
        {"short", 10, "short"},
        {"exact", 5, "exact"},
        {"longer text", 6, "longer\u2026"},
        {"e\u0301e\u0301e\u0301", 2, "e\u0301e\u0301\u2026"},
        {std::string(5 << 20, 'x'), 3, "xxx\u2026"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text::clipped(c.input, c.max), c.expected) << c.input.substr(0, 20);
    }
}

TEST(Crypto, Sha256MatchesKnownDigestsWholeOrInPieces) {
    EXPECT_EQ(Sha256::hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256::hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    Sha256 pieces;
    pieces.update("a");
    pieces.update("");
    pieces.update("bc");
    EXPECT_EQ(pieces.finishHex(), Sha256::hex("abc"));
}

TEST(Crypto, RandomUUIDsAreUpperCaseVersion4AndDistinct) {
    const std::regex form("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const auto uuid = randomUUID();
        ASSERT_TRUE(std::regex_match(uuid, form)) << uuid;
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(Text, LinesAndWhitespacePiecesDropEmptyOnes) {
    using Pieces = std::vector<std::string_view>;
    struct Case {
        const char* name;
        std::string input;
        Pieces lines;
        Pieces words;
    };
    const Case cases[] = {
        {"empty", "", {}, {}},
        {"crlf and blank lines", "a\r\n\r\nb\n", {"a", "b"}, {"a", "b"}},
        {"unicode line breaks",
         "a\u0085b\u2028c\u2029d\u000b\u000ce",
         {"a", "b", "c", "d", "e"},
         {"a", "b", "c", "d", "e"}},
        {"blanks split words only", " a b\tc ", {" a b\tc "}, {"a", "b", "c"}},
        {"no-break space is whitespace", "a\u00a0b", {"a\u00a0b"}, {"a", "b"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(text::nonEmptyLines(c.input), c.lines);
        EXPECT_EQ(text::whitespaceSeparated(c.input), c.words);
    }
}

// Amounts are written from their exact digits in the language asked for, never through the C
// library's locale; what is not a plain decimal or a currency code is refused.
TEST(Text, CurrencyTextWritesExactDigitsInTheLanguageAsked) {
    const std::string nbsp = "\u00A0";
    struct Case {
        const char* decimal;
        const char* currency;
        const char* locale;
        std::optional<std::string> text;
    };
    const Case cases[] = {
        {"9.99", "USD", "en_US", "$9.99"},
        {"1234.50", "USD", "de_DE", "1.234,50" + nbsp + "$"},
        {"-92233720368547758.08", "USD", "en_US", "-$92,233,720,368,547,758.08"},
        {"9.99", "EUR", "de_DE", "9,99" + nbsp + "\u20AC"},
        {"nine", "USD", "en_US", std::nullopt},
        {"", "USD", "en_US", std::nullopt},
        {"9.99", "US", "en_US", std::nullopt},
        {"9.99", "", "en_US", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text::currencyText(c.decimal, c.currency, c.locale), c.text)
            << c.decimal << " " << c.currency << " " << c.locale;
    }
}

}  // namespace
}  // namespace vask
