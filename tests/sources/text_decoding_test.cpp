#include "sources/decoding/text_decoding.h"

#include <gtest/gtest.h>

#include <unicode/utf8.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "encoded_text.h"
#include "platform/text.h"
#include "sources/rich_text_reader.h"

namespace vask {
namespace {

using test::encodedAs;

// Where a long text read differs from what was written, for a failure's message (the texts
// themselves are too long to print).
std::string difference(const std::optional<std::string>& read, const std::string& written) {
    if (!read) {
        return "nothing read";
    }
    const auto [at, ignored] =
        std::mismatch(read->begin(), read->end(), written.begin(), written.end());
    const auto offset = static_cast<std::size_t>(at - read->begin());
    if (offset == read->size() && read->size() == written.size()) {
        return "the same";
    }
    return "from byte " + std::to_string(offset) + " of " + std::to_string(written.size()) +
           ", read as \"" + text::toValidUtf8(read->substr(offset, 40)) + "\"";
}

// With VASK_ENCODING_CORPUS naming a folder, each text the tables below read as a file is kept
// there (its bytes, and beside them as NAME.utf8 how it reads right), for the measure of the
// guess beside bare uchardet (tools/encoding-comparison).
void keepForComparison(const std::string& name, const std::string& bytes, const std::string& text) {
    const char* folder = std::getenv("VASK_ENCODING_CORPUS");
    if (folder == nullptr) {
        return;
    }
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::string file = std::string(test) + "-" + name;
    for (auto& c : file) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') {
            c = '-';
        }
    }
    const auto path = std::filesystem::path(folder) / file;
    std::filesystem::create_directories(folder);
    std::ofstream(path, std::ios::binary) << bytes;
    std::ofstream(path.string() + ".utf8", std::ios::binary) << text;
}

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
        {"iso-8859-16", "ISO-8859-16"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(decoding::encodingOfLabel(c.label), c.encoding);
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
                              "euc-kr",       "iso-8859-16"}) {
        SCOPED_TRACE(label);
        const auto encoding = decoding::encodingOfLabel(label);
        ASSERT_TRUE(encoding.has_value());
        EXPECT_EQ(decoding::convert("plain ASCII", encoding->c_str()), "plain ASCII");
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
        keepForComparison(c.name, c.bytes, c.text);
        EXPECT_EQ(decoding::plainText(c.bytes), c.text);
        std::string encoding;
        if (!decoding::unicodeText(c.bytes)) {
            EXPECT_EQ(decoding::detected(c.bytes, &encoding), c.text) << encoding;
        }
    }
}

