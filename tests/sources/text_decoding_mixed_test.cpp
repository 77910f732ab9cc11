// Texts as users save and paste them: UTF-8 with words, quotation marks and lines pasted from
// legacy pages, and legacy text of the pages that write the same bytes as others.
#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "encoded_text.h"
#include "pasted_text.h"
#include "platform/error.h"
#include "sources/decoding/text_decoding.h"
#include "support/peak_heap.h"

namespace vask {
namespace {

using test::encodedAs;

struct Case {
    std::string name;
    std::string bytes;
    std::string text;
};

void expectRead(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string encoding;
        EXPECT_EQ(decoding::detected(c.bytes, &encoding), c.text) << encoding;
        EXPECT_EQ(decoding::plainText(c.bytes), c.text);
    }
}

// Windows punctuation pasted into UTF-8 is punctuation, not the DOS or Mac letters of the text
// around it ("Precio:á10", "äBis morgenô"); a UTF-8 word between pasted quotation marks stays
// UTF-8.
TEST(TextDecodingMixedTest, PastedWindowsPunctuationIsPunctuation) {
    const std::vector<Case> cases = {
        {"a Spanish no-break space",
         "Precio:\xA0"
         "10 € por persona, café incluido.\n",
         "Precio:\u00A0"
         "10 € por persona, café incluido.\n"},
        {"German quotation marks",
         "Er sagte: \x84"
         "Bis morgen\x93 und ging. Schöne Grüße!\n",
         "Er sagte: „Bis morgen“ und ging. Schöne Grüße!\n"},
        {"a UTF-8 word in Windows quotation marks",
         "Il a dit \x93"
         "bientôt\x94 et il est parti.\n",
         "Il a dit “bientôt” et il est parti.\n"},
        {"a UTF-8 capital after a pasted quotation mark",
         "Die Datei \x84Übersicht\x93 ist leer, bitte prüfen.\n",
         "Die Datei „Übersicht“ ist leer, bitte prüfen.\n"},
        // cp850 reads them as "ä" and "ô", letters the text writes.
        {"quotation marks around small letters",
         "Der Bäcker im Hôtel sagte \x84"
         "bis morgen\x93 zu mir.\n",
         "Der Bäcker im Hôtel sagte „bis morgen“ zu mir.\n"},
        {"a no-break space where the text writes cp850's \"á\"",
         "Precio:\xA0"
         "10 €, más barato que ayer.\n",
         "Precio:\u00A0"
         "10 €, más barato que ayer.\n"},
        {"a dash and an ellipsis", "Später \x96 vielleicht morgen\x85 Grüße\n",
         "Später – vielleicht morgen… Grüße\n"},
    };
    expectRead(cases);
}

// A Windows apostrophe pasted into French UTF-8 is an apostrophe, before an accented letter of
// the text's own as before any other ("l’été", not "l�été").
TEST(TextDecodingMixedTest, PastedApostrophesJoinTheirWords) {
    const std::string before = "Nous sommes rentrés hier soir. ";
    const std::vector<std::string> elisions = {
        "l’été",   "d’école", "qu’à",        "s’était",         "l’hôtel",  "c’était",
        "n’était", "m’écrit", "aujourd’hui", "jusqu’à présent", "l’Élysée", "t’écouter"};
    std::vector<Case> cases;
    for (const auto& elision : elisions) {
        auto pasted = elision;
        pasted.replace(pasted.find("’"), std::string("’").size(), "\x92");
        cases.push_back({elision, before + "C’est " + pasted + ", dit-elle.\n",
                         before + "C’est " + elision + ", dit-elle.\n"});
        // In a text that writes no apostrophe of its own.
        cases.push_back({elision + " alone", before + "Voici " + pasted + ".\n",
                         before + "Voici " + elision + ".\n"});
    }
    expectRead(cases);
}

// Short UTF-8 notes with a few smart quotes, dashes or one pasted word stay UTF-8 (a byte order
// mark makes them so outright): legacy text never makes their UTF-8 by chance.
TEST(TextDecodingMixedTest, ShortUtf8NotesWithAFewPastedBytesStayUtf8) {
    const std::vector<Case> cases = {
        {"two pasted quotation marks", "Café \x93Zur Post\x94: Frühstück um 8.\n",
         "Café “Zur Post”: Frühstück um 8.\n"},
        {"one pasted word",
         "Das Frühstück war gut, aber die " + encodedAs("Brötchen", "windows-1252") +
             " waren alt.\n",
         "Das Frühstück war gut, aber die Brötchen waren alt.\n"},
        {"one pasted word and one letter of its own",
         "Für " + encodedAs("Größe", "windows-1252") + " 40 bitte anrufen.\n",
         "Für Größe 40 bitte anrufen.\n"},
        {"behind a byte order mark",
         "\xEF\xBB\xBF"
         "Frühstück im Café: \x93gut\x94\n",
         "Frühstück im Café: “gut”\n"},
        {"behind a byte order mark, more pasted than its own",
         "\xEF\xBB\xBF"
         "é " +
             encodedAs("déjà été créé", "windows-1252") + "\n",
         "é déjà été créé\n"},
    };
    expectRead(cases);
}

// Lines pasted from a page of two bytes to a character, or of letters other than Latin, into
// UTF-8 of the same language read in their page, the UTF-8 their bytes make by chance
// ("中古英語" in Big5 holds some) among them; rows pasted after a UTF-8 CSV read as written.
TEST(TextDecodingMixedTest, PastedLinesReadInTheirOwnPage) {
    const auto repeated = [](const std::string& line) { return line + line + line; };
    const std::string chinese = repeated("這是一段中文說明文字，用來測試編碼。\n");
    const std::string korean = repeated("이것은 한국어 설명 문장입니다. 인코딩을 시험합니다.\n");
    const std::string japanese = repeated("これは日本語の説明文です。文字コードを試験します。\n");
    const std::string russian = repeated("Это русский текст в кодировке UTF-8 для проверки.\n");
    const std::string thai = repeated("นี่คือข้อความภาษาไทยสำหรับทดสอบการเข้ารหัส\n");
    const std::string big5Line = "中古英語是英語的一個歷史階段。\n";
    const std::string eucKrLine = "붙여넣은 줄은 다른 인코딩으로 저장되었습니다.\n";
    const std::string sjisLine = "貼り付けた行はシフトJISで保存されました。\n";
    const std::string dosLine = "Эта строка вставлена из файла в кодировке DOS, только она.\n";
    const std::string thaiLine = "บรรทัดนี้ถูกวางมาจากไฟล์อื่น\n";
    // Rows of other cells than the UTF-8 rows before them.
    std::string utf8Rows;
    std::string legacyRows;
    const std::vector<std::string> names = {"José Núñez;Málaga", "Hélène Dupré;Genève",
                                            "Jürgen Müller;Zürich", "Agnès Pétain;Montréal"};
    for (std::size_t i = 0; i < 200; ++i) {
        utf8Rows += std::to_string(i) + ";Ana;Sevilla\n";
    }
    for (std::size_t i = 0; i < 20; ++i) {
        legacyRows += std::to_string(200 + i) + ";" + names[i % names.size()] + "\n";
    }
    const std::vector<Case> cases = {
        {"a Big5 line", chinese + encodedAs(big5Line, "Big5"), chinese + big5Line},
        {"an EUC-KR line", korean + encodedAs(eucKrLine, "windows-949"), korean + eucKrLine},
        {"a Shift_JIS line", japanese + encodedAs(sjisLine, "Shift_JIS"), japanese + sjisLine},
        {"a cp866 line", russian + encodedAs(dosLine, "ibm-866"), russian + dosLine},
        {"a windows-874 line", thai + encodedAs(thaiLine, "windows-874"), thai + thaiLine},
        {"windows-1252 rows after a UTF-8 CSV", utf8Rows + encodedAs(legacyRows, "windows-1252"),
         utf8Rows + legacyRows},
    };
    expectRead(cases);
}

// The signs, arrows, check marks and emoji a text writes in UTF-8 stay as written wherever they
// stand when a word of another page is pasted into it: only the pasted bytes are read in that
// page ("№ 5" is not windows-1251's "в„– 5").
TEST(TextDecodingMixedTest, TheTextsOwnSignsStayAsWritten) {
    struct Paste {
        std::string name;
        std::string before;
        std::string word;
        std::string after;
        const char* page;
    };
    const std::vector<Paste> pastes = {
        {"Russian, a windows-1251 word", "Склад № 5, −3 °C, влажность ≈ 80 %. Проверил ", "Пётр",
         " → всё в норме ✓ 👍\n", "windows-1251"},
        {"Ukrainian, a cp866 word", "Кімната № 3: −18 °C ↑, двері зачинено ✔. Відповідальний ",
         "Сидоренко", " 😀\nТемпература −18 °C → норма.\n", "ibm-866"},
        {"Bulgarian, a Mac Cyrillic word", "Стая № 7 → −5 °C ≈ норма ✓. Отговорник: ", "Иванов",
         " ↑ 🙂\n", "x-mac-cyrillic"},
        {"Serbian, a windows-1251 word", "Магацин № 2: −12 °C ↓ ✔ у реду. Провера ", "Јовановић",
         " → ✓ 👍\n", "windows-1251"},
        {"Hebrew, a windows-1255 word", "מחסן № 4: −7 °C ↑ ✓ תקין. בודק: ", "ישראלי", " → ≈ 👍\n",
         "windows-1255"},
        {"Russian, a KOI8-R word", "Холодильник № 9: −20 °C ✔, дверь ↑ закрыта. Мастер ", "Смирнов",
         " ≈ ✓ 🙂\n", "KOI8-R"},
    };
    std::vector<Case> cases;
    for (const auto& paste : pastes) {
        cases.push_back({paste.name, paste.before + encodedAs(paste.word, paste.page) + paste.after,
                         paste.before + paste.word + paste.after});
    }
    // Every sign of a long text, far from the pasted word.
    std::string lines;
    for (int i = 0; i < 300; ++i) {
        lines += "Камера " + std::to_string(i) + ": −18 °C → норма ✓\n";
    }
    cases.push_back({"every \"−18\" of a long Russian text, a windows-1251 word",
                     "Журнал: " + encodedAs("Пётр", "windows-1251") + "\n" + lines,
                     "Журнал: Пётр\n" + lines});
    expectRead(cases);
}

// A stop requested while a long text of the worst mixes is read (or a long legacy text) ends the
// read within a second, as a cancelled reading; one requested before ends it at once.
TEST(TextDecodingMixedTest, AStopEndsALongReadPromptly) {
    constexpr std::size_t kSize = std::size_t{16} * 1024 * 1024;
    std::string legacy;
    while (legacy.size() < kSize) {
        legacy +=
            encodedAs("Эта строка сохранена в кодировке KOI8-R, как и все другие.\n", "KOI8-R");
    }
    const std::vector<std::pair<std::string, std::string>> texts = {
        {"a long Shift_JIS line in Japanese",
         test::longPastedText(kSize, test::LongPaste::shiftJisLine)},
        {"a long line of mixed bytes",
         test::longPastedText(kSize, test::LongPaste::mixedBytesLine)},
        {"many short words of mixed bytes",
         test::longPastedText(kSize, test::LongPaste::shortMixedWords)},
        {"a long KOI8-R text", legacy},
    };
    for (const auto& [name, bytes] : texts) {
        SCOPED_TRACE(name);
        std::stop_source before;
        before.request_stop();
        EXPECT_THROW(decoding::detected(bytes, nullptr, before.get_token()), Error);
        EXPECT_THROW(decoding::plainText(bytes, before.get_token()), Error);

        std::stop_source source;
        std::chrono::steady_clock::time_point requested;
        std::jthread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            requested = std::chrono::steady_clock::now();
            source.request_stop();
        });
        EXPECT_THROW(decoding::detected(bytes, nullptr, source.get_token()), Error);
        const auto ended = std::chrono::steady_clock::now();
        stopper.join();
        EXPECT_LT(ended - requested, std::chrono::seconds(1));
    }
}

