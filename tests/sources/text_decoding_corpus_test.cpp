// The encoding guess over a corpus of everyday texts in every code page their languages are
// written in, beside bare uchardet, scored per cell (language or kind of text, page, size, mix).
// The texts are built from the lines of tests/data/encoding-corpus, all written by
// tools/encoding-comparison/corpus.py: lines of Debian's message catalogues and manual pages, and
// the notes, prices and contact lists it holds. The test fails when a cell reads fewer files
// right than scores.tsv records, or when a file bare uchardet reads right is read wrong (its page
// read as a reader sees it, line by line, what does not convert as U+FFFD: bare_uchardet.h).
//
// With VASK_ENCODING_CORPUS naming a folder, every text is kept there beside its right reading
// (NAME.utf8, and NAME.around for a text with UTF-8 pasted into it) for
// tools/encoding-comparison; with VASK_ENCODING_CORPUS_SCORES naming a file, the
// scores are written to it (to record them after a change that reads more right).
#include <gtest/gtest.h>
#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "bare_uchardet.h"
#include "encoded_text.h"
#include "platform/text.h"
#include "sources/decoding/text_decoding.h"

namespace vask {
namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = fs::path(VASK_SOURCES_TEST_DATA) / ".." / "encoding-corpus";

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// `utf8` in the page, when the page writes every character of it (and reads them back the same:
// no best fit).
std::optional<std::string> written(std::string_view utf8, const char* page) {
    std::optional<std::string> bytes;
    if (std::string_view(page) == "ISO-8859-16") {
        bytes = test::iconvConverted(utf8, page, "UTF-8");
    } else {
        UErrorCode status = U_ZERO_ERROR;
        const std::unique_ptr<UConverter, decltype(&ucnv_close)> converter(ucnv_open(page, &status),
                                                                           ucnv_close);
        ucnv_setFromUCallBack(converter.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                              &status);
        std::u16string utf16(utf8.size(), u'\0');
        int32_t utf16Length = 0;
        u_strFromUTF8(utf16.data(), static_cast<int32_t>(utf16.size()), &utf16Length, utf8.data(),
                      static_cast<int32_t>(utf8.size()), &status);
        utf16.resize(static_cast<std::size_t>(utf16Length));
        std::string out(utf16.size() * 4 + 16, '\0');
        const auto length =
            ucnv_fromUChars(converter.get(), out.data(), static_cast<int32_t>(out.size()),
                            utf16.data(), static_cast<int32_t>(utf16.size()), &status);
        if (U_SUCCESS(status)) {
            out.resize(static_cast<std::size_t>(length));
            bytes = out;
        }
    }
    if (!bytes || decoding::convert(*bytes, page) != text::composed(std::string(utf8))) {
        return std::nullopt;
    }
    return bytes;
}

// Vask's reading of a text file.
std::optional<std::string> vaskReading(std::string_view bytes) {
    auto text = decoding::unicodeText(bytes);
    return text ? text : decoding::detected(bytes);
}

std::string withCedillas(std::string line) {
    for (const auto& [comma, cedilla] :
         std::to_array<std::pair<std::string_view, std::string_view>>(
             {{"ș", "ş"}, {"ț", "ţ"}, {"Ș", "Ş"}, {"Ț", "Ţ"}})) {
        for (auto at = line.find(comma); at != std::string::npos; at = line.find(comma, at)) {
            line.replace(at, comma.size(), cedilla);
        }
    }
    return line;
}

// The sizes of the texts, and how many of each a cell holds (a note tells least, so there are
// more of them).
struct Size {
    std::size_t bytes;
    int texts;
    // How many words a text of the size has pasted into it, and how many quoted.
    std::size_t words;
    // A text of one line (or record) takes one of these lengths; 0 for a text of lines up to the
    // size.
    std::size_t shortest = 0;
    std::size_t longest = 0;
};

// The catalogues' texts: a note of one line of 60 to 160 bytes, 300 B, 2 KB and 20 KB; and in
// the DOS pages a short note too, of 24 to 100 bytes.
const std::vector<Size> kSizes = {{100, 4, 1, 60, 160}, {300, 4, 2}, {2000, 2, 6}, {20000, 1, 12}};
const std::vector<Size> kDosSizes = {
    {50, 4, 1, 24, 100}, {100, 4, 1, 60, 160}, {300, 4, 2}, {2000, 2, 6}, {20000, 1, 12}};
// Notes and prices typed by hand: one of 24 to 100 bytes, and a few together.
const std::vector<Size> kNoteSizes = {{50, 4, 1, 24, 100}, {300, 4, 2}};
// Contact lists: a CSV row or a vCard, and lists of 300 B and 2 KB.
const std::vector<Size> kRowSizes = {{100, 4, 1, 24, 160}, {300, 4, 2}, {2000, 2, 6}};
const std::vector<Size> kCardSizes = {{200, 4, 1, 100, 250}, {300, 4, 2}, {2000, 2, 6}};

bool isMultiBytePage(std::string_view page) {
    return page == "Shift_JIS" || page == "EUC-JP" || page == "GBK" || page == "GB18030" ||
           page == "Big5" || page == "windows-949" || page == "EUC-KR";
}

bool isDosPage(std::string_view page) {
    return page == "ibm-850" || page == "ibm-852" || page == "ibm-866";
}

struct Language {
    // The corpus file's name without ".txt": a language, or a language and a kind of text
    // ("pl-csv").
    const char* name;
    std::vector<const char*> pages;
    // The quotation marks its texts are written with.
    const char* open;
    const char* close;
    const std::vector<Size>* sizes = &kSizes;
};

const std::vector<Language>& languages() {
    static const std::vector<Language> kLanguages = {
        {"bg", {"windows-1251"}, "„", "“"},
        {"ca", {"windows-1252"}, "«", "»"},
        {"cs", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "“"},
        {"da", {"windows-1252"}, "»", "«"},
        {"de", {"windows-1252", "ISO-8859-15", "ibm-850", "macintosh"}, "„", "“"},
        {"el", {"windows-1253", "ISO-8859-7"}, "«", "»"},
        // Everyday English notes with signs of units and currencies (written for the corpus:
        // the catalogues' English is their untranslated messages).
        {"en", {"windows-1252"}, "“", "”"},
        {"eo", {"ISO-8859-3"}, "“", "”"},
        {"es", {"windows-1252", "ibm-850"}, "«", "»"},
        {"et", {"windows-1257", "ISO-8859-15"}, "„", "“"},
        {"fi", {"windows-1252", "ISO-8859-15"}, "”", "”"},
        {"fr", {"windows-1252", "ISO-8859-15", "ibm-850", "macintosh"}, "«", "»"},
        {"hr", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "“"},
        {"hu", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "”"},
        {"is", {"windows-1252"}, "„", "“"},
        {"it", {"windows-1252"}, "«", "»"},
        {"ja", {"Shift_JIS", "EUC-JP"}, "「", "」"},
        {"ko", {"windows-949", "EUC-KR"}, "“", "”"},
        {"lt", {"windows-1257", "ISO-8859-13"}, "„", "“"},
        {"lv", {"windows-1257", "ISO-8859-13"}, "«", "»"},
        {"nb", {"windows-1252"}, "«", "»"},
        {"nl", {"windows-1252"}, "“", "”"},
        {"pl", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "”"},
        {"pt", {"windows-1252"}, "«", "»"},
        {"ro", {"windows-1250", "ISO-8859-2", "ISO-8859-16"}, "„", "”"},
        {"ru", {"windows-1251", "KOI8-R", "ibm-866", "ISO-8859-5"}, "«", "»"},
        {"sk", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "“"},
        {"sl", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "“"},
        {"sv", {"windows-1252"}, "”", "”"},
        {"th", {"windows-874"}, "“", "”"},
        {"tr", {"windows-1254"}, "“", "”"},
        {"uk", {"windows-1251", "KOI8-U"}, "«", "»"},
        {"zh_CN", {"GBK", "GB18030"}, "“", "”"},
        {"zh_TW", {"Big5"}, "「", "」"},
        // Written for the corpus (what the catalogues hold none of): short notes in every page,
        // DOS's among them (addresses, errands, French elisions); prices whose only character
        // above ASCII is the euro; contact lists of Central European names as CSV and vCards.
        {"cs-notes", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "“", &kNoteSizes},
        {"de-notes",
         {"windows-1252", "ISO-8859-15", "ibm-850", "macintosh"},
         "„",
         "“",
         &kNoteSizes},
        {"es-notes", {"windows-1252", "ibm-850"}, "«", "»", &kNoteSizes},
        {"fr-notes",
         {"windows-1252", "ISO-8859-15", "ibm-850", "macintosh"},
         "«",
         "»",
         &kNoteSizes},
        {"hr-notes", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "“", &kNoteSizes},
        {"hu-notes", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "”", &kNoteSizes},
        {"pl-notes", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "”", &kNoteSizes},
        {"ru-notes", {"windows-1251", "KOI8-R", "ibm-866", "ISO-8859-5"}, "«", "»", &kNoteSizes},
        {"sk-notes", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "“", &kNoteSizes},
        {"sl-notes", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "“", &kNoteSizes},
        {"ja-notes", {"Shift_JIS", "EUC-JP"}, "「", "」", &kNoteSizes},
        {"ko-notes", {"windows-949", "EUC-KR"}, "“", "”", &kNoteSizes},
        {"zh_CN-notes", {"GBK", "GB18030"}, "“", "”", &kNoteSizes},
        {"zh_TW-notes", {"Big5"}, "「", "」", &kNoteSizes},
        {"de-euro", {"windows-1252", "ISO-8859-15"}, "„", "“", &kNoteSizes},
        {"fi-euro", {"windows-1252", "ISO-8859-15"}, "”", "”", &kNoteSizes},
        {"fr-euro", {"windows-1252", "ISO-8859-15"}, "«", "»", &kNoteSizes},
        {"cs-csv", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "“", &kRowSizes},
        {"hr-csv", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "“", &kRowSizes},
        {"hu-csv", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "”", &kRowSizes},
        {"pl-csv", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "”", &kRowSizes},
        {"ro-csv", {"windows-1250", "ISO-8859-2", "ISO-8859-16"}, "„", "”", &kRowSizes},
        {"sk-csv", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "“", &kRowSizes},
        {"sl-csv", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "“", &kRowSizes},
        {"cs-vcard", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "“", &kCardSizes},
        {"hr-vcard", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "“", &kCardSizes},
        {"hu-vcard", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "”", &kCardSizes},
        {"pl-vcard", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "”", &kCardSizes},
        {"ro-vcard", {"windows-1250", "ISO-8859-2", "ISO-8859-16"}, "„", "”", &kCardSizes},
        {"sk-vcard", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "“", &kCardSizes},
        {"sl-vcard", {"windows-1250", "ISO-8859-2", "ibm-852"}, "„", "“", &kCardSizes},
    };
    return kLanguages;
}

// The mixes: the text all in the page; UTF-8 with words, quotation marks or its last lines
// pasted from the page; the text in the page with words or its last lines pasted from UTF-8, or
// in a page of two bytes to a character with a line of signs pasted from UTF-8 after its first
// line (`kSignLines`); UTF-8 with a stray
// byte after its first character above ASCII. Each mix that is UTF-8 is made again with a sign,
// an arrow or an emoji at the start of the text (`kSigns`), what users write beside their words
// that no legacy page holds.
enum class Mix { pure, words, quotes, lines, utf8Words, utf8Lines, utf8SignLine, stray };
struct MixName {
    Mix mix;
    const char* name;
    bool signs = false;
};
constexpr auto kMixes = std::to_array<MixName>({{Mix::pure, "pure"},
                                                {Mix::words, "words"},
                                                {Mix::quotes, "quotes"},
                                                {Mix::lines, "lines"},
                                                {Mix::utf8Words, "utf8-words"},
                                                {Mix::utf8Lines, "utf8-lines"},
                                                {Mix::utf8SignLine, "utf8-sign-line"},
                                                {Mix::stray, "stray"},
                                                {Mix::words, "words-signs", true},
                                                {Mix::quotes, "quotes-signs", true},
                                                {Mix::lines, "lines-signs", true},
                                                {Mix::stray, "stray-signs", true}});

bool isAsciiText(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The lines of a text of about the size from the page's lines, from the `variant`th part of
// them: one line of the note's length for a note, else lines up to the size.
std::vector<std::string> textLines(const std::vector<std::string>& lines, const Size& size,
                                   int variant) {
    std::vector<std::string> taken;
    const auto start = static_cast<std::size_t>(variant) * lines.size() / 5;
    std::size_t length = 0;
    for (std::size_t i = 0; i < lines.size() && length < size.bytes; ++i) {
        const auto& line = lines[(start + i) % lines.size()];
        if (size.shortest > 0 && (line.size() < size.shortest || line.size() > size.longest)) {
            continue;
        }
        taken.push_back(line);
        length += line.size() + 1;
        if (size.shortest > 0) {
            break;
        }
    }
    return taken;
}

// The records of a corpus file: its lines, or, in a file of records of several lines (vCards),
// the runs of lines between blank lines.
std::vector<std::string> records(const std::string& file) {
    std::vector<std::string> found;
    const bool blocks = file.find("\n\n") != std::string::npos;
    std::istringstream in(file);
    std::string record;
    for (std::string line; std::getline(in, line);) {
        if (!blocks) {
            found.push_back(line);
        } else if (line.empty()) {
            found.push_back(std::move(record));
            record.clear();
        } else {
            record += (record.empty() ? "" : "\n") + line;
        }
    }
    if (blocks && !record.empty()) {
        found.push_back(std::move(record));
    }
    return found;
}

// The signs, arrows and emoji a UTF-8 text begins with: what users write beside their words
// that no legacy page holds, one for each text in turn.
constexpr auto kSigns = std::to_array<std::string_view>(
    {"✓ ", "→ ", "№ 3 ", "−2 °C ", "↑ ", "≈ ", "✔ ", "👍 ", "🙂 ", "⚠️ ", "🎉 ", "• "});

// The lines of signs pasted from UTF-8 into a text in a page, one for each text by its length.
constexpr auto kSignLines = std::to_array<std::string_view>(
    {"PS: 3 → 4", "👍 ok", "✓ 12 € ≈ 13 $ ↑", "→ 5 km, −2 °C", "№ 3 … 🙂"});

std::string joined(const std::vector<std::string>& lines, std::size_t from, std::size_t to) {
    std::string text;
    for (auto i = from; i < to; ++i) {
        text += lines[i] + "\n";
    }
    return text;
}

// The words of a text with a character above ASCII (runs between ASCII spaces and punctuation),
// each once, in order.
std::vector<std::string> wordsAboveAscii(std::string_view text) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto isBreak = [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x80 && !std::isalnum(byte);
        };
        while (at < text.size() && isBreak(text[at])) {
            ++at;
        }
        auto end = at;
        while (end < text.size() && !isBreak(text[end])) {
            ++end;
        }
        const std::string word(text.substr(at, end - at));
        if (!word.empty() && !isAsciiText(word) &&
            std::find(words.begin(), words.end(), word) == words.end()) {
            words.push_back(word);
        }
        at = end;
    }
    return words;
}