// Text in windows-1252 whose only bytes above ASCII are typographic punctuation (manual pages
// and notes converted by iconv): DOS code pages make accented letters of those bytes ("à" for
// "…", "û" for "–", "äTextô" for "„Text“"), standing where no word has them. Text in those code
// pages, whose letters stand in words, stays in them.
TEST(TextDecodingTest, TypographicPunctuationInWindows1252IsNoDosLetter) {
    const auto repeated = [](const std::string& paragraph, std::size_t bytes) {
        std::string text;
        while (text.size() < bytes) {
            text += paragraph;
        }
        return text;
    };
    // Longer than the 64 KB the guess reads.
    constexpr std::size_t kLong = std::size_t{70} * 1024;
    const std::string germanEllipses =
        "Der Befehl liest die angegebenen Dateien und schreibt sie auf die Standardausgabe… Wird "
        "keine Datei angegeben, so liest er von der Standardeingabe…\nDie Optionen sind in der "
        "Info-Seite genauer beschrieben… Siehe auch [DATEI]… und die Dokumentation im Paket "
        "coreutils.\n";
    const std::string frenchEllipses =
        "Le programme lit chaque fichier et affiche son contenu… Sans fichier, il lit ce qui "
        "arrive sur son canal standard…\nLes options sont toutes dans la page info… Voir aussi "
        "[FICHIER]… et la documentation du paquet.\n";
    const std::string germanQuotes =
        "Die Datei „Liste“ wird gelesen, die Datei „Ausgabe“ geschrieben. Die Variable „LANG“ "
        "bestimmt die Sprache, „TERM“ die Art des Terminals.\n";
    const std::string frenchQuotes =
        "Le fichier “liste” est lu et le fichier “sortie” reste vide. La variable “LANG” donne la "
        "langue, “TERM” le type du terminal.\n";
    const std::string germanDashes =
        "Die Datei – sofern vorhanden – wird zuerst gelesen. Die Seiten 10–12 und 20–24 "
        "beschreiben das Format – mehr steht in der Info-Seite.\n";
    const std::string frenchDashes =
        "Le fichier – s'il existe – est lu en premier. Les pages 10–12 et 20–24 donnent le "
        "format – voir aussi la page info.\n";
    const std::string frenchInCp850 =
        "Le café était déjà fermé à midi; où êtes-vous ? Voilà la gare, là-bas à côté du "
        "marché.\n";
    struct Case {
        std::string name;
        std::string text;
        const char* encoding;
    };
    const std::vector<Case> cases = {
        {"a German synopsis with ellipses",
         "ls [OPTION]… [DATEI]…\nListet Informationen zu den DATEIen auf… Standard ist das "
         "aktuelle Verzeichnis…\n",
         "windows-1252"},
        {"a French synopsis with ellipses",
         "ls [OPTION]… [FICHIER]…\nAfficher des informations sur les FICHIERs… Sans argument, le "
         "dossier courant…\n",
         "windows-1252"},
        {"German with ellipses", germanEllipses, "windows-1252"},
        {"a long German text with ellipses", repeated(germanEllipses, kLong), "windows-1252"},
        {"French with ellipses", frenchEllipses, "windows-1252"},
        {"a long French text with ellipses", repeated(frenchEllipses, kLong), "windows-1252"},
        {"German with its curly quotes", germanQuotes, "windows-1252"},
        {"a long German text with its curly quotes", repeated(germanQuotes, kLong), "windows-1252"},
        {"French with curly quotes", frenchQuotes, "windows-1252"},
        {"a long French text with curly quotes", repeated(frenchQuotes, kLong), "windows-1252"},
        {"German with en dashes", germanDashes, "windows-1252"},
        {"a long German text with en dashes", repeated(germanDashes, kLong), "windows-1252"},
        {"German with en dashes between numbers",
         "Die Optionen stehen auf den Seiten 10–12, die Beispiele auf 20–24 und 30–36, der Index "
         "auf 40–48.\n",
         "windows-1252"},
        {"French with en dashes", frenchDashes, "windows-1252"},
        {"a long French text with en dashes", repeated(frenchDashes, kLong), "windows-1252"},
        // What these bytes are in cp850, where they stand in words.
        {"French in cp850 with \"à\" after words and alone",
         "Il est déjà là. Voilà le train à Paris à midi, le café est en face.\n", "ibm-850"},
        {"Italian in cp850",
         "La città è bella e l'università è antica. Però il caffè costa di più e perché la "
         "libertà è cara, nessuno ci va.\n",
         "ibm-850"},
        // Windows pages make "…" of "à" and "Š" of "è".
        {"an Italian line in cp850 of \"à\" and \"è\" alone",
         "La città è bella, la libertà è cara, la verità è semplice.\n", "ibm-850"},
        {"German in cp850 with words that begin with umlauts",
         "Bitte ändern Sie die Einstellungen und öffnen Sie die Datei erneut. Ähnlich geht es "
         "beim Schließen: öfter speichern, schön älter werden.\n",
         "ibm-850"},
        {"a long French text in cp850", repeated(frenchInCp850, kLong), "ibm-850"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto bytes = encodedAs(c.text, c.encoding);
        keepForComparison(c.name, bytes, c.text);
        std::string encoding;
        const auto detected = decoding::detected(bytes, &encoding);
        EXPECT_TRUE(detected == c.text) << encoding << ": " << difference(detected, c.text);
        EXPECT_EQ(decoding::guessedEncoding(bytes), std::string(c.encoding));
        const auto plain = decoding::plainText(bytes);
        EXPECT_TRUE(plain == c.text) << difference(plain, c.text);
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
        // A download cut short inside its last two-byte character.
        {"Japanese in Shift_JIS cut inside its last character",
         [] {
             const auto bytes = encodedAs(
                 "明日の会議は午後三時からです。資料を忘れずに持ってきてください。", "Shift_JIS");
             return bytes.substr(0, bytes.size() - 1);
         }(),
         "明日の会議は午後三時からです。資料を忘れずに持ってきてください" + replacement},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        keepForComparison(c.name, c.bytes, c.text);
        std::string encoding;
        EXPECT_EQ(decoding::detected(c.bytes, &encoding), c.text) << encoding;
        EXPECT_EQ(decoding::plainText(c.bytes), c.text);
    }
}

// A page that declares nothing is guessed as its text would be in a file. Everyday texts keep
// the code page of their language, as a file and as such a page: a pound sign is no Central
// European "Ł", Greek "Ά" no quotation mark, a Korean jamo no Chinese kana.
TEST(TextDecodingTest, UndeclaredPagesAreGuessedAsTheirTextInAFile) {
    const std::string replacement = "\xEF\xBF\xBD";
    struct Case {
        std::string name;
        std::string text;
        const char* encoding;
        // What is read, when it is not the text (which the encoding may write otherwise).
        std::string read = {};
    };
    std::string latvianNotes;
    for (int i = 0; i < 100; ++i) {
        latvianNotes += "Tikšanās pēc pusdienām. Mēs apspriedīsim jaunās idejas un plānus. ";
    }
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
         "windows-1258",
         "Tiếng Việt là ngôn ngữ chính thức của Việt Nam, được nhiều người sử dụng."},
        // Windows' Baltic page makes Turkish letters of Latvian ones in ISO-8859-9.
        {"one Latvian word", "Tikšanās", "windows-1257"},
        {"a short Latvian line", "Tikšanās pēc pusdienām.", "windows-1257"},
        {"long Latvian notes", latvianNotes, "windows-1257"},
        {"Latvian in ISO-8859-4",
         "Rīgā dzīvo vairāk nekā sešsimt tūkstoši iedzīvotāju, ļoti daudz.", "ISO-8859-4"},
        {"Russian in Mac Cyrillic", "Привет, мир! Как дела? Всё хорошо, спасибо. Юрий Яковлев.",
         "x-mac-cyrillic"},
        {"Korean in ISO-2022-KR", "한국어 텍스트입니다. 안녕하세요.", "ISO-2022-KR"},
        {"English with a pound sign in windows-1252", "Dinner was £32.50 — not bad.",
         "windows-1252"},
        {"English with a pound sign in Latin-1", "Dinner was £32.50, not bad.", "ISO-8859-1"},
        {"a rent in Latin-1", "Rent: £850 per month", "ISO-8859-1"},
        {"Latvian in windows-1257 without š, ž or č",
         "Rīt mēs brauksim uz jūru, ja laiks būs silts.", "windows-1257"},
        {"a Korean manual page in EUC-KR with a stray jamo",
         "설명: 파일에 대한 정보를 나열합니다 (기본값은 현재 디렉터리). -cftuvSUX 또는 --sort 중 "
         "아무것도 지정하지 않으면 항목을 알파벳순으로 정렬합니다. ㅎ 긴 옵션에 필수인 인자는 "
         "짧은 옵션에도 필수입니다. -a, --all: . 으로 시작하는 항목을 무시하지 않습니다.",
         "windows-949"},
        {"Lithuanian in ISO-8859-13 with „ “", "Mokytoja pasakė: „Rytoj bus egzaminas“.",
         "ISO-8859-13"},
        {"Greek in windows-1253 with Ά", "Άδεια διαμονής: η αίτηση εγκρίθηκε χθες.",
         "windows-1253"},
        {"a line of Russian in windows-1251", "Список покупок: Хлеб, Молоко, Сыр, Помидоры.",
         "windows-1251"},
        {"Polish in windows-1250", "Zażółć gęślą jaźń. Łódź leży w środkowej Polsce.",
         "windows-1250"},
        {"Polish in ISO-8859-2", "Proszę zamknąć okno, bo wieje zimny wiatr.", "ISO-8859-2"},
        {"Slovak in windows-1250", "Ďakujem, že ste prišli včas na stretnutie.", "windows-1250"},
        {"Hungarian in ISO-8859-2", "Árvíztűrő tükörfúrógép és öt szép szűz lány.", "ISO-8859-2"},
        // ISO-8859-2 has only the cedilla's "ş" and "ţ" for Romanian's "ș" and "ț", in the bytes
        // ISO-8859-16 gives them: the two pages read Romanian alike but for those, and it is read
        // with the letters Romanian is written with.
        {"Romanian in ISO-8859-2", "Ştefan cel Mare şi Sfânt a fost domnitorul Moldovei.",
         "ISO-8859-2", "Ștefan cel Mare și Sfânt a fost domnitorul Moldovei."},
        {"Latvian in windows-1257", "Tikšanās pēc pusdienām. Mēs apspriedīsim jaunās idejas.",
         "windows-1257"},
        {"Lithuanian in windows-1257", "Šiandien ją vartoja apie tris milijonus žmonių.",
         "windows-1257"},
        {"Lithuanian in windows-1257 with „ “", "Jis tarė: „Labas rytas“ ir išėjo į darbą.",
         "windows-1257"},
        {"German in windows-1252", "Grüße aus München! Die Straße ist gesperrt.", "windows-1252"},
        {"French in windows-1252", "Le café était fermé; où êtes-vous? Ça va très bien.",
         "windows-1252"},
        {"Russian in KOI8-R", "Привет, мир! Как дела? Всё хорошо, спасибо.", "KOI8-R"},
        {"Ukrainian in windows-1251", "Привіт! Їжак і єнот шукають ґудзик на подвір'ї.",
         "windows-1251"},
        {"Greek in ISO-8859-7", "Καλημέρα σας. Πώς είστε σήμερα;", "ISO-8859-7"},
        {"Hebrew in windows-1255", "שלום עולם, מה שלומך היום?", "windows-1255"},
        {"Arabic in windows-1256", "مرحبا بالعالم، كيف حالك اليوم؟", "windows-1256"},
        {"Japanese in Shift_JIS", "明日の会議は午後三時からです。", "Shift_JIS"},
        {"Chinese in GB18030", "这是一段简体中文的文本。", "GB18030"},
        {"Chinese in Big5", "這是一段繁體中文的文字。", "Big5"},
        {"Korean in EUC-KR", "한국어 텍스트입니다. 안녕하세요.", "windows-949"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto body = encodedAs(c.text, c.encoding);
        const std::string read = c.read.empty() ? c.text : c.read;
        keepForComparison(c.name, body, read);
        const auto plain = decoding::plainText(body);
        EXPECT_TRUE(plain == read) << difference(plain, read);
        const auto page = RichTextReader::htmlText("<html><body><p>" + body + "</p></body></html>");
        EXPECT_TRUE(page == text::trimmed(read))
            << difference(page, std::string(text::trimmed(read)));
    }
    // UTF-16 saved without a byte order mark: NULs in every other byte of its ASCII.
    for (const auto* encoding : {"UTF-16LE", "UTF-16BE"}) {
        SCOPED_TRACE(encoding);
        const std::string text = "Hello, world.\nПривет, мир! Café at 5pm.\n";
        EXPECT_EQ(decoding::unicodeText(encodedAs(text, encoding)), text);
        EXPECT_EQ(decoding::detected(encodedAs(text, encoding)), text);
        EXPECT_EQ(decoding::plainText(encodedAs(text, encoding)), text);
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
    EXPECT_EQ(decoding::unmarkedUtf16Encoding(samples), std::nullopt);
    EXPECT_EQ(decoding::plainText(samples), std::nullopt);
    // A UTF-8 page cut inside its last character.
    EXPECT_EQ(RichTextReader::htmlText("<html><body><p>Привет, мир\xD1"),
              "Привет, мир" + replacement);
}

// Long texts in the legacy encodings of East Asia, as a novel or a report saved as text is: the
// guess reads a sample of the first 64 KB, which ends inside a two-byte character at one
// alignment of the text and between two at the next. Both read as written.
TEST(TextDecodingTest, LongLegacyEastAsianTextReadsRightWhereverItsSampleEnds) {
    constexpr std::size_t kSample = std::size_t{64} * 1024;
    struct Case {
        std::string name;
        std::string paragraph;
        const char* encoding;
    };
    const std::vector<Case> cases = {
        {"Japanese in Shift_JIS",
         "吾輩は猫である。名前はまだ無い。どこで生れたかとんと見当がつかぬ。"
         "何でも薄暗いじめじめした所でニャーニャー泣いていた事だけは記憶している。\n",
         "Shift_JIS"},
        {"Japanese in EUC-JP",
         "吾輩は猫である。名前はまだ無い。どこで生れたかとんと見当がつかぬ。"
         "何でも薄暗いじめじめした所でニャーニャー泣いていた事だけは記憶している。\n",
         "EUC-JP"},
        {"Chinese in GB18030",
         "这是一份关于今年第三季度销售情况的报告。我们的收入比去年同期增长了百分之十二，主要原因是"
         "新产品在市场上受到了欢迎。下一季度我们将继续扩大生产规模。\n",
         "GB18030"},
        {"Chinese in Big5",
         "這是一份關於今年第三季度銷售情況的報告。我們的收入比去年同期增長了百分之十二，主要原因是"
         "新產品在市場上受到了歡迎。下一季度我們將繼續擴大生產規模。\n",
         "Big5"},
        {"Korean in EUC-KR",
         "오늘 회의에서는 다음 분기의 예산과 일정에 대해 논의했습니다. "
         "모든 팀은 다음 주 금요일까지 보고서를 제출해야 합니다. "
         "질문이 있으면 언제든지 연락해 주세요.\n",
         "windows-949"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto paragraph = encodedAs(c.paragraph, c.encoding);
        // Where characters begin in the paragraph's bytes.
        std::vector<bool> boundary(paragraph.size() + 1, false);
        std::size_t at = 0;
        for (std::int32_t i = 0; i < static_cast<std::int32_t>(c.paragraph.size());) {
            const auto start = i;
            UChar32 ignored = 0;
            U8_NEXT(c.paragraph.data(), i, static_cast<std::int32_t>(c.paragraph.size()), ignored);
            boundary[at] = true;
            at += encodedAs(c.paragraph.substr(static_cast<std::size_t>(start),
                                               static_cast<std::size_t>(i - start)),
                            c.encoding)
                      .size();
        }
        std::string text;
        std::string bytes;
        while (bytes.size() < kSample * 3 / 2) {
            text += c.paragraph;
            bytes += paragraph;
        }
        bool cutInside = false;
        for (const std::size_t shift : {0, 1}) {
            SCOPED_TRACE(shift);
            // The sample starts with the text: a file of its first non-ASCII line.
            const std::string lead(shift, '-');
            cutInside = cutInside || !boundary[(kSample - shift) % paragraph.size()];
            keepForComparison(c.name + "-" + std::to_string(shift), lead + bytes, lead + text);
            std::string encoding;
            const auto detected = decoding::detected(lead + bytes, &encoding);
            EXPECT_TRUE(detected == lead + text)
                << encoding << ": " << difference(detected, lead + text);
            const auto plain = decoding::plainText(lead + bytes);
            EXPECT_TRUE(plain == lead + text) << difference(plain, lead + text);
        }
        EXPECT_TRUE(cutInside) << "no alignment ends the sample inside a character";
    }
    // An undeclared Korean page of 71 KB and more, which browsers guess from its text. Its
    // sample is of the text the page shows, whose spaces may fall at the sample's end: of four
    // alignments one at least ends it inside a character.
    const std::string korean =
        "오늘 회의에서는 다음 분기의 예산과 일정에 대해 논의했습니다. 모든 팀은 다음 주 "
        "금요일까지 보고서를 제출해야 합니다.";
    for (const std::size_t shift : {0, 1, 2, 3}) {
        SCOPED_TRACE(shift);
        std::string text = std::string(shift, '-');
        std::string bytes = text;
        const auto paragraph = encodedAs(korean, "windows-949");
        while (bytes.size() < 71 * 1024 + 100) {
            text += korean;
            bytes += paragraph;
        }
        const auto page = "<html><body><p>" + bytes + "</p></body></html>";
        const auto read = RichTextReader::htmlText(page);
        EXPECT_TRUE(read == text) << difference(read, text);
    }
}

// UTF-16 saved without a byte order mark, in scripts that write no ASCII: no NULs of spaces tell
// it, but read in one byte order it is text of one script and in the other it is not.
TEST(TextDecodingTest, UnmarkedUtf16WithoutAsciiIsFound) {
    struct Case {
        std::string name;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"a Japanese note", "明日の会議は午後三時からです。資料を忘れずに持ってきてください。"},
        {"a Japanese note of two lines",
         "明日の会議は午後三時からです。\n資料を忘れずに持ってきてください。\n"},
        {"a Chinese note", "明天下午三点开会，请大家准时参加，并带上上个月的销售报告。"},
        {"a Korean note", "내일 회의는 오후 세 시에 시작합니다. 자료를 꼭 가져오세요."},
        {"a Korean note without spaces", "회의자료를가져오세요감사합니다"},
        {"a Thai note", "ภาษาไทยเป็นภาษาที่มีวรรณยุกต์ ผู้คนในประเทศไทยพูดภาษานี้ทุกวัน"},
        {"a long Thai note",
         [] {
             std::string text;
             for (int i = 0; i < 200; ++i) {
                 text += "การประชุมพรุ่งนี้เริ่มบ่ายสามโมง กรุณานำเอกสารมาด้วย\n";
             }
             return text;
         }()},
    };
    for (const auto& c : cases) {
        for (const auto* order : {"UTF-16LE", "UTF-16BE"}) {
            SCOPED_TRACE(c.name + " in " + order);
            const auto bytes = encodedAs(c.text, order);
            keepForComparison(c.name + "-" + order, bytes, c.text);
            EXPECT_EQ(decoding::unmarkedUtf16Encoding(bytes), order);
            const auto unicode = decoding::unicodeText(bytes);
            EXPECT_TRUE(unicode == c.text) << difference(unicode, c.text);
            std::string encoding;
            const auto detected = decoding::detected(bytes, &encoding);
            EXPECT_TRUE(detected == c.text) << difference(detected, c.text);
            EXPECT_EQ(encoding, order);
            const auto plain = decoding::plainText(bytes);
            EXPECT_TRUE(plain == c.text) << difference(plain, c.text);
        }
    }
    // A note whose 4 KB sample ends between the two halves of an emoji.
    for (const auto* order : {"UTF-16LE", "UTF-16BE"}) {
        SCOPED_TRACE(order);
        std::string note;
        while (note.size() < 2047) {
            note += "note ";
        }
        note.resize(2047);
        note += "\U0001F600 done.\n";
        EXPECT_EQ(decoding::unmarkedUtf16Encoding(encodedAs(note, order)), order);
        EXPECT_EQ(decoding::plainText(encodedAs(note, order)), note);
    }
    // What is no UTF-16 stays what it is: legacy text of two-byte characters alone, text with
    // control characters (terminal colours, a DOS end-of-file mark, overstruck manual pages),
    // and data.
    struct Other {
        std::string name;
        std::string bytes;
    };
    std::string data;
    std::uint32_t state = 12345;
    for (int i = 0; i < 4096; ++i) {
        state = state * 1103515245U + 12345U;
        data += static_cast<char>(state >> 24);
    }
    const std::vector<Other> others = {
        {"Korean in EUC-KR without spaces",
         encodedAs("회의자료를가져오세요감사합니다", "windows-949")},
        {"Japanese in Shift_JIS without ASCII",
         encodedAs("明日の会議は午後三時からです。資料を忘れずに持ってきてください。",
                   "Shift_JIS")},
        {"Japanese in Shift_JIS with a DOS end mark",
         encodedAs("明日の会議は午後三時からです。\r\n資料を忘れずに持ってきてください。\r\n",
                   "Shift_JIS") +
             "\x1A"},
        {"a log in colours",
         "\x1B[32mINFO\x1B[0m server started on port 8080\n\x1B[31mERROR\x1B[0m disk full\n"},
        {"an overstruck manual page", "N\bNA\bAM\bME\bE\n     ls - list directory contents\n"},
        {"a text with a DOS end mark", "Meeting at three, bring the reports.\r\n\x1A"},
        {"random data", data},
        {"a few bytes of data", std::string("lease\x01\x02\x03", 8)},
        {"machine code", "\x0f\x6e\xc7\x66\x0f\x6e\xc8\x66\x0f\x62\xc1\x66\x0f\xd6\x05\x7d"},
    };
    for (const auto& other : others) {
        SCOPED_TRACE(other.name);
        EXPECT_EQ(decoding::unmarkedUtf16Encoding(other.bytes), std::nullopt);
    }
}

// Text in the code pages of languages that share them, as notes, subtitles and messages are
// saved: each reads in the page it was written in, not in another page of the same letters.
TEST(TextDecodingTest, LanguagesSharingCodePagesReadInTheirOwn) {
    struct Case {
        std::string name;
        std::string text;
        const char* encoding;
    };
    std::string turkishMessages;
    for (int i = 0; i < 20; ++i) {
        turkishMessages +=
            "Dosya açılamadı çünkü başka bir program tarafından kullanılıyor. Lütfen programı "
            "kapatıp yeniden deneyin. İşlem iptal edildi.\n";
    }
    const std::vector<std::string> lithuanianLines = {
        "Nežinomas vartotojas prisijungė 1-ą kartą.\n", "Sistema užregistravo jį.\n",
        "Ataskaita išsiųsta vadovui.\n", "Slaptažodis pakeistas sėkmingai.\n"};
    std::string lithuanianNotes;
    for (std::size_t i = 0; lithuanianNotes.size() < 40 * 1024; ++i) {
        lithuanianNotes += lithuanianLines[i % lithuanianLines.size()];
    }
    const std::vector<Case> cases = {
        // ISO-8859-3: Esperanto, Maltese and Turkish, which ISO-8859-2 reads as other letters.
        {"an Esperanto note",
         "Ĉu vi povas sendi al mi la dosieron ĝis vendredo? Mi ŝatus legi ĝin antaŭ la kunveno.",
         "ISO-8859-3"},
        {"an Esperanto line", "Bonvolu ŝalti la komputilon kaj kontroli, ĉu la ĝisdatigo sukcesis.",
         "ISO-8859-3"},
        {"an Esperanto text the detector names cp852 for",
         "Hieraŭ ni manĝis en malgranda restoracio apud la ĉefa placo. La supo estis bongusta, "
         "sed la deserto ŝajnis tro dolĉa por mi.",
         "ISO-8859-3"},
        {"a short Esperanto line", "La dosiero ne estas legebla ĉar ĝi estas ŝlosita.",
         "ISO-8859-3"},
        {"Esperanto with a German name",
         "Hieraŭ ni manĝis en malgranda restoracio apud la ĉefa placo. La supo estis bongusta, "
         "sed la deserto ŝajnis tro dolĉa por mi. Poste ni promenis ĝis la ponto, kaj ĉiuj "
         "babilis pri la libro de Gödel, kiun Ŝtefano aĉetis antaŭ ĉi tiu semajno. Ĉu vi jam "
         "legis ĝin? Ĝi ŝajnas al mi ĉarma kaj ĝuinda, ĉar ĝi montras ĉion, kion ŝi ŝatas.\n",
         "ISO-8859-3"},
        {"a Maltese line", "Il-Ħadd li għadda ħriġna nieklu ġo restorant żgħir ħdejn il-baħar.",
         "ISO-8859-3"},
        {"a Turkish note",
         "Yarın sabah toplantıya gelmeden önce raporu gözden geçirebilir misin? Çok teşekkür "
         "ederim, iyi akşamlar.",
         "ISO-8859-3"},
        {"Turkish messages", turkishMessages, "ISO-8859-3"},
        // ISO-8859-13: Lithuanian with the ordinal "1-ą" alone of its "ą".
        {"a Lithuanian note with an ordinal", "Nežinomas vartotojas prisijungė 1-ą kartą.",
         "ISO-8859-13"},
        {"a Lithuanian line with an ordinal",
         "Susitikimas vyks 1-ą valandą. Neužmirškite dokumentų.", "ISO-8859-13"},
        {"40 KB of Lithuanian notes", lithuanianNotes, "ISO-8859-13"},
        // ISO-8859-16: Romanian with its commas, which ICU cannot convert.
        {"a Romanian note",
         "Știți că mâine ședința începe la ora nouă? Vă rugăm să țineți ușa închisă.",
         "ISO-8859-16"},
        {"a Romanian message",
         "Fișierul nu a putut fi deschis deoarece este folosit de alt program. Închideți "
         "programul și încercați din nou.",
         "ISO-8859-16"},
        {"a Croatian message in ISO-8859-16",
         "Datoteka se ne može otvoriti jer je koristi drugi program. Zatvorite program i "
         "pokušajte ponovno.",
         "ISO-8859-16"},
        // windows-874: a subtitle the detector names UTF-8 for.
        {"a Thai subtitle",
         "1\r\n00:00:01,000 --> 00:00:03,500\r\nแพตเทิร์นตรวจค่าย้อนไม่ได้มีความยาวคงที่\r\n\r\n",
         "windows-874"},
        // ISO-8859-15: Estonian "š" and "ž", windows-1252's "¨" and "¸".
        {"an Estonian note",
         "Me sõitsime Tšehhi kaudu Ungarisse, kus garaažis ootas meid tuttav. Dušš oli külm, aga "
         "šokolaad maitses hästi.",
         "ISO-8859-15"},
        // cp850: an "é" ending a word, windows-1252's opening quotation mark "‚".
        {"a French DOS note",
         "contexte de traduction donné pour une valeur sans activation de l10n", "ibm-850"},
        // windows-1252: one sign of a unit, which DOS and Nordic pages read as a letter.
        {"a micrometre", "The part is 5µm thick.", "windows-1252"},
        {"a square metre", "The room is 20m² in size.", "windows-1252"},
        {"a microgram", "Weight: 5µg per tablet", "windows-1252"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto bytes = encodedAs(c.text, c.encoding);
        keepForComparison(c.name, bytes, c.text);
        std::string encoding;
        const auto detected = decoding::detected(bytes, &encoding);
        EXPECT_TRUE(detected == c.text) << encoding << ": " << difference(detected, c.text);
        EXPECT_EQ(encoding, c.encoding);
        const auto plain = decoding::plainText(bytes);
        EXPECT_TRUE(plain == c.text) << difference(plain, c.text);
    }
    // A page declaring ISO-8859-16 reads in it.
    EXPECT_EQ(decoding::encodingOfLabel("ISO-8859-16"), "ISO-8859-16");
    EXPECT_EQ(decoding::convert(encodedAs("Știți că", "ISO-8859-16"), "ISO-8859-16"), "Știți că");
    EXPECT_EQ(decoding::convertReplacing("\xAA\x80", "ISO-8859-16"), "Ș\u0080");
}

// Text saved in UTF-8 with words or rows pasted from a text in a legacy code page: the UTF-8
// reads as it is, and only the pasted words are read in the page guessed from them.
TEST(TextDecodingTest, MostlyUtf8TextReadsItsPastedWordsInTheirCodePage) {
    const std::string replacement = "\xEF\xBF\xBD";
    const std::string french =
        "Le répertoire « Documents » contient les fichiers créés cet été ; déplacez-les vers "
        "le répertoire de sauvegarde avant de réinstaller le système. Après la mise à jour, "
        "vérifiez que les préférences sont conservées et que la bibliothèque est à jour.\n";
    std::string frenchText;
    while (frenchText.size() < 2048) {
        frenchText += french;
    }
    // Words pasted from a text in another page, each where it first stands.
    const auto pasted = [](std::string text, const std::vector<std::string>& words,
                           const char* encoding) {
        for (const auto& word : words) {
            const auto at = text.find(word);
            text.replace(at, word.size(), encodedAs(word, encoding));
        }
        return text;
    };
    const auto rows = [](const std::vector<std::string>& cells, std::size_t count) {
        std::string csv;
        for (std::size_t i = 0; i < count; ++i) {
            csv += std::to_string(i) + ";" + cells[i % cells.size()] + "\n";
        }
        return csv;
    };
    const std::vector<std::string> westernRows = {"Hélène Dupré;Genève", "Jürgen Müller;Zürich",
                                                  "François Lefèvre;Orléans",
                                                  "Agnès Pétain;Montréal", "José Núñez;Málaga"};
    const std::vector<std::string> cyrillicRows = {"Пётр Ёлкин;Москва", "Юлия Щукина;Тверь",
                                                   "Фёдор Жуков;Самара"};
    const auto utf8Rows = rows(westernRows, 200);
    const auto legacyRows = rows(westernRows, 20);
    const auto cyrillicUtf8 = rows(cyrillicRows, 200);
    const auto cyrillicLegacy = rows(cyrillicRows, 20);
    const std::string polish =
        "Proszę sprawdzić, czy plik został zapisany. Wczoraj wieczorem wysłałem ostatnią wersję "
        "sprawozdania, ale serwer zgłosił błąd. Jeśli dokument nie dotarł, wyślę go jeszcze raz "
        "jutro rano, zanim zaczniemy spotkanie.\n";
    const std::string german =
        "„-l SEITENLÄNGE“ ungültige Anzahl von Zeilen; für „-w BREITE“ "
        "gilt dasselbe. Überprüfen Sie die Größe der Seite.\n";
    struct Case {
        std::string name;
        std::string bytes;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"a 2 KB French text with two windows-1252 words",
         pasted(frenchText, {"répertoire", "été"}, "windows-1252"), frenchText},
        // "ostatni\xB9" alone is windows-1252's "ostatni¹" to the detector.
        {"a Polish text with one windows-1250 word", pasted(polish, {"ostatnią"}, "windows-1250"),
         polish},
        {"a CSV of 200 UTF-8 rows and 20 windows-1252 rows",
         utf8Rows + encodedAs(legacyRows, "windows-1252"), utf8Rows + legacyRows},
        {"a CSV of 200 UTF-8 rows and 20 windows-1251 rows",
         cyrillicUtf8 + encodedAs(cyrillicLegacy, "windows-1251"), cyrillicUtf8 + cyrillicLegacy},
        {"a CSV of 40 UTF-8 rows and 40 windows-1252 rows",
         rows(westernRows, 40) + encodedAs(rows(westernRows, 40), "windows-1252"),
         rows(westernRows, 40) + rows(westernRows, 40)},
        {"a German word pasted between UTF-8 quotation marks",
         pasted(german, {"SEITENLÄNGE"}, "windows-1252"), german},
        // windows-1252 assigns nothing to 0x81, which ICU reads as the control U+0081.
        {"a pasted word with a byte its page leaves unassigned",
         pasted(frenchText, {"répertoire"}, "windows-1252")
             .insert(frenchText.find("répertoire") + 10, "\x81"),
         std::string(frenchText).insert(frenchText.find("répertoire") + 11, replacement)},
        {"a pasted word and a character cut at the end",
         pasted(frenchText, {"répertoire", "été"}, "windows-1252") + "\xC3",
         frenchText + replacement},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        keepForComparison(c.name, c.bytes, c.text);
        std::string encoding;
        const auto detected = decoding::detected(c.bytes, &encoding);
        EXPECT_TRUE(detected == c.text) << encoding << ": " << difference(detected, c.text);
        EXPECT_EQ(encoding, "UTF-8");
        const auto plain = decoding::plainText(c.bytes);
        EXPECT_TRUE(plain == c.text) << difference(plain, c.text);
        EXPECT_EQ(decoding::guessedEncoding(c.bytes), "UTF-8");
    }
}

// Text saved in windows-1252 with fewer rows pasted from UTF-8 after it: the text keeps its page,
// which the UTF-8 rows, read in any page as letters out of place, do not decide (in cp850 and
// Mac Roman fewer of them are, "├ñ" for "ä" against windows-1252's "Ã¤").
TEST(TextDecodingTest, LegacyTextWithRowsPastedFromUtf8KeepsItsCodePage) {
    struct Case {
        std::string name;
        std::vector<std::string> rows;
    };
    const std::vector<Case> cases = {
        {"German",
         {"Die Datei konnte nicht geöffnet werden – später erneut versuchen.",
          "Die Änderungen wurden im Ordner „Dokumente“ gespeichert.",
          "Das Passwort ist zu kurz; wählen Sie ein längeres.",
          "Der Drucker ist nicht mit dem Rechner verbunden.",
          "Möchten Sie die Änderungen vor dem Schließen speichern?"}},
        {"Spanish",
         {"No se pudo abrir el archivo – inténtelo más tarde.",
          "Los cambios se guardaron en la carpeta «Documentos».",
          "La contraseña es demasiado corta; elija otra más larga.",
          "La impresora no está conectada al ordenador.",
          "¿Desea guardar los cambios antes de cerrar?"}},
        {"Swedish",
         {"Filen kunde inte öppnas – försök igen senare.",
          "Ändringarna har sparats i mappen ”Dokument”.",
          "Lösenordet är för kort; välj ett längre.", "Skrivaren är inte ansluten till datorn.",
          "Vill du spara ändringarna innan du stänger?"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Thirty rows in windows-1252, then ten in UTF-8.
        std::string legacy;
        std::string utf8;
        for (std::size_t i = 0; i < 40; ++i) {
            (i < 30 ? legacy : utf8) += std::to_string(i) + ";" + c.rows[i % c.rows.size()] + "\n";
        }
        const auto bytes = encodedAs(legacy, "windows-1252") + utf8;
        keepForComparison(c.name, bytes, decoding::convert(bytes, "windows-1252").value_or(""));
        EXPECT_EQ(decoding::guessedEncoding(bytes), "windows-1252");
        std::string encoding;
        const auto detected = decoding::detected(bytes, &encoding);
        ASSERT_TRUE(detected.has_value());
        EXPECT_EQ(encoding, "windows-1252");
        EXPECT_TRUE(detected->starts_with(legacy)) << difference(detected, legacy);
    }
}

// Every decoded text is in the composed form a keyboard types, whatever its encoding writes.
TEST(TextDecodingTest, DecodedTextIsComposed) {
    // windows-1258 has "ô", "ơ" and "ê" of their own, and writes tones as combining marks.
    const std::string written = "Cuô\u0323c ho\u0323p lu\u0301c ba giơ\u0300 chiê\u0300u.\n";
    const std::string typed = "Cuộc họp lúc ba giờ chiều.\n";
    struct Case {
        std::string name;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"windows-1258", encodedAs(written, "windows-1258")},
        {"UTF-16LE with its mark", "\xFF\xFE" + encodedAs(written, "UTF-16LE")},
        {"UTF-16BE without a mark", encodedAs(written, "UTF-16BE")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        keepForComparison(c.name, c.bytes, typed);
        EXPECT_EQ(decoding::plainText(c.bytes), typed);
        EXPECT_EQ(decoding::detected(c.bytes), typed);
    }
    EXPECT_EQ(RichTextReader::htmlText("<p>" + encodedAs(written, "windows-1258")),
              text::trimmed(typed));
    EXPECT_EQ(decoding::convert(encodedAs(written, "windows-1258"), "windows-1258"), typed);
    EXPECT_EQ(decoding::convertReplacing(encodedAs(written, "windows-1258"), "windows-1258"),
              typed);
}

}  // namespace
}  // namespace vask