// Lines pasted whole from the pages of Chinese and Japanese read in their page, every character
// of them, though their bytes make UTF-8 by chance ("日本" in Shift_JIS holds some).
TEST(TextDecodingMixedTest, PastedCjkLinesReadWhole) {
    const auto repeated = [](const std::string& line, int times) {
        std::string out;
        for (int i = 0; i < times; ++i) {
            out += line;
        }
        return out;
    };
    const std::string chinese = repeated("这是一段中文说明文字，用来测试编码。\n", 3);
    const std::string traditional = repeated("這是一段中文說明文字，用來測試編碼。\n", 3);
    const std::string japanese =
        repeated("これは日本語の説明文です。文字コードを試験します。\n", 3);
    const std::string gbkLines = "我家住在建国路八号，离地铁站很近。\n建国路上有很多商店和饭馆。\n";
    // "路" is C2 B7 in GBK, UTF-8's "·".
    const std::string gbkRoad = "地址：北京市朝阳区建国路 88 号\n";
    const std::string big5Line = "我家住在建國路八號，離捷運站很近。\n";
    const std::string sjisLines =
        "会議は午後三時に始まります。\n資料は前日までに送ってください。\n場所は本社の会議室です。"
        "\n";
    const std::vector<Case> cases = {
        {"GBK lines in Chinese", chinese + encodedAs(gbkLines, "GBK"), chinese + gbkLines},
        {"a GBK line ending a word in \"路\"", chinese + encodedAs(gbkRoad, "GBK"),
         chinese + gbkRoad},
        {"a Big5 line in Chinese", traditional + encodedAs(big5Line, "Big5"),
         traditional + big5Line},
        {"three Shift_JIS lines in Japanese", japanese + encodedAs(sjisLines, "Shift_JIS"),
         japanese + sjisLines},
    };
    expectRead(cases);
}