// Where a word first stands whole in a text (not as part of a longer word).
std::size_t wordAt(std::string_view text, std::string_view word) {
    const auto isBreak = [&](std::size_t at) {
        const auto byte = static_cast<unsigned char>(text[at]);
        return byte < 0x80 && !std::isalnum(byte);
    };
    for (auto at = text.find(word); at != std::string_view::npos; at = text.find(word, at + 1)) {
        if ((at == 0 || isBreak(at - 1)) &&
            (at + word.size() == text.size() || isBreak(at + word.size()))) {
            return at;
        }
    }
    return text.find(word);
}

// The point of a line that is a line's second half: a space near its middle, or for a script
// written without spaces the first character past it.
std::size_t middleOf(std::string_view line) {
    const auto space = line.find(' ', line.size() / 2);
    if (space != std::string_view::npos) {
        return space + 1;
    }
    auto at = line.size() / 2;
    while (at < line.size() && (static_cast<unsigned char>(line[at]) & 0xC0) == 0x80) {
        ++at;
    }
    return at;
}

struct CorpusText {
    std::string bytes;
    std::string text;
    // Whether a reading is right when it begins with the text (the part in the page, when UTF-8
    // lines were pasted after it and read in the page too).
    bool prefix = false;
    // When UTF-8 words were pasted into the text in the page, the parts of the text around
    // them: a reading is right too when it reads those right, the words as it may.
    std::vector<std::string> around = {};
};

