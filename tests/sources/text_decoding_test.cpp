#include "sources/text_decoding.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encoded_text.h"
#include "sources/rich_text_reader.h"

namespace vask {
namespace {

using test::encodedAs;

TEST(TextDecodingTest, LabelsResolveAsTheEncodingTableResolvesThem) {
    struct Case {
        std::string label;
        std::optional<std::string> encoding;
    };
    const std::vector<Case> cases = {
        {"latin1", "windows-1252"},
        {"ISO-8859-1", "windows-1252"},
        {"ascii", "windows-1252"},
        {"US-ASCII", "windows-1252"},
        {" iso_8859-1:1987\t", "windows-1252"},
        {"x-user-defined", "windows-1252"},
        {"iso-8859-9", "windows-1254"},
        {"utf-16le", "UTF-8"},
        {"UTF8", "UTF-8"},
        {"866", "ibm-866"},
        {"x-mac-roman", "macintosh"},
        {"ms932", "windows-31j"},
        {"ks_c_5601-1987", "windows-949"},
        {"gb2312", "GBK"},
        {"koi8_r", "KOI8-R"},
        {"iso-8859-8-i", "ISO-8859-8"},
        // The standard's "replacement" labels, and what it does not list, are no labels.
        {"iso-2022-kr", std::nullopt},
        {"hz-gb-2312", std::nullopt},
        {"utf-32", std::nullopt},
        {"ibm037", std::nullopt},
        {"iso-8859-1\"", std::nullopt},
        {"", std::nullopt},
        {"iso-8859-16", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(TextDecoding::encodingOfLabel(c.label), c.encoding);
    }
    // Every encoding a label gives is one the converter opens.
    for (const auto* label : {"866",          "iso-8859-2",     "iso-8859-3",   "iso-8859-4",
                              "iso-8859-5",   "iso-8859-6",     "iso-8859-7",   "iso-8859-8",
                              "iso-8859-10",  "iso-8859-13",    "iso-8859-14",  "iso-8859-15",
                              "koi8-r",       "koi8-u",         "macintosh",    "windows-874",
                              "windows-1250", "windows-1251",   "windows-1252", "windows-1253",
                              "windows-1254", "windows-1255",   "windows-1256", "windows-1257",
                              "windows-1258", "x-mac-cyrillic", "gbk",          "gb18030",
                              "big5",         "euc-jp",         "iso-2022-jp",  "shift_jis",
                              "euc-kr"}) {
        SCOPED_TRACE(label);
        const auto encoding = TextDecoding::encodingOfLabel(label);
        ASSERT_TRUE(encoding.has_value());
        EXPECT_EQ(TextDecoding::convert("plain ASCII", encoding->c_str()), "plain ASCII");
    }
}

// Pages as older sites and saved mail write them; each must read as its UTF-8 original.
TEST(TextDecodingTest, PagesReadInTheEncodingTheyDeclareWhereverTheyDeclareIt) {
    const std::string french =
        "\xE2\x80\x9C"
        "Bonjour\xE2\x80\x9D \xE2\x80\x94 l\xE2\x80\x99\xC3\xA9t\xC3\xA9 arrive"
        "\xE2\x80\xA6";
    const std::string russian =
        "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 "
        "\xD0\xBC\xD0\xB8\xD1\x80";
    const std::string style = "<style>" + std::string(5 * 1024, ' ') + "p { margin: 0 }</style>";
    struct Case {
        std::string name;
        std::string page;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"http-equiv naming ISO-8859-1 on windows-1252 bytes",
         encodedAs("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                   "charset=iso-8859-1\"></head><body><p>" +
                       french + "</p></body></html>",
                   "windows-1252"),
         french},
        {"http-equiv naming US-ASCII on windows-1252 bytes",
         encodedAs("<html><head><meta http-equiv='content-type' content='text/html; "
                   "charset=us-ascii'></head><body>" +
                       french + "</body></html>",
                   "windows-1252"),
         french},
        {"a quoted charset inside the content",
         encodedAs("<html><meta http-equiv=\"Content-Type\" content=\"text/html; "
                   "charset='koi8-r'\"><p>" +
                       russian,
                   "KOI8-R"),
         russian},
        {"a meta after 5 KB of style",
         encodedAs("<html><head>" + style + "<meta charset=\"koi8-r\"></head><body>" + russian,
                   "KOI8-R"),
         russian},
        {"a meta in the body",
         encodedAs("<html><body><p>" + russian + "</p><meta charset=windows-1251></body></html>",
                   "windows-1251"),
         russian},
        {"a content without http-equiv names nothing",
         "<html><meta content=\"text/html; charset=koi8-r\"><p>" + russian, russian},
        {"a meta inside a script is no element",
         "<html><script>document.write('<meta charset=koi8-r>')</script><p>" + russian, russian},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RichTextReader::htmlText(c.page), c.text);
    }
}

// A page that declares nothing is guessed from the text it shows: a long Latin-1 comment in its
// style sheet does not make a KOI8-R page Latin-1.
TEST(TextDecodingTest, UndeclaredPagesAreGuessedFromTheirTextNotTheirStyles) {
    const std::string russian =
        "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80! "
        "\xD0\x9A\xD0\xB0\xD0\xBA \xD0\xB4\xD0\xB5\xD0\xBB\xD0\xB0? \xD0\x92\xD1\x81\xD1\x91 "
        "\xD1\x85\xD0\xBE\xD1\x80\xD0\xBE\xD1\x88\xD0\xBE, \xD1\x81\xD0\xBF\xD0\xB0\xD1\x81"
        "\xD0\xB8\xD0\xB1\xD0\xBE.";
    std::string css;
    for (int i = 0; i < 40; ++i) {
        css +=
            "/* Feuille de style cr\xE9\xE9"
            "e \xE0 l'\xE9t\xE9 pour la biblioth\xE8que */\n";
    }
    const auto page = "<html><head><style>" + css + "</style></head><body><p>" +
                      encodedAs(russian, "KOI8-R") + "</p></body></html>";
    EXPECT_EQ(RichTextReader::htmlText(page), russian);
}

// Plain text as editors and tools of other systems save it.
TEST(TextDecodingTest, PlainTextInLegacyEncodingsReadsAsWritten) {
    const std::string po =
        "msgid \"\"\nmsgstr \"\"\n\"Content-Type: text/plain; charset=CP866\\n\"\n\n"
        "msgid \"Hello world\"\nmsgstr \"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 "
        "\xD0\xBC\xD0\xB8\xD1\x80\"\n\nmsgid \"Open file\"\nmsgstr \"\xD0\x9E\xD1\x82\xD0\xBA"
        "\xD1\x80\xD1\x8B\xD1\x82\xD1\x8C \xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB\"\n";
    const std::string japanese =
        "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF\xE3\x80\x81\xE4\xB8\x96"
        "\xE7\x95\x8C\xE3\x80\x82\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x86"
        "\xE3\x82\xAD\xE3\x82\xB9\xE3\x83\x88\xE3\x81\xA7\xE3\x81\x99\xE3\x80\x82\n";
    const std::string french =
        "Le caf\xC3\xA9 \xC3\xA9tait ferm\xC3\xA9; o\xC3\xB9 \xC3\xAAtes-vous? \xC3\x87"
        "a va tr\xC3\xA8s bien, na\xC3\xAFve No\xC3\xABl \xC3\xA0 c\xC3\xB4t\xC3\xA9.\n";
    const std::string german =
        "Gr\xC3\xBC\xC3\x9F"
        "e aus M\xC3\xBC"
        "nchen! Die Stra\xC3\x9F"
        "e ist gesperrt, wir m\xC3\xBCssen \xC3\xBC"
        "ber die Br\xC3\xBC"
        "cke fahren.\n";
    struct Case {
        std::string name;
        std::string bytes;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"a Russian .po file in cp866", encodedAs(po, "ibm-866"), po},
        {"Russian in KOI8-R", encodedAs(po, "KOI8-R"), po},
        {"Russian in windows-1251", encodedAs(po, "windows-1251"), po},
        {"Japanese in ISO-2022-JP", encodedAs(japanese, "ISO-2022-JP"), japanese},
        {"Japanese in Shift_JIS", encodedAs(japanese, "Shift_JIS"), japanese},
        {"Japanese in EUC-JP", encodedAs(japanese, "EUC-JP"), japanese},
        {"a short line of Japanese in Shift_JIS",
         encodedAs("\xE6\x9D\xB1\xE4\xBA\xAC\xE3\x81\xAB\xE8\xA1\x8C\xE3\x81\x8D\xE3\x81"
                   "\xBE\xE3\x81\x99\n",
                   "Shift_JIS"),
         "\xE6\x9D\xB1\xE4\xBA\xAC\xE3\x81\xAB\xE8\xA1\x8C\xE3\x81\x8D\xE3\x81\xBE\xE3"
         "\x81\x99\n"},
        {"a short line of Chinese in GBK",
         encodedAs("\xE8\xBF\x99\xE6\x98\xAF\xE4\xB8\x80\xE6\xAE\xB5\xE7\xAE\x80\xE4\xBD\x93\xE4"
                   "\xB8\xAD\xE6\x96\x87\xE7\x9A\x84\xE6\x96\x87\xE6\x9C\xAC\xE3\x80\x82\x0A",
                   "GBK"),
         "\xE8\xBF\x99\xE6\x98\xAF\xE4\xB8\x80\xE6\xAE\xB5\xE7\xAE\x80\xE4\xBD\x93\xE4\xB8\xAD\xE6"
         "\x96\x87\xE7\x9A\x84\xE6\x96\x87\xE6\x9C\xAC\xE3\x80\x82\x0A"},
        {"a short line of Korean in EUC-KR",
         encodedAs("\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4\x20\xED\x85\x8D\xEC\x8A\xA4\xED\x8A\xB8"
                   "\xEC\x9E\x85\xEB\x8B\x88\xEB\x8B\xA4\x2E\x20\xEC\x95\x88\xEB\x85\x95\xED\x95"
                   "\x98\xEC\x84\xB8\xEC\x9A\x94\x2E\x0A",
                   "windows-949"),
         "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4\x20\xED\x85\x8D\xEC\x8A\xA4\xED\x8A\xB8\xEC\x9E\x85"
         "\xEB\x8B\x88\xEB\x8B\xA4\x2E\x20\xEC\x95\x88\xEB\x85\x95\xED\x95\x98\xEC\x84\xB8\xEC\x9A"
         "\x94\x2E\x0A"},
        {"a short line of Chinese in Big5",
         encodedAs("\xE9\x80\x99\xE6\x98\xAF\xE4\xB8\x80\xE6\xAE\xB5\xE7\xB9\x81\xE9\xAB\x94\xE4"
                   "\xB8\xAD\xE6\x96\x87\xE7\x9A\x84\xE6\x96\x87\xE5\xAD\x97\xE3\x80\x82\x0A",
                   "Big5"),
         "\xE9\x80\x99\xE6\x98\xAF\xE4\xB8\x80\xE6\xAE\xB5\xE7\xB9\x81\xE9\xAB\x94\xE4\xB8\xAD\xE6"
         "\x96\x87\xE7\x9A\x84\xE6\x96\x87\xE5\xAD\x97\xE3\x80\x82\x0A"},
        {"French in cp850", encodedAs(french, "ibm-850"), french},
        {"French in MacRoman", encodedAs(french, "macintosh"), french},
        {"French in windows-1252", encodedAs(french, "windows-1252"), french},
        {"German in cp850", encodedAs(german, "ibm-850"), german},
        {"German in MacRoman", encodedAs(german, "macintosh"), german},
        {"UTF-16LE with its byte order mark", "\xFF\xFE" + encodedAs(french, "UTF-16LE"), french},
        {"UTF-16BE with its byte order mark", "\xFE\xFF" + encodedAs(german, "UTF-16BE"), german},
        {"UTF-8 with its byte order mark", "\xEF\xBB\xBF" + german, german},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TextDecoding::plainText(c.bytes), c.text);
        std::string encoding;
        if (!TextDecoding::unicodeText(c.bytes)) {
            EXPECT_EQ(TextDecoding::detected(c.bytes, &encoding), c.text) << encoding;
        }
    }
}