// Central European text read in its own page, not in a Western one that reads its bytes as
// letters of no one language, nor in ISO-8859-16 with its quotation marks as controls; bytes
// that are letters in the Central European pages and signs of units in windows-1252 read as
// letters where letters stand.
TEST(TextDecodingMixedTest, CentralEuropeanTextKeepsItsPage) {
    const std::string romanian =
        "Într-o zi frumoasă de vară, „bunicul” ne-a povestit despre război şi despre ţăranii "
        "din sat. Atunci am înţeles că viaţa lor fusese grea.\n";
    const std::string polish = "Był sobie król. Łukasz ma 3 psy.\n";
    const std::string croatian = "Možete specificirati željene brojeve deskriptora.\n";
    const std::vector<Case> cases = {
        {"Romanian in windows-1250 with its quotation marks", encodedAs(romanian, "windows-1250"),
         romanian},
        {"Polish in ISO-8859-2, \"ł\" after a letter", encodedAs(polish, "ISO-8859-2"), polish},
        {"Croatian in ISO-8859-2, \"ž\" between letters", encodedAs(croatian, "ISO-8859-2"),
         croatian},
        {"signs of units in windows-1252",
         encodedAs("The flat is 54 m² and costs £850; bake at 180°C for ½ hour.\n", "windows-1252"),
         "The flat is 54 m² and costs £850; bake at 180°C for ½ hour.\n"},
    };
    expectRead(cases);
}