std::optional<CorpusText> corpusText(const std::vector<std::string>& lines, const char* page,
                                     const Language& language, Mix mix, const Size& size) {
    const auto text = joined(lines, 0, lines.size());
    const auto pastedLines = (lines.size() + 9) / 10;
    switch (mix) {
        case Mix::pure: {
            return CorpusText{*written(text, page), text};
        }
        case Mix::words: {
            auto bytes = text;
            const auto words = wordsAboveAscii(text);
            for (std::size_t i = 0; i < std::min(size.words, words.size()); ++i) {
                bytes.replace(wordAt(bytes, words[i]), words[i].size(), *written(words[i], page));
            }
            return CorpusText{bytes, text};
        }
        case Mix::quotes: {
            const auto open = written(language.open, page);
            const auto close = written(language.close, page);
            if (!open || !close) {
                return std::nullopt;
            }
            auto bytes = text;
            auto quoted = text;
            const auto words = wordsAboveAscii(text);
            for (std::size_t i = 0; i < std::min<std::size_t>({size.words, words.size(), 3}); ++i) {
                const auto at = wordAt(bytes, words[i]);
                bytes.replace(at, words[i].size(), *open + words[i] + *close);
                const auto quotedAt = wordAt(quoted, words[i]);
                quoted.replace(quotedAt, words[i].size(),
                               std::string(language.open) + words[i] + language.close);
            }
            return CorpusText{bytes, quoted};
        }
        case Mix::utf8Words: {
            auto bytes = *written(text, page);
            std::vector<std::pair<std::size_t, std::size_t>> pasted;
            const auto words = wordsAboveAscii(text);
            for (std::size_t k = 0; k < std::min(size.words, words.size()); ++k) {
                const auto& word = words[k];
                const auto inBytes = *written(word, page);
                bytes.replace(wordAt(bytes, inBytes), inBytes.size(), word);
                const auto at = wordAt(text, word);
                pasted.emplace_back(at, at + word.size());
            }
            std::sort(pasted.begin(), pasted.end());
            std::vector<std::string> around;
            std::size_t from = 0;
            for (const auto& [begin, end] : pasted) {
                around.push_back(text.substr(from, begin - from));
                from = end;
            }
            around.push_back(text.substr(from));
            return CorpusText{bytes, text, false, around};
        }
        case Mix::stray: {
            // After the first character above ASCII.
            auto after = static_cast<std::size_t>(
                std::find_if(text.begin(), text.end(),
                             [](char c) { return static_cast<unsigned char>(c) >= 0x80; }) -
                text.begin());
            do {
                ++after;
            } while (after < text.size() &&
                     (static_cast<unsigned char>(text[after]) & 0xC0) == 0x80);
            auto bytes = text;
            auto read = text;
            bytes.insert(after, "\xFF");
            read.insert(after, "\xEF\xBF\xBD");
            return CorpusText{bytes, read};
        }
        case Mix::utf8SignLine: {
            // (In the pages of two bytes to a character, where the pasted bytes may make the page
            // read the text around them wrong; a page of one byte reads them as letters of its
            // own and leaves the rest as it is.)
            if (!isMultiBytePage(page)) {
                return std::nullopt;
            }
            const auto first = joined(lines, 0, 1);
            const auto rest = joined(lines, 1, lines.size());
            const auto signs = std::string(kSignLines[text.size() % kSignLines.size()]) + "\n";
            return CorpusText{
                *written(first, page) + signs + *written(rest, page), text, false, {first, rest}};
        }
        case Mix::lines:
        case Mix::utf8Lines: {
            // The last tenth of the lines, or the second half of a text of one line.
            const auto split = lines.size() > 1
                                   ? joined(lines, 0, lines.size() - pastedLines).size()
                                   : middleOf(lines[0]);
            const auto first = text.substr(0, split);
            const auto second = text.substr(split);
            if (mix == Mix::lines) {
                return CorpusText{first + *written(second, page), text};
            }
            return CorpusText{*written(first, page) + second, first, true};
        }
    }
    return std::nullopt;
}