// Text as it is left on disk: UTF-8 cut at a size limit or with a stray byte, Thai and Baltic
// Windows pages, and legacy text after a long stretch of ASCII.
TEST(TextDecodingTest, OrdinaryFilesReadAsTheirAuthorsWroteThem) {
    const std::string replacement = "\xEF\xBF\xBD";
    const std::string russian = "Привет, мир! Как дела? Всё хорошо, спасибо.\n";
    const std::string thai = "ภาษาไทยเป็นภาษาที่มีวรรณยุกต์ ผู้คนในประเทศไทยพูดภาษานี้ทุกวัน\n";
    const std::string lithuanian =
        "Lietuvių kalba yra viena seniausių gyvų kalbų. Šiandien ją "
        "vartoja apie tris milijonus žmonių, gyvenančių Lietuvoje.\n";
    const std::string latvian =
        "Latviešu valoda ir dzimtā valoda aptuveni 1,5 miljoniem cilvēku. "
        "Rīgā dzīvo vairāk nekā sešsimt tūkstoši iedzīvotāju.\n";
    const std::string ascii = std::string(70 * 1024, 'x') + "\n";
    struct Case {
        std::string name;
        std::string bytes;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"UTF-8 cut inside a character", russian.substr(0, 11), "Приве" + replacement},
        {"UTF-8 with one stray byte", "Привет\xFF мир\n", "Привет" + replacement + " мир\n"},
        {"a long UTF-8 log cut at its limit",
         [&] {
             std::string log;
             for (int i = 0; i < 200; ++i) {
                 log += russian;
             }
             return log.substr(0, log.size() - 1 - 2);
         }(),
         [&] {
             std::string log;
             for (int i = 0; i < 200; ++i) {
                 log += russian;
             }
             return log.substr(0, log.size() - 1 - 3) + replacement;
         }()},
        {"a short name in windows-1251 is no UTF-8", encodedAs("Пётр Ёлкин\n", "windows-1251"),
         "Пётр Ёлкин\n"},
        {"Thai in windows-874", encodedAs(thai, "windows-874"), thai},
        {"Lithuanian in windows-1257", encodedAs(lithuanian, "windows-1257"), lithuanian},
        {"Latvian in windows-1257", encodedAs(latvian, "windows-1257"), latvian},
        // Latin languages of other code pages stay where they were.
        {"Danish in windows-1252",
         encodedAs("Søren bor i København, på øen tæt ved søen.\n", "windows-1252"),
         "Søren bor i København, på øen tæt ved søen.\n"},
        {"Icelandic in windows-1252",
         encodedAs("Þetta er íslenska. Það er gott að búa á Íslandi þegar sólin skín.\n",
                   "windows-1252"),
         "Þetta er íslenska. Það er gott að búa á Íslandi þegar sólin skín.\n"},
        {"Polish in windows-1250",
         encodedAs("Zażółć gęślą jaźń. Łódź leży w środkowej Polsce.\n", "windows-1250"),
         "Zażółć gęślą jaźń. Łódź leży w środkowej Polsce.\n"},
        {"windows-1251 after 70 KB of ASCII", ascii + encodedAs(russian, "windows-1251"),
         ascii + russian},
        {"cp866 after 70 KB of ASCII", ascii + encodedAs(russian, "ibm-866"), ascii + russian},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string encoding;
        EXPECT_EQ(TextDecoding::detected(c.bytes, &encoding), c.text) << encoding;
        EXPECT_EQ(TextDecoding::plainText(c.bytes), c.text);
    }
}