// Legacy text with a word or a line pasted from UTF-8, short enough that it counts as mostly
// UTF-8: its runs read in the page whose letters are likeliest, not in a Windows or ISO page that
// reads them as faultless ("Tomiæ" for "Tomić", "Imiê" for "Imię", "elfojt sa" for cp852's
// "elfojtása", "2.║" for cp850's "2.º"), cp852 among those pages where the detector names
// another ("Lukáƒ;òuboþ" for "Lukáč;Ľuboš", Mac Central European's "Átirih" for "štirih"), and a
// lone byte that is Windows punctuation too read as the letter it likelier is ("Tomi†" for
// cp852's "Tomić").
TEST(TextDecodingMixedTest, PastedUtf8InShortLegacyTextLeavesItsPage) {
    struct Pasted {
        std::string name;
        std::vector<std::pair<std::string, const char*>> parts;  // no page: UTF-8
    };
    const std::vector<Pasted> texts = {
        {"a Croatian CSV row in ISO-8859-2, its first name UTF-8",
         {{"Dražen;", nullptr},
          {"Tomić;Osijek;+385 681 666 512;drazen.tomic@example.org\n", "ISO-8859-2"}}},
        {"a Croatian CSV row in windows-1250, its first name UTF-8",
         {{"Dražen;", nullptr},
          {"Tomić;Osijek;+385 681 666 512;drazen.tomic@example.org\n", "windows-1250"}}},
        {"a Polish CSV header in ISO-8859-2, one field UTF-8",
         {{"Imię;Nazwisko;", "ISO-8859-2"},
          {"Miejscowość", nullptr},
          {";Telefon;E-mail\n", "ISO-8859-2"}}},
        {"a Polish CSV header in windows-1250, one field UTF-8",
         {{"Imię;Nazwisko;", "windows-1250"},
          {"Miejscowość", nullptr},
          {";Telefon;E-mail\n", "windows-1250"}}},
        {"a Hungarian line in cp852, one word UTF-8",
         {{"-s, --quiet, --silent      minden ", "ibm-852"},
          {"normál", nullptr},
          {" kimenet elfojtása\n", "ibm-852"}}},
        {"a Hungarian line in cp852, its last word UTF-8",
         {{"Olvasott bájtok teljes ", "ibm-852"}, {"száma", nullptr}, {"\n", "ibm-852"}}},
        {"a Slovak CSV row in cp852, its first name UTF-8",
         {{"Mária", nullptr},
          {";Horváthová;Zvolen;+421 632 649 983;maria.horvathova@example.org\n", "ibm-852"}}},
        {"a Slovak note in cp852, its second half UTF-8",
         {{"Zavolaj pani Horváthovej ", "ibm-852"}, {"kvôli zmluve.\n", nullptr}}},
        {"a Slovak line in cp852, its second half UTF-8",
         {{"hodnota je ako základ ", "ibm-852"}, {"príliš veľká\n", nullptr}}},
        {"a Slovenian CSV row in cp852, its first name UTF-8",
         {{"Špela", nullptr},
          {";Žagar;Celje;+386 638 868 374;spela.zagar@example.org\n", "ibm-852"}}},
        {"a Czech line in cp852 the detector reads as Western, its end UTF-8",
         {{"-a,  --text                  pokládá ", "ibm-852"},
          {"všechny soubory za text\n", nullptr}}},
        {"a Slovak line in cp852, its last words UTF-8",
         {{"Dokument je prázdny alebo obsahuje iba ", "ibm-852"},
          {"netlačiteľné znaky\n", nullptr}}},
        {"a Slovak vCard in cp852 but for its phone, the next one UTF-8",
         {{"BEGIN:VCARD\nVERSION:3.0\n", nullptr},
          {"N:Lukáč;Ľuboš;;;\nFN:Ľuboš Lukáč\n", "ibm-852"},
          {"TEL;TYPE=CELL:+421 627 532 439\n", nullptr},
          {"ADR;TYPE=HOME:;;Košická 12;Bratislava;;;Slovensko\n", "ibm-852"},
          {"END:VCARD\nBEGIN:VCARD\nVERSION:3.0\nN:Šimko;Róbert;;;\nFN:Róbert Šimko\n"
           "TEL;TYPE=CELL:+421 641 655 956\nADR;TYPE=HOME:;;Ružová 98;Trenčín;;;Slovensko\n"
           "END:VCARD\n",
           nullptr}}},
        {"a Slovenian vCard with its name in cp852, the rest UTF-8",
         {{"BEGIN:VCARD\nVERSION:3.0\n", nullptr},
          {"N:Košir;Marija;;;\nFN:Marija Košir\n", "ibm-852"},
          {"TEL;TYPE=CELL:+386 683 534 774\nADR;TYPE=HOME:;;Čopova ulica 17;Murska Sobota;;;"
           "Slovenija\nEND:VCARD\n",
           nullptr}}},
        {"a Croatian CSV row in cp852, its first name UTF-8, \"ć\" Windows's dagger",
         {{"Dražen", nullptr},
          {";Tomić;Osijek;+385 681 666 512;drazen.tomic@example.org\n", "ibm-852"}}},
        {"a Croatian vCard with its name in cp852, the next one UTF-8",
         {{"BEGIN:VCARD\nVERSION:3.0\n", nullptr},
          {"N:Marić;Mateja;;;\nFN:Mateja Marić\n", "ibm-852"},
          {"TEL;TYPE=CELL:+385 756 474 452\nADR;TYPE=HOME:;;Savska cesta 96;Osijek;;;Hrvatska\n"
           "END:VCARD\nBEGIN:VCARD\nVERSION:3.0\nN:Horvat;Ivana;;;\nFN:Ivana Horvat\n"
           "ADR;TYPE=HOME:;;Ulica Matije Gupca 14;Đakovo;;;Hrvatska\nEND:VCARD\n",
           nullptr}}},
        {"a Slovenian CSV row in cp852 the detector reads as Vietnamese, its first name UTF-8",
         {{"Gašper", nullptr},
          {";Kos;Domžale;+386 696 444 663;gasper.kos@example.org\n", "ibm-852"}}},
        {"a Slovenian note in cp852 the detector reads as Mac Central European, a name UTF-8",
         {{"Poberi ", "ibm-852"}, {"Špelo", nullptr}, {" iz vrtca ob pol štirih.\n", "ibm-852"}}},
        {"a Spanish note in cp850, its end UTF-8",
         {{"Las llaves están con el vecino del ", "ibm-850"}, {"2.º B.\n", nullptr}}},
    };
    std::vector<Case> cases;
    for (const auto& [name, parts] : texts) {
        Case c{name, "", ""};
        for (const auto& [text, page] : parts) {
            c.bytes += page != nullptr ? encodedAs(text, page) : text;
            c.text += text;
        }
        cases.push_back(std::move(c));
    }
    expectRead(cases);
}

