#include "sources/vcard_parser.h"

#include <gtest/gtest.h>

#include "encoded_text.h"

namespace vask {
namespace {

SystemContact expected(std::string id, std::string formatted, std::string given, std::string family,
                       std::string org, std::string title, std::vector<std::string> phones,
                       std::vector<std::string> emails) {
    return SystemContact{std::move(id),     std::move(given), std::move(family),
                         std::move(org),    std::move(title), std::move(formatted),
                         std::move(phones), std::move(emails)};
}

// Latin-1 text as UTF-16 code units.
std::string utf16(std::string_view latin1, bool bigEndian) {
    std::string out;
    for (const char c : latin1) {
        out += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
    }
    return out;
}

TEST(VCardParserTest, ReadsTheFieldsOfEachVersion) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<SystemContact> cards;
    };
    const std::vector<Case> cases = {
        {"vCard 3 with CRLF, folding, groups and escapes",
         "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:u-1\r\nFN:Ada Love\r\n lace\r\n"
         "N:Lovelace;Ada;;;\r\nORG:Analytical Engines\\, Ltd;Research\r\nTITLE:Countess\r\n"
         "item1.TEL;TYPE=\"voice,cell\":+44 20 7946 0000\r\n"
         "EMAIL;TYPE=INTERNET:ada@example.com\r\nNOTE:not read\r\nEND:VCARD\r\n",
         {expected("u-1", "Ada Lovelace", "Ada", "Lovelace", "Analytical Engines, Ltd", "Countess",
                   {"+44 20 7946 0000"}, {"ada@example.com"})}},
        {"vCard 4 with a tel URI, lower-case names and list values",
         "begin:vcard\nversion:4.0\nuid:urn:uuid:1234\nfn:Grace\n"
         "n:Hopper;Grace,Brewster;;;\ntel;value=uri;type=cell:tel:+1-212-555-0100;ext=7\n"
         "end:vcard\n",
         {expected("urn:uuid:1234", "Grace", "Grace Brewster", "Hopper", "", "",
                   {"+1-212-555-0100 ext 7"}, {})}},
        {"two cards in one file, one cut off",
         "BEGIN:VCARD\nFN:One\nEND:VCARD\nBEGIN:VCARD\nFN:Two\nTEL:555 0100",
         {expected("", "One", "", "", "", "", {}, {}),
          expected("", "Two", "", "", "", "", {"555 0100"}, {})}},
        {"a nested card is not a contact, and junk lines are skipped",
         "garbage before\nBEGIN:VCARD\nFN:Outer\nAGENT:BEGIN:VCARD\nBEGIN:VCARD\nFN:Inner\n"
         "END:VCARD\nno colon here\nEMAIL:outer@example.com\nEND:VCARD\n",
         {expected("", "Outer", "", "", "", "", {}, {"outer@example.com"})}},
        {"invalid UTF-8 is replaced, not fatal",
         "BEGIN:VCARD\nFN;CHARSET=UTF-8:Bad \xff byte\nEND:VCARD\n",
         {expected("", "Bad \xEF\xBF\xBD byte", "", "", "", "", {}, {})}},
        {"a value in a code page, which names no charset",
         "BEGIN:VCARD\nFN:Ren\xE9 Dupont\nEND:VCARD\n",
         {expected("", "Ren\xC3\xA9 Dupont", "", "", "", "", {}, {})}},
        {"a card without END ends where the next begins",
         "BEGIN:VCARD\nFN:One\nBEGIN:VCARD\nFN:Two\nEND:VCARD\n",
         {expected("", "One", "", "", "", "", {}, {}),
          expected("", "Two", "", "", "", "", {}, {})}},
        {"a fold inside a multi-byte character",
         "BEGIN:VCARD\r\nFN:Jos\xC3\r\n \xA9\r\nEND:VCARD\r\n",
         {expected("", "Jos\xC3\xA9", "", "", "", "", {}, {})}},
        {"UTF-8 byte order mark",
         "\xEF\xBB\xBF"
         "BEGIN:VCARD\nFN:Marked\nEND:VCARD\n",
         {expected("", "Marked", "", "", "", "", {}, {})}},
        {"UTF-16 little-endian with its mark",
         "\xFF\xFE" + utf16("BEGIN:VCARD\nFN:\xE9\nEND:VCARD\n", false),
         {expected("", "\xC3\xA9", "", "", "", "", {}, {})}},
        {"UTF-16 big-endian without a mark",
         utf16("BEGIN:VCARD\nFN:x\nEND:VCARD\n", true),
         {expected("", "x", "", "", "", "", {}, {})}},
        {"vCard 2.1 names holding a comma, escaped or not",
         "BEGIN:VCARD\r\nVERSION:2.1\r\nFN:John O'Neil\\, Jr.\r\nN:O'Neil\\, Jr.;John;;;\r\n"
         "END:VCARD\r\nBEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=UTF-8:M\xC3\xBCller, Sr.;"
         "Hans,Peter\r\nEND:VCARD\r\nBEGIN:VCARD\r\nVERSION:3.0\r\nN:Doe;Jane,Ann;;;\r\n"
         "END:VCARD\r\n",
         {expected("", "John O'Neil, Jr.", "John", "O'Neil, Jr.", "", "", {}, {}),
          expected("", "", "Hans,Peter", "M\xC3\xBCller, Sr.", "", "", {}, {}),
          expected("", "", "Jane Ann", "Doe", "", "", {}, {})}},
        {"vCard 2.1 quoted-printable with a soft break and a charset",
         "BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:M=C3=BCller;J="
         "\r\n"
         "=C3=B6rg\r\nFN;QUOTED-PRINTABLE;CHARSET=ISO-8859-1:J=F6rg M=FCller\r\nEND:VCARD\r\n",
         {expected("", "J\xC3\xB6rg M\xC3\xBCller", "J\xC3\xB6rg", "M\xC3\xBCller", "", "", {},
                   {})}},
        {"no cards", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(VCardParser::parse(c.text), c.cards);
    }
}

// A card of a few bytes is a few hundred in memory: the cards of a text are bounded in
// proportion to it, later ones left out.
TEST(VCardParserTest, WhatATextYieldsIsBoundedByItsSize) {
    std::string text;
    constexpr std::size_t kCards = 40'000;  // 680 KB of text, 9.6 MB of cards
    for (std::size_t i = 0; i < kCards; ++i) {
        text += "BEGIN:VCARD\nFN:a\n";
    }
    const auto cards = VCardParser::parse(text);
    EXPECT_GT(cards.size(), kCards / 2);
    EXPECT_LT(cards.size(), kCards);
    EXPECT_EQ(cards.front().formattedName, "a");
}

// A card that holds nothing a contact keeps is not returned, only counted; the cards around it
// are.
TEST(VCardParserTest, EmptyCardsAreCountedNotKept) {
    std::string text;
    for (int i = 0; i < 1000; ++i) {
        text += "BEGIN:VCARD\r\nVERSION:3.0\r\nNOTE:nothing kept\r\nEND:VCARD\r\n";
    }
    text += "BEGIN:VCARD\nFN:kept\nEND:VCARD\nBEGIN:VCARD\nEND:VCARD\n";
    std::size_t empty = 0;
    const auto cards = VCardParser::parse(text, "t.vcf", &empty);
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].formattedName, "kept");
    EXPECT_EQ(empty, 1001u);
}