// A page that declares nothing is guessed as its text would be in a file.
TEST(TextDecodingTest, UndeclaredPagesAreGuessedAsTheirTextInAFile) {
    const std::string replacement = "\xEF\xBF\xBD";
    struct Case {
        std::string name;
        std::string text;
        const char* encoding;
    };
    const std::vector<Case> cases = {
        {"one Turkish sentence", "Bugün hava çok güzel, şehirde yürüyüş yapalım mı?",
         "windows-1254"},
        {"one Czech sentence", "Příliš žluťoučký kůň úpěl ďábelské ódy.", "windows-1250"},
        {"two Greek sentences", "Καλημέρα σας. Πώς είστε σήμερα;", "windows-1253"},
        {"Thai", "ภาษาไทยเป็นภาษาที่มีวรรณยุกต์ ผู้คนในประเทศไทยพูดภาษานี้ทุกวัน", "windows-874"},
        {"Lithuanian", "Lietuvių kalba yra viena seniausių gyvų kalbų, ją vartoja žmonės.",
         "windows-1257"},
        {"Japanese in ISO-2022-JP", "こんにちは、世界。日本語のテキストです。", "ISO-2022-JP"},
        // The long-vowel mark ー is "〖" in GB18030.
        {"EUC-JP with long vowels", "サーバーのメンテナンスは明日の午前中に行います。", "EUC-JP"},
        {"EUC-JP of coffee and mail", "コーヒーを飲みながらメールを書きました。", "EUC-JP"},
        {"one short line of EUC-JP", "メールを送ってください。", "EUC-JP"},
        {"Ukrainian in KOI8-U", "Привіт! Їжак і єнот шукають ґудзик на подвір'ї.", "KOI8-U"},
        // windows-1258 writes tone marks as combining characters after their letters.
        {"Vietnamese in windows-1258",
         "Tiê\u0301ng Viê\u0323t là ngôn ngư\u0303 chi\u0301nh thư\u0301c cu\u0309a Viê\u0323t "
         "Nam, "
         "đươ\u0323c nhiê\u0300u ngươ\u0300i sư\u0309 du\u0323ng.",
         "windows-1258"},
        {"Latvian in ISO-8859-4",
         "Rīgā dzīvo vairāk nekā sešsimt tūkstoši iedzīvotāju, ļoti daudz.", "ISO-8859-4"},
        {"Russian in Mac Cyrillic", "Привет, мир! Как дела? Всё хорошо, спасибо. Юрий Яковлев.",
         "x-mac-cyrillic"},
        {"Korean in ISO-2022-KR", "한국어 텍스트입니다. 안녕하세요.", "ISO-2022-KR"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto body = encodedAs(c.text, c.encoding);
        EXPECT_EQ(TextDecoding::plainText(body), c.text);
        EXPECT_EQ(RichTextReader::htmlText("<html><body><p>" + body + "</p></body></html>"),
                  c.text);
    }
    // UTF-16 saved without a byte order mark: NULs in every other byte of its ASCII.
    for (const auto* encoding : {"UTF-16LE", "UTF-16BE"}) {
        SCOPED_TRACE(encoding);
        const std::string text = "Hello, world.\nПривет, мир! Café at 5pm.\n";
        EXPECT_EQ(TextDecoding::unicodeText(encodedAs(text, encoding)), text);
        EXPECT_EQ(TextDecoding::detected(encodedAs(text, encoding)), text);
        EXPECT_EQ(TextDecoding::plainText(encodedAs(text, encoding)), text);
        EXPECT_EQ(RichTextReader::htmlText(
                      encodedAs("<html><body><p>" + text + "</p></body></html>", encoding)),
                  "Hello, world. Привет, мир! Café at 5pm.");
    }
    // Binary data with NULs in every other byte is no text.
    std::string samples;
    for (int i = 0; i < 512; ++i) {
        samples += static_cast<char>(i % 7 + 1);
        samples += '\0';
    }
    EXPECT_EQ(TextDecoding::unmarkedUtf16Encoding(samples), std::nullopt);
    EXPECT_EQ(TextDecoding::plainText(samples), std::nullopt);
    // A UTF-8 page cut inside its last character.
    EXPECT_EQ(RichTextReader::htmlText("<html><body><p>Привет, мир\xD1"),
              "Привет, мир" + replacement);
}

}  // namespace
}  // namespace vask