// A word of a legacy page two or three of whose bytes make a UTF-8 character by chance reads in
// its page, letters of its language, not as that character with stray bytes beside it (cp852's
// "Děčín" as "D؟�n", cp866's "программы" as "�ணࠬ��"); a UTF-8 letter or sign beside a stray
// byte stays as written, read in no page ("º" as windows-1251's "Вє").
TEST(TextDecodingMixedTest, ALegacyWordMadeUtf8ByChanceReadsInItsPage) {
    const std::string russian = "Это поле может быть пустым; в этом случае только члены группы.\n";
    const std::vector<Case> cases = {
        {"a Czech vCard in cp852, the next one UTF-8",
         encodedAs("N:Král;Ondřej;;;\nADR;TYPE=HOME:;;Husova 51;Děčín;;;Česká republika\n",
                   "ibm-852") +
             "N:Horáková;Hana;;;\nADR;TYPE=HOME:;;Národní 67;Jihlava;;;Česká republika\n",
         "N:Král;Ondřej;;;\nADR;TYPE=HOME:;;Husova 51;Děčín;;;Česká republika\n"
         "N:Horáková;Hana;;;\nADR;TYPE=HOME:;;Národní 67;Jihlava;;;Česká republika\n"},
        {"a cp866 line after Russian UTF-8",
         russian + encodedAs("В PATH отсутствуют важные программы.\n", "ibm-866"),
         russian + "В PATH отсутствуют важные программы.\n"},
        {"a stray byte after a UTF-8 ordinal sign", "↑ C/ Mayor 5, 3.º\xFF izda., 28013 Madrid\n",
         "↑ C/ Mayor 5, 3.º\uFFFD izda., 28013 Madrid\n"},
        {"a stray byte after a Russian UTF-8 capital", "В\xFF PATH отсутствуют важные программы\n",
         "В\uFFFD PATH отсутствуют важные программы\n"},
    };
    expectRead(cases);
}

// A word pasted into UTF-8 from windows-1252 that the detector takes for a page of no language the
// letter statistics hold (ISO-8859-10, whose "ņ" is windows-1252's "ñ") reads in the likeliest
// page as faultless that the statistics hold, or one that reads it alike ("¡" is windows-1258's
// too, and ISO-8859-2's "Ą").
TEST(TextDecodingMixedTest, APastedWordOfAnUnweighedPageReadsInTheLikeliest) {
    const std::vector<Case> cases = {
        {"after a Spanish UTF-8 word",
         "Nos vemos ma\xF1"
         "ana en el caf\xC3\xA9.\n",
         "Nos vemos mañana en el café.\n"},
        {"in a Russian UTF-8 line",
         "Привет, увидимся ma\xF1"
         "ana!\n",
         "Привет, увидимся mañana!\n"},
        {"a line of windows-1252 the detector names windows-1258 for",
         "Se omitirán los caracteres de formato.\n\xA1"
         "descartando problema de predependencia!\n",
         "Se omitirán los caracteres de formato.\n¡descartando problema de predependencia!\n"},
        {"before a UTF-8 name",
         "Hasta ma\xF1"
         "ana, Jos\xC3\xA9\n",
         "Hasta mañana, José\n"},
    };
    expectRead(cases);
}
// A word of one letter above ASCII pasted into a short UTF-8 note reads in the page whose letters
// are likeliest in the language the note's own UTF-8 writes: French "Nîmes" and "Lefèvre" from
// cp850, not windows-1252's "NŒmes" or Mac Roman's "Lefävre".
TEST(TextDecodingMixedTest, APastedWordReadsInTheLanguageOfTheTextAroundIt) {
    const std::vector<Case> cases = {
        {"cp850's \"î\" in a French note", "Le train pour N\x8Cmes part \xC3\xA0 7 h 45, voie 3.\n",
         "Le train pour Nîmes part à 7 h 45, voie 3.\n"},
        {"cp850's \"è\" in a French note", "Appeler Mme Lef\x8Avre \xC3\xA0 propos du contrat.\n",
         "Appeler Mme Lefèvre à propos du contrat.\n"},
    };
    expectRead(cases);
}
// Short notes of every page of two bytes to a character, as typed in Chinese, Japanese and Korean.
struct CjkNote {
    std::vector<std::string> lines;
    std::vector<const char*> pages;
};