struct Score {
    int files = 0;
    int vask = 0;
    int uchardet = 0;
};

using Cell = std::tuple<std::string, std::string, std::size_t, std::string>;

std::string cellName(const Cell& cell) {
    return std::get<0>(cell) + " " + std::get<1>(cell) + " " + std::to_string(std::get<2>(cell)) +
           " " + std::get<3>(cell);
}

std::map<Cell, Score> recordedScores() {
    std::map<Cell, Score> scores;
    std::istringstream in(contents(kCorpus / "scores.tsv"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.starts_with("#")) {
            continue;
        }
        std::istringstream fields(line);
        Cell cell;
        Score score;
        fields >> std::get<0>(cell) >> std::get<1>(cell) >> std::get<2>(cell) >>
            std::get<3>(cell) >> score.files >> score.vask >> score.uchardet;
        scores[cell] = score;
    }
    return scores;
}

// Keeps a text beside its right reading (NAME.utf8) and, for a text in a page with UTF-8 pasted
// into it, the parts of that reading a reading must hold in their order, the first at its start
// and the last at its end (NAME.around, the parts apart by NUL bytes; for UTF-8 lines pasted at
// the end, the part in the page and an empty one).
void keep(const char* folder, const std::string& name, const CorpusText& text) {
    const auto path = fs::path(folder) / name;
    std::ofstream(path, std::ios::binary) << text.bytes;
    std::ofstream(path.string() + ".utf8", std::ios::binary) << text.text;
    const auto parts = text.prefix ? std::vector<std::string>{text.text, ""} : text.around;
    if (!parts.empty()) {
        std::ofstream around(path.string() + ".around", std::ios::binary);
        for (std::size_t i = 0; i < parts.size(); ++i) {
            around << (i > 0 ? std::string(1, '\0') : std::string()) << parts[i];
        }
    }
}