// Soft line breaks are told from the head once per value, and what is not read (a photo) is
// not decoded: a long quoted-printable value and a long photo come through whole.
TEST(VCardParserTest, LongQuotedPrintableValuesAndPhotos) {
    std::string text = "BEGIN:VCARD\r\nPHOTO;ENCODING=b:" + std::string(100'000, 'Q') +
                       "\r\nNOTE;ENCODING=QUOTED-PRINTABLE:";
    for (int i = 0; i < 10'000; ++i) {
        text += "=41=\r\n";
    }
    text += "x\r\nFN;ENCODING=QUOTED-PRINTABLE:=41=\r\n=42\r\nEND:VCARD\r\n";
    const auto cards = VCardParser::parse(text);
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].formattedName, "AB");
}

// Old phones export cards in their own code page and name none, as raw bytes or
// quoted-printable: the names are read in the encoding those values are in, as a text file of
// them would be.
TEST(VCardParserTest, CardsWithoutACharsetAreReadInTheEncodingOfTheirText) {
    struct Person {
        std::string family;
        std::string given;
    };
    struct Case {
        const char* name;
        const char* encoding;
        bool quotedPrintable;
        std::vector<Person> people;
    };
    const std::vector<Person> japanese = {
        {"山田", "太郎"}, {"佐藤", "花子"}, {"鈴木", "一郎"}, {"高橋", "美咲"}};
    const std::vector<Person> russian = {
        {"Петрова", "Мария"}, {"Смирнова", "Ольга"}, {"Кузнецов", "Сергей"}};
    // Ten cards of short names: few bytes to tell GB18030 from EUC-KR by.
    const std::vector<Person> chinese = {{"张", "伟"}, {"王", "芳"}, {"李", "娜"}, {"刘", "洋"},
                                         {"陈", "静"}, {"杨", "磊"}, {"赵", "敏"}, {"黄", "强"},
                                         {"周", "杰"}, {"吴", "丽"}};
    const std::vector<Case> cases = {
        {"Japanese names in Shift_JIS", "Shift_JIS", false, japanese},
        {"Chinese names in GB18030", "GB18030", false, chinese},
        {"Russian names in windows-1251", "windows-1251", false, russian},
        {"Japanese names in quoted-printable Shift_JIS", "Shift_JIS", true, japanese},
        {"Russian names in quoted-printable windows-1251", "windows-1251", true, russian},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A value as the phone writes it: its bytes, or each of them as "=XX".
        const auto written = [&](const std::string& text) {
            const auto bytes = test::encodedAs(text, c.encoding);
            if (!c.quotedPrintable) {
                return bytes;
            }
            std::string out;
            for (const char byte : bytes) {
                static constexpr std::string_view kHex = "0123456789ABCDEF";
                const auto value = static_cast<unsigned char>(byte);
                out += '=';
                out += kHex[value / 16];
                out += kHex[value % 16];
            }
            return out;
        };
        const std::string encoding = c.quotedPrintable ? ";ENCODING=QUOTED-PRINTABLE" : "";
        std::string file;
        std::vector<SystemContact> cards;
        for (const auto& person : c.people) {
            file += "BEGIN:VCARD\r\nVERSION:2.1\r\nN" + encoding + ":" + written(person.family) +
                    ";" + written(person.given) + ";;;\r\nFN" + encoding + ":" +
                    written(person.family + " " + person.given) +
                    "\r\nTEL;CELL:090-1234-5678\r\nEND:VCARD\r\n";
            cards.push_back(expected("", person.family + " " + person.given, person.given,
                                     person.family, "", "", {"090-1234-5678"}, {}));
        }
        EXPECT_EQ(VCardParser::parse(file), cards);
    }
}

}  // namespace
}  // namespace vask