const std::vector<CjkNote>& cjkNotes() {
    static const std::vector<CjkNote> kNotes = {
        {{"買い物：牛乳、卵、食パン、りんご三つ", "明日の朝九時までに届けてください。",
          "よろしくお願いします。"},
         {"Shift_JIS", "EUC-JP"}},
        {{"购物清单：牛奶、鸡蛋、面包和三个苹果", "请在明天上午九点以前送到我家门口。",
          "谢谢你的帮助！"},
         {"GBK", "GB18030"}},
        {{"購物清單：牛奶、雞蛋、麵包和三個蘋果", "請在明天上午九點以前送到我家門口。",
          "謝謝你的幫忙！"},
         {"Big5"}},
        {{"장보기 목록: 우유, 계란, 식빵, 사과 세 개", "내일 아침 아홉 시까지 배달해 주세요.",
          "감사합니다."},
         {"EUC-KR", "windows-949"}},
    };
    return kNotes;
}

// Legacy text of a page of two bytes to a character with a line or a word pasted into it from
// UTF-8 reads in its own page, every legacy line as the page reads it, the pasted UTF-8 as written:
// not whole in a page of one byte to a character ("買い物：牛乳" as KOI8-R's "■┐┌╒∙╗│F▀█") because
// the page does not convert the pasted bytes.
TEST(TextDecodingMixedTest, LegacyCjkTextWithPastedUtf8ReadsInItsPage) {
    const std::vector<std::pair<std::string, std::string>> pastes = {
        {"a line of signs", "PS: 3 → 4"},
        {"a line with an emoji", "👍 ok… 12 € ≈ 13 $ ↑"},
        {"a word of signs", "→"},
        {"a word of letters", "Müller"},
        {"a word of the note's own script", "東京"},
    };
    for (const auto& note : cjkNotes()) {
        for (const auto* page : note.pages) {
            for (const auto& [pasteName, paste] : pastes) {
                SCOPED_TRACE(std::string(page) + ", " + pasteName);
                const bool line = pasteName.starts_with("a line");
                std::string bytes;
                std::string text;
                for (std::size_t i = 0; i < note.lines.size(); ++i) {
                    if (line || i != 1) {
                        bytes += encodedAs(note.lines[i], page) + "\n";
                        text += note.lines[i] + "\n";
                    } else {
                        bytes += encodedAs(note.lines[i], page) + " " + paste + "\n";
                        text += note.lines[i] + " " + paste + "\n";
                    }
                    if (line && i == 1) {
                        bytes += paste + "\n";
                        text += paste + "\n";
                    }
                }
                std::string encoding;
                EXPECT_EQ(decoding::detected(bytes, &encoding), text) << encoding;
                EXPECT_EQ(decoding::plainText(bytes), text);
            }
        }
    }
}

// A UTF-8 note whose one character above ASCII has a stray byte after it is UTF-8 with a stray
// byte (no page reads "fü\xFFr" as letters of its own), and a Japanese or Chinese note whose
// second half was pasted from UTF-8 with no space between reads its first half in the page.
TEST(TextDecodingMixedTest, AStrayByteAndUtf8GluedToLegacyText) {
    const std::vector<Case> cases = {
        {"a German line with a stray byte", "Zwischenspeicher f\xC3\xBC\xFFr die Anzeige sind.\n",
         "Zwischenspeicher fü\uFFFDr die Anzeige sind.\n"},
        {"an English line with a stray byte after a sign",
         "The tolerance of the part is \xC2\xB1\xFF"
         "0.05 mm on every side.\n",
         "The tolerance of the part is ±\uFFFD0.05 mm on every side.\n"},
        {"a Japanese note in EUC-JP, its second half UTF-8",
         encodedAs("HTTP プロキシサーバーが予", "EUC-JP") + "期せず接続を閉じました。\n",
         "HTTP プロキシサーバーが予期せず接続を閉じました。\n"},
        {"a Japanese note in Shift_JIS, its second half UTF-8",
         encodedAs("出力ストリームは書き込", "Shift_JIS") + "みを実装していません。\n",
         "出力ストリームは書き込みを実装していません。\n"},
    };
    expectRead(cases);
}