TEST(TextDecodingCorpusTest, NoCellReadsWorseThanRecordedAndNothingUchardetReadsIsLost) {
    const auto recorded = recordedScores();
    ASSERT_FALSE(recorded.empty()) << "no scores in " << kCorpus / "scores.tsv";
    const char* keptIn = std::getenv("VASK_ENCODING_CORPUS");
    if (keptIn != nullptr) {
        fs::create_directories(keptIn);
    }
    std::map<Cell, Score> scores;
    int uchardetOnly = 0;
    std::size_t signs = 0;
    for (const auto& language : languages()) {
        const auto all = records(contents(kCorpus / (std::string(language.name) + ".txt")));
        ASSERT_FALSE(all.empty()) << language.name;
        for (const auto* page : language.pages) {
            std::vector<std::string> lines;
            for (auto line : all) {
                // Romanian in the pages without its letters with a comma below is written with
                // their cedilla forms.
                if (std::string_view(language.name).starts_with("ro") &&
                    std::string_view(page) != "ISO-8859-16") {
                    line = withCedillas(std::move(line));
                }
                // (A line all ASCII gives the guess nothing to go on.)
                if (!isAsciiText(line) && written(line, page)) {
                    lines.push_back(std::move(line));
                }
            }
            const auto& sizes =
                language.sizes == &kSizes && isDosPage(page) ? kDosSizes : *language.sizes;
            for (const auto& size : sizes) {
                for (int variant = 0; variant < size.texts; ++variant) {
                    const auto taken = textLines(lines, size, variant);
                    if (taken.empty()) {
                        continue;
                    }
                    for (const auto& [mix, mixName, withSign] : kMixes) {
                        auto text = corpusText(taken, page, language, mix, size);
                        if (!text || text->bytes == text->text) {
                            continue;
                        }
                        if (withSign) {
                            const auto sign = kSigns[signs++ % kSigns.size()];
                            text->bytes.insert(0, sign);
                            text->text.insert(0, sign);
                        }
                        const auto isRight = [&](const std::optional<std::string>& read) {
                            return read &&
                                   (text->prefix ? read->starts_with(text->text)
                                                 : *read == text->text ||
                                                       test::readsAround(*read, text->around));
                        };
                        const bool vask = isRight(vaskReading(text->bytes));
                        const bool uchardet = isRight(test::uchardetReading(text->bytes).text);
                        const Cell cell{language.name, page, size.bytes, mixName};
                        auto& score = scores[cell];
                        ++score.files;
                        score.vask += vask ? 1 : 0;
                        score.uchardet += uchardet ? 1 : 0;
                        const auto name = std::string(language.name) + "." + page + "." +
                                          std::to_string(size.bytes) + "." + mixName + "." +
                                          std::to_string(variant);
                        if (uchardet && !vask) {
                            ADD_FAILURE() << name << " read right by uchardet alone";
                            ++uchardetOnly;
                        }
                        if (keptIn != nullptr) {
                            keep(keptIn, name, *text);
                        }
                    }
                }
            }
        }
    }
    int files = 0;
    int vask = 0;
    int uchardet = 0;
    for (const auto& [cell, score] : scores) {
        files += score.files;
        vask += score.vask;
        uchardet += score.uchardet;
        const auto was = recorded.find(cell);
        if (was == recorded.end()) {
            ADD_FAILURE() << cellName(cell) << " has no recorded score";
            continue;
        }
        EXPECT_GE(score.vask, was->second.vask)
            << cellName(cell) << ": " << score.vask << " of " << score.files << " right, "
            << was->second.vask << " recorded";
    }
    std::printf(
        "%d files in %zu cells: Vask reads %d right, bare uchardet %d; %d that uchardet "
        "reads right and Vask wrong\n",
        files, scores.size(), vask, uchardet, uchardetOnly);
    if (const char* out = std::getenv("VASK_ENCODING_CORPUS_SCORES")) {
        std::ofstream table(out);
        table << "# language page size mix files vask uchardet\n";
        for (const auto& [cell, score] : scores) {
            table << cellName(cell) << " " << score.files << " " << score.vask << " "
                  << score.uchardet << "\n";
        }
    }
}

}  // namespace
}  // namespace vask
