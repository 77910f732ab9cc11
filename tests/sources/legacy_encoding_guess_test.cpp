// The guess of the page of whole legacy text: short notes bare uchardet reads right are read as
// it reads them, and what the letter statistics of the candidate readings read better than it
// (Central European names lists, the euro of ISO-8859-15); and, generated from the sentences of
// the encoding corpus, any legacy text from a short note up is read as uchardet reads it or
// better.
#include <gtest/gtest.h>
#include <rapidcheck.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "bare_uchardet.h"
#include "encoded_text.h"
#include "platform/text.h"
#include "sources/decoding/text_decoding.h"
#include "support/property_check.h"

namespace vask {
namespace {

namespace fs = std::filesystem;

// The text in the page, through iconv (which writes cp852, cp850 and ISO-8859-16 alike).
std::string inPage(std::string_view utf8, const char* page) {
    return test::iconvEncodedAs(utf8, page);
}

std::optional<std::string> vaskReading(std::string_view bytes) {
    auto text = decoding::unicodeText(bytes);
    return text ? text : decoding::detected(bytes);
}

struct Note {
    const char* what;
    const char* text;
    const char* page;
};

TEST(LegacyEncodingGuessTest, ShortNotesUchardetReadsRightAreReadAsItReadsThem) {
    // Each seen read wrong before the letter statistics: the cp852 notes as windows-1252 or
    // cp850 ("Kýi§¡kova", "nezapomeå"), the Spanish address as cp850 ("3.║": "º" alone counted
    // as a letter out of place), the Slovenian note as Esperanto ("Ĵopovi").
    for (const auto& note : std::to_array<Note>({
             {"Czech cp852 street", "Sraz v 9:00 na Křižíkova 12.", "CP852"},
             {"Czech cp852 note", "Heslo k Wi-Fi je na lednici, nezapomeň.", "CP852"},
             {"Slovenian cp852 note", "Sestanek v ponedeljek ob 9. uri na Čopovi 5.", "CP852"},
             {"Polish cp852 errand", "Odbierz paczkę z poczty.", "CP852"},
             {"Polish cp852 note", "Kup chleb i masło, wrócę o 18.", "CP852"},
             {"Polish cp852 bill", "Zapłać za prąd do piątku.", "CP852"},
             {"Spanish windows-1252 address", "C/ Mayor 5, 3.º izda., Madrid", "CP1252"},
             // uchardet names cp852, which reads these bytes as cp850 does.
             {"French cp850 note", "Récupérer le colis avant midi.", "CP850"},
             {"French cp850 booking", "Réservé pour vendredi soir, 20 h.", "CP850"},
             {"French cp850 garage", "Garage fermé lundi, rappeler mardi.", "CP850"},
             {"French cp850 statement", "Télécharger le relevé de compte.", "CP850"},
             {"French cp850 file", "Le dossier est sur ton bureau, c'est réglé.", "CP850"},
         })) {
        SCOPED_TRACE(note.what);
        const auto bytes = inPage(note.text, note.page);
        ASSERT_EQ(test::uchardetReading(bytes).text, note.text);
        EXPECT_EQ(vaskReading(bytes), note.text);
    }
}

TEST(LegacyEncodingGuessTest, TheLettersOfTheReadingsTellWhatUchardetReadsWrong) {
    // Bare uchardet reads each as windows-1252 or ISO-8859-2, as Vask did: "Pawe³ ¦cibor;£ód¼",
    // "Mo¾ete", "¤" for "€", and windows-1250's "Ź", "Š", "ť" as controls of ISO-8859-2.
    for (const auto& note : std::to_array<Note>({
             {"Polish list in ISO-8859-2", "Paweł;Ścibor;Łódź;+48 601 234 567\n", "ISO-8859-2"},
             {"Polish list in windows-1250",
              "Imię;Nazwisko;Miejscowość\nPaweł;Ścibor;Łódź\nŻaneta;Wróbel;Toruń\n", "CP1250"},
             {"Polish note in windows-1250", "Płacę 20 zł za obiad.", "CP1250"},
             {"Slovak vCard in windows-1250",
              "BEGIN:VCARD\nVERSION:3.0\nN:Ťapák;Ľuboš;;;\nFN:Ľuboš Ťapák\n"
              "ADR;TYPE=HOME:;;Šafárikova 12;Šaľa;;;Slovensko\nEND:VCARD\n",
              "CP1250"},
             {"German price in ISO-8859-15", "Das Essen kostet 25 € pro Person.", "ISO-8859-15"},
             {"French price in ISO-8859-15", "Entree 12 €, gratuit pour les moins de 6 ans.",
              "ISO-8859-15"},
         })) {
        SCOPED_TRACE(note.what);
        EXPECT_EQ(vaskReading(inPage(note.text, note.page)), note.text);
    }
}

// The sentences of the encoding corpus of a language written in legacy pages, and the pages.
struct Written {
    const char* file;
    std::vector<const char*> pages;
};

const std::vector<Written>& writtenLanguages() {
    static const std::vector<Written> kWritten = {
        {"cs", {"CP1250", "ISO-8859-2", "CP852"}},
        {"pl", {"CP1250", "ISO-8859-2", "CP852"}},
        {"hu", {"CP1250", "ISO-8859-2"}},
        {"sk-notes", {"CP1250", "ISO-8859-2", "CP852"}},
        {"pl-csv", {"CP1250", "ISO-8859-2"}},
        {"de", {"CP1252", "ISO-8859-15", "CP850"}},
        {"fr", {"CP1252", "CP850", "MACINTOSH"}},
        {"es-notes", {"CP1252", "CP850"}},
        {"fr-euro", {"CP1252", "ISO-8859-15"}},
        {"ru", {"CP1251", "KOI8-R", "CP866"}},
        {"el", {"CP1253", "ISO-8859-7"}},
        {"lt", {"CP1257", "ISO-8859-13"}},
        {"tr", {"CP1254"}},
    };
    return kWritten;
}

std::vector<std::string> sentences(const char* file) {
    std::ifstream in(fs::path(VASK_SOURCES_TEST_DATA) / ".." / "encoding-corpus" /
                     (std::string(file) + ".txt"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

TEST(LegacyEncodingGuessTest, LegacyTextIsReadAsUchardetReadsItOrBetter) {
    test::checkProperty("legacy text read as uchardet reads it or better", 300, 100, [] {
        const auto& written = *rc::gen::elementOf(writtenLanguages());
        const auto* page = *rc::gen::elementOf(written.pages);
        const auto lines = sentences(written.file);
        RC_PRE(!lines.empty());
        // From a note of 24 bytes up to a few KB: whole sentences, the last cut at a space.
        const auto size = *rc::gen::inRange<std::size_t>(24, 4000);
        auto at = *rc::gen::inRange<std::size_t>(0, lines.size());
        std::string text;
        while (text.size() < size) {
            const auto& line = lines[at++ % lines.size()];
            if (!test::iconvConverted(line, page, "UTF-8")) {
                RC_PRE(at < lines.size() * 2);
                continue;
            }
            text += line + "\n";
        }
        if (text.size() > size) {
            const auto space = text.rfind(' ', size);
            if (space != std::string::npos && space >= 24) {
                text.resize(space);
            }
        }
        text = text::composed(std::move(text));
        const auto bytes = inPage(text, page);
        RC_PRE(bytes != text);
        if (test::uchardetReading(bytes).text == text) {
            RC_ASSERT(vaskReading(bytes) == text);
        }
    });
}

}  // namespace
}  // namespace vask