// A lone byte of Windows punctuation between ASCII words in UTF-8 text, touching no letter or
// touching a number, carries no letters for the statistics to weigh: it is the Windows page's
// no-break space or dash, not the DOS page's "á" or "û" ("Precio:á10áeuros"), whatever the
// text's own words.
TEST(TextDecodingMixedTest, ALoneWindowsByteBetweenAsciiWordsIsPunctuation) {
    const std::vector<Case> cases = {
        {"no-break spaces after a colon and in a price",
         "Precio:\xA0"
         "10\xA0"
         "euros, m\xC3\xA1s informaci\xC3\xB3n\n",
         "Precio:\u00A0"
         "10\u00A0"
         "euros, más información\n"},
        {"a no-break space between a number and its unit", "A las 10\xA0h en la estaci\xC3\xB3n\n",
         "A las 10\u00A0h en la estación\n"},
        {"a dash between numbers",
         "Horario: 9\x96"
         "14 h, cerrado los s\xC3\xA1"
         "bados\n",
         "Horario: 9–14 h, cerrado los sábados\n"},
        {"an ellipsis after a number", "Schritte 1, 2, 3\x85 und fertig, sch\xC3\xB6n\n",
         "Schritte 1, 2, 3… und fertig, schön\n"},
        {"a no-break space in a Polish price",
         "Cena:\xA0"
         "10 z\xC5\x82, dzi\xC4\x99kuj\xC4\x99\n",
         "Cena:\u00A0"
         "10 zł, dziękuję\n"},
        {"a no-break space before a Portuguese price",
         "Pre\xC3\xA7o:\xA0"
         "10 euros, at\xC3\xA9 amanh\xC3\xA3\n",
         "Preço:\u00A0"
         "10 euros, até amanhã\n"},
    };
    expectRead(cases);
}

// UTF-8 is kept as written whatever share of the bytes the runs pasted into it hold: a note of
// signs, an emoji and a line of its own with three long lines pasted from a legacy page after
// it (not read whole in a page of one byte to a character: "👍" as cp866's "ЁЯСН").
TEST(TextDecodingMixedTest, Utf8StaysAsWrittenUnderAPastedMajority) {
    struct Note {
        std::string own;
        std::vector<std::string> pasted;
        const char* page;
    };
    const std::vector<Note> notes = {
        {"明天见，别忘了",
         {"建国路的商店都关门了，请明天再来看看吧", "这一行是从旧文件里复制过来的内容",
          "价格已经包括运费和税费了，谢谢你的耐心"},
         "GBK"},
        {"明日また会いましょう",
         {"貼り付けた行はシフト符号で保存されました", "会議は来週の水曜日に変更になりました",
          "新幹線は七時四十五分に三番線から出ます"},
         "Shift_JIS"},
        {"明天見，別忘了",
         {"購物清單：牛奶、雞蛋、麵包和三個蘋果", "請在明天上午九點以前送到我家門口",
          "會議改到下星期三下午兩點，謝謝你"},
         "Big5"},
        {"내일 봐요",
         {"회의는 다음 주 수요일로 바뀌었습니다", "역 동쪽 출구에서 열 시에 기다릴게요",
          "부산행 기차는 일곱 시 사십오 분에 떠나요"},
         "windows-949"},
        {"→ ok",
         {"Встреча в понедельник в девять часов утра у входа",
          "Позвонить Ольге Петровне насчёт договора", "Купить молоко, хлеб, масло и три яблока"},
         "windows-1251"},
    };
    for (const auto& note : notes) {
        SCOPED_TRACE(note.page);
        std::string bytes = "👍 ok… 12 € ≈ 13 $ ↑\n" + note.own + "\n";
        std::string text = bytes;
        for (const auto& line : note.pasted) {
            bytes += encodedAs(line, note.page) + "\n";
            text += line + "\n";
        }
        EXPECT_EQ(decoding::detected(bytes), text);
    }
}

// Decoding a long legacy text holds the text and its reading, no second copy of either: at
// 64 MiB its heap grows by 3.2 times the input at most (the reading of Cyrillic in UTF-8 is twice
// the bytes; the composing of it into NFC made another whole copy). Measured in the sanitizer
// builds, which can watch the heap.
TEST(TextDecodingMixedTest, DecodingALongLegacyTextHoldsOneCopy) {
    constexpr std::size_t kSize = std::size_t{64} * 1024 * 1024;
    const std::vector<std::pair<std::string, const char*>> texts = {
        {"Эта строка сохранена в кодировке windows-1251, как и все другие строки.\n",
         "windows-1251"},
        {"Cette ligne a été écrite en windows-1252, comme toutes les autres, déjà.\n",
         "windows-1252"},
    };
    for (const auto& [line, page] : texts) {
        SCOPED_TRACE(page);
        const auto encoded = encodedAs(line, page);
        std::string bytes;
        bytes.reserve(kSize + encoded.size());
        while (bytes.size() < kSize) {
            bytes += encoded;
        }
        std::optional<std::string> text;
        std::string encoding;
        const auto peak =
            test::peakHeapGrowth([&] { text = decoding::detected(bytes, &encoding); });
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(encoding, page);
        EXPECT_TRUE(text->starts_with(line));
        if (peak) {
            EXPECT_LE(static_cast<double>(*peak), 3.2 * static_cast<double>(bytes.size()))
                << "peak heap growth " << *peak << " for " << bytes.size() << " bytes";
        }
    }
}

// Each reader of the decoding looks at a stop through its whole work: a stop requested at any
// point of reading 64 MiB (a tenth of the way in, half way and nine tenths, counted in the reading
// thread's own time) ends the read within 100 ms of that time, as a cancelled reading (the scan of
// a page for the charset it declares through 16 million tags, UTF-16 saved without a byte order
// mark, the check that a text is UTF-8, the look for control characters at the end); one
// requested before ends it at once.
TEST(TextDecodingMixedTest, AStopEndsEveryReaderOf64MiBWithin100Ms) {
    constexpr std::size_t kSize = std::size_t{64} * 1024 * 1024;
    std::string tags;
    tags.reserve(kSize);
    while (tags.size() < kSize) {
        tags += "<br>";
    }
    const auto utf16Line =
        encodedAs("これは日本語の説明文です。UTF-16 で保存しました。\n", "UTF-16LE");
    std::string utf16;
    utf16.reserve(kSize + utf16Line.size());
    while (utf16.size() < kSize) {
        utf16 += utf16Line;
    }
    std::string utf8;
    utf8.reserve(kSize + 64);
    while (utf8.size() < kSize) {
        utf8 += "Grüße aus München, déjà vu — ✓\n";
    }
    using Read = std::function<void(const std::stop_token&)>;
    const std::vector<std::pair<std::string, Read>> reads = {
        {"the declared charset of 64 MiB of <br>",
         [&](const std::stop_token& stop) { decoding::declaredMarkupEncoding(tags, stop); }},
        {"64 MiB of UTF-16 without a byte order mark as Unicode text",
         [&](const std::stop_token& stop) { decoding::unicodeText(utf16, stop); }},
        {"64 MiB of UTF-16 without a byte order mark as plain text",
         [&](const std::stop_token& stop) { decoding::plainText(utf16, stop); }},
        {"64 MiB of UTF-8 as Unicode text",
         [&](const std::stop_token& stop) { decoding::unicodeText(utf8, stop); }},
    };
    for (const auto& [name, read] : reads) {
        SCOPED_TRACE(name);
        std::stop_source before;
        before.request_stop();
        EXPECT_THROW(read(before.get_token()), Error);

        // The time is the reading thread's own (its CPU clock), so a busy machine that leaves it
        // waiting for a core adds nothing to it.
        clockid_t readerClock{};
        ASSERT_EQ(pthread_getcpuclockid(pthread_self(), &readerClock), 0);
        const auto readerTime = [&] {
            timespec now{};
            clock_gettime(readerClock, &now);
            return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
        };
        // The whole read's time, then a stop at points spread over it, each reached by the
        // reader's own time however busy the machine.
        auto started = readerTime();
        read({});
        const auto whole = readerTime() - started;
        for (const int twentieths : {2, 10, 18}) {
            SCOPED_TRACE(std::to_string(twentieths) + "/20 of the way in");
            std::stop_source source;
            std::atomic<bool> done{false};
            std::chrono::nanoseconds requested{};
            started = readerTime();
            std::jthread stopper([&] {
                while (!done && readerTime() - started < whole * twentieths / 20) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                requested = readerTime();
                source.request_stop();
            });
            bool stopped = false;
            try {
                read(source.get_token());
            } catch (const Error&) {
                stopped = true;
            }
            const auto ended = readerTime();
            done = true;
            stopper.join();
            // Only the last point may come after a read that went quicker than the whole one.
            EXPECT_TRUE(stopped || twentieths == 18);
            EXPECT_LT(ended - requested, std::chrono::milliseconds(100));
        }
    }
}

// Notes of a few words saved in UTF-16 without a byte order mark read as UTF-16 (not as UTF-8
// with NUL bytes, or as ibm-850), and Ukrainian in windows-1251 that the detector takes for Mac
// Cyrillic reads in windows-1251, whose letters the statistics find likelier.
TEST(TextDecodingMixedTest, ShortUtf16NotesAndUkrainianInWindows1251) {
    std::vector<Case> cases;
    for (const auto& [note, order] :
         std::vector<std::pair<std::string, const char*>>{{"Пазаруване:", "UTF-16LE"},
                                                          {"내일 아침 봐요", "UTF-16LE"},
                                                          {"Покупки: хліб", "UTF-16LE"},
                                                          {"Ελλάδα και", "UTF-16BE"}}) {
        cases.push_back({note + " in " + order, encodedAs(note, order), note});
    }
    const std::string subtitles =
        "1\n00:00:01,000 --> 00:00:03,500\nІван Іванович прийшов додому.\n\n"
        "2\n00:00:04,000 --> 00:00:06,200\nВін сказав: «Я тут, відчиніть двері».\n\n"
        "3\n00:00:07,000 --> 00:00:09,000\nІ всі пішли до кімнати.\n";
    cases.push_back(
        {"Ukrainian subtitles in windows-1251", encodedAs(subtitles, "windows-1251"), subtitles});
    const std::string line =
        "Якщо виведено запит --More--(Наступний файл: файл), ця команда наказує\n";
    cases.push_back({"a Ukrainian line the detector takes for Mac Cyrillic",
                     encodedAs(line, "windows-1251"), line});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decoding::detected(c.bytes), c.text);
        EXPECT_EQ(decoding::plainText(c.bytes), c.text);
    }
}

}  // namespace
}  // namespace vask
