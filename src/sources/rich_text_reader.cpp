#include "sources/rich_text_reader.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/text.h"
#include "sources/decoding/text_conversion.h"
#include "sources/decoding/text_decoding.h"
#include "sources/html_text.h"
#include "sources/list_count.h"
#include "sources/list_number_format.h"
#include "sources/word_processor_reader.h"

namespace vask {
namespace {

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Groups whose text is not part of what the document shows: tables, properties, headers and
// footers, pictures, the result of a shape drawn for older readers (its text box is read from
// the shape itself), and the properties of a shape.
bool isSkippedDestination(std::string_view word) {
    static constexpr std::string_view kSkipped[] = {
        "fonttbl", "colortbl", "stylesheet", "info", "pict", "header", "footer", "headerl",
        "headerr", "footerl", "footerr", "object", "themedata", "listtable", "listoverridetable",
        "rsidtbl", "generator", "xmlnstbl", "latentstyles", "datastore", "shprslt", "sp", "headerf",
        "footerf", "revtbl",
        // The text of nested tables as plain paragraphs, for readers that know no nesting.
        "nonesttables"};
    for (const auto skipped : kSkipped) {
        if (word == skipped) {
            return true;
        }
    }
    return false;
}

// The characters control words and symbols stand for; 0 for one that stands for nothing shown
// (an optional hyphen).
std::optional<char32_t> specialCharacter(std::string_view word) {
    struct Special {
        std::string_view word;
        char32_t c;
    };
    static constexpr Special kSpecials[] = {
        {"lquote", U'\u2018'},    {"rquote", U'\u2019'},  {"ldblquote", U'\u201C'},
        {"rdblquote", U'\u201D'}, {"emdash", U'\u2014'},  {"endash", U'\u2013'},
        {"bullet", U'\u2022'},    {"emspace", U'\u2003'}, {"enspace", U'\u2002'},
        {"qmspace", U'\u2005'},   {"zwj", U'\u200D'},     {"zwnj", U'\u200C'},
        {"ltrmark", U'\u200E'},   {"rtlmark", U'\u200F'}, {"zwbo", U'\u200B'},
        {"~", U'\u00A0'},         {"_", U'\u2011'},       {"-", 0},
    };
    for (const auto& special : kSpecials) {
        if (word == special.word) {
            return special.c;
        }
    }
    return std::nullopt;
}

// The ICU name of a Windows code page number (\ansicpg, \cpg), or nothing for one it lacks.
std::optional<std::string> codePageName(long number) {
    switch (number) {
        case 437:
            return "ibm-437";
        case 850:
            return "ibm-850";
        case 866:
            return "ibm-866";
        case 874:
            return "windows-874";
        case 932:
            return "windows-31j";
        case 936:
            return "GBK";
        case 949:
            return "windows-949";
        case 950:
            return "Big5";
        case 1361:
            return "ibm-1363";
        case 10000:
            return "macintosh";
        case 65001:
            return "UTF-8";
        default:
            break;
    }
    if (number >= 1250 && number <= 1258) {
        return "windows-" + std::to_string(number);
    }
    return std::nullopt;
}

// The code page of a font's \fcharset; nothing for the document's own (ANSI, default, symbol).
std::optional<std::string> charsetCodePage(long charset) {
    switch (charset) {
        case 77:
            return codePageName(10000);
        case 128:
            return codePageName(932);
        case 129:
            return codePageName(949);
        case 130:
            return codePageName(1361);
        case 134:
            return codePageName(936);
        case 136:
            return codePageName(950);
        case 161:
            return codePageName(1253);
        case 162:
            return codePageName(1254);
        case 163:
            return codePageName(1258);
        case 177:
            return codePageName(1255);
        case 178:
            return codePageName(1256);
        case 186:
            return codePageName(1257);
        case 204:
            return codePageName(1251);
        case 222:
            return codePageName(874);
        case 238:
            return codePageName(1250);
        case 254:
            return codePageName(437);
        case 255:
            return codePageName(850);
        default:
            return std::nullopt;
    }
}

// The state of each open RTF group. Runs of equal states are kept as one entry of eight bytes
// with a count, so
// nesting costs memory only where a group changes the state: a file of nothing but
// "{" keeps one entry however deep it goes, and every other entry needs several bytes of input.
struct RtfGroup {
    enum class Skip : std::uint8_t {
        no,
        yes,
        // A shape's instructions: not text, but the text box (\shptxt) inside is.
        shape,
        // The font table: not text, but its fonts' code pages are read.
        fontTable,
    };
    // \uc counts above 32767 are taken as 32767: no fallback text is that long.
    std::uint16_t unicodeSkip : 15 = 1;
    // Inside a list's text (\listtext), whose symbols are drawn in its list level's font.
    std::uint16_t listText : 1 = 0;
    std::uint16_t skipBits : 2 = 0;
    // \v (hidden) and \deleted (a tracked deletion): text the page does not show.
    std::uint16_t hidden : 1 = 0;
    std::uint16_t deleted : 1 = 0;
    // Inside a footnote or endnote, read after the body.
    std::uint16_t note : 1 = 0;
    // The font (\f) the text is in, as its place among the fonts the text has used (0 for the
    // document's default); past the last place, the default's code page is used.
    std::uint16_t fontSlot : 11 = 0;
    static constexpr std::uint16_t kFontSlots = (1 << 11) - 1;

    Skip skip() const { return static_cast<Skip>(skipBits); }
    void setSkip(Skip value) { skipBits = static_cast<std::uint16_t>(value) & 3U; }
    bool operator==(const RtfGroup&) const = default;

    bool skipped() const { return skip() != Skip::no; }
    bool shown() const { return skip() == Skip::no && hidden == 0 && deleted == 0; }

    static std::uint16_t skipCount(long parameter) {
        return static_cast<std::uint16_t>(std::clamp<long>(parameter, 0, 32767));
    }
};

class RtfGroupStack {
  public:
    const RtfGroup& top() const { return runs_.back().group; }

    // Changes the innermost group, splitting it from the run it shares with its outer groups. A
    // change to the state it already has costs nothing.
    void setTop(const RtfGroup& group) {
        if (group == top()) {
            return;
        }
        if (runs_.back().count > 1) {
            --runs_.back().count;
            runs_.push_back({1, group});
        } else {
            runs_.back().group = group;
        }
    }

    void open() {
        if (runs_.back().count == std::numeric_limits<std::uint32_t>::max()) {
            runs_.push_back({0, top()});
        }
        ++runs_.back().count;
    }

    // The outermost group is never closed: text after a stray "}" is still read.
    void close() {
        if (runs_.back().count > 1) {
            --runs_.back().count;
        } else if (runs_.size() > 1) {
            runs_.pop_back();
        }
    }

  private:
    struct Run {
        std::uint32_t count;
        RtfGroup group;
    };
    static_assert(sizeof(Run) == 8);
    std::vector<Run> runs_{{1, RtfGroup{}}};
};

class RtfReader {
  public:
    RtfReader(std::string_view input, std::stop_token stop) : in_(input), stop_(std::move(stop)) {}

    // Throws vask::Error when a stop is requested, looked at every 64 KB of the document.
    std::optional<std::string> read() {
        while (pos_ < in_.size()) {
            if (pos_ >= nextStopCheck_) {
                if (stop_.stop_requested()) {
                    throw Error("Reading the document was cancelled");
                }
                nextStopCheck_ = pos_ + kStopCheckBytes;
            }
            const char c = in_[pos_++];
            // "\*" before anything but a control word skips its group all the same.
            if (ignorable_ && !(c == '\\' && pos_ < in_.size() && isAsciiLetter(in_[pos_]))) {
                ignorable_ = false;
                flushBytes();
                auto skipped = groups_.top();
                skipped.setSkip(RtfGroup::Skip::yes);
                groups_.setTop(skipped);
            }
            if (c == '{' || c == '}') {
                groupBoundary(c);
                continue;
            }
            const RtfGroup group = groups_.top();
            if (c == '\r' || c == '\n') {
                continue;
            }
            if (c != '\\') {
                if (group.skip() == RtfGroup::Skip::fontTable) {
                    fontNameCharacter(c);
                } else {
                    textByte(c, group);
                }
                continue;
            }
            if (pos_ >= in_.size() || !control(group)) {
                break;
            }
        }
        flushBytes();
        dropLoneSurrogate();
        settleListText();
        settleReference(kFootnote);
        if (!notes_.empty()) {
            if (!out_.empty() && out_.back() != '\n') {
                out_.push_back('\n');
            }
            out_ += notes_;
        }
        return std::move(out_);
    }

  private:
    enum class KeepSurrogate { no, yes };

    // A group begins or ends. A group's end ends the fallback of a \u inside it, and a new group
    // is no fallback.
    void groupBoundary(char c) {
        flushBytes();
        if (c == '{') {
            groups_.open();
            ++depth_;
        } else {
            groups_.close();
            depth_ -= depth_ > 0 ? 1 : 0;
            if (listTableDepth_ && depth_ < *listTableDepth_) {
                listTableDepth_.reset();
            }
        }
        pendingSkip_ = 0;
    }

    // A byte of text (literal, or written \'hh), passed over as part of a \u fallback.
    void textByte(char byte, const RtfGroup& group) {
        if (pendingSkip_ > 0) {
            --pendingSkip_;
        } else if (group.shown()) {
            bytes_.push_back(byte);
            if (static_cast<unsigned char>(byte) < 0x80) {
                characterEnd_ = bytes_.size();
            }
            if (bytes_.size() >= nextLongRun_) {
                flushLongRun();
            }
        }
    }

    // After a backslash: a byte in hexadecimal, a control symbol or a control word; whether the
    // input goes on.
    bool control(const RtfGroup& group) {
        const char next = in_[pos_];
        if (next == '\'') {
            if (pos_ + 2 >= in_.size()) {
                return false;
            }
            const int high = text::hexDigitValue(in_[pos_ + 1]);
            const int low = text::hexDigitValue(in_[pos_ + 2]);
            pos_ += 3;
            if (high >= 0 && low >= 0) {
                textByte(static_cast<char>(high * 16 + low), group);
            }
            return true;
        }
        if (!isAsciiLetter(next)) {
            ++pos_;
            if (next == '*') {
                ignorable_ = true;
            } else if (next == '\n' || next == '\r') {
                // A backslash that ends a line is a paragraph's end, as TextEdit ends lines.
                controlWord("par", std::nullopt, false, group, pendingSkip_);
            } else if (next == '\\' || next == '{' || next == '}') {
                textByte(next, group);
            } else if (const auto special = specialCharacter(std::string_view(&next, 1))) {
                character(*special, group, pendingSkip_);
            }
            return true;
        }
        const auto start = pos_;
        while (pos_ < in_.size() && isAsciiLetter(in_[pos_])) {
            ++pos_;
        }
        const auto word = in_.substr(start, pos_ - start);
        const auto parameter = readParameter();
        if (pos_ < in_.size() && in_[pos_] == ' ') {
            ++pos_;
        }
        if (word == "bin") {
            // Binary data of the parameter's length follows: never markup, never text.
            const auto length = static_cast<std::size_t>(std::max(parameter.value_or(0), 0L));
            pos_ += std::min(length, in_.size() - pos_);
            return true;
        }
        const bool afterStar = std::exchange(ignorable_, false);
        controlWord(word, parameter, afterStar, group, pendingSkip_);
        return true;
    }

    // A control word's parameter: an optional minus sign and up to ten digits (the sign is not
    // one of them); a digit past the tenth is text.
    std::optional<long> readParameter() {
        constexpr std::size_t kMostDigits = 10;
        const auto numberStart = pos_;
        if (pos_ < in_.size() && in_[pos_] == '-') {
            ++pos_;
        }
        const auto digitsStart = pos_;
        while (pos_ < in_.size() && in_[pos_] >= '0' && in_[pos_] <= '9' &&
               pos_ - digitsStart < kMostDigits) {
            ++pos_;
        }
        if (pos_ == digitsStart) {
            return std::nullopt;
        }
        return std::stol(std::string(in_.substr(numberStart, pos_ - numberStart)));
    }

    void controlWord(std::string_view word, std::optional<long> parameter, bool afterStar,
                     RtfGroup group, int& pendingSkip) {
        using Skip = RtfGroup::Skip;
        // Destinations read whether or not "\*" marks them, where the group around is read.
        if (word == "footnote" && !group.skipped()) {
            flushBytes();
            if (!notes_.empty() && notes_.back() != '\n') {
                notes_.push_back('\n');
            }
            group.note = 1;
            groups_.setTop(group);
            noteKind_ = kFootnote;
            return;
        }
        if (word == "shpinst" && group.skip() != Skip::yes && group.skip() != Skip::fontTable) {
            group.setSkip(Skip::shape);
            groups_.setTop(group);
            return;
        }
        if (word == "shptxt" && group.skip() == Skip::shape) {
            group.setSkip(Skip::no);
            groups_.setTop(group);
            return;
        }
        if (word == "nesttableprops" && group.shown()) {
            // A nested row ends with its properties, where Word writes its \nestrow.
            flushBytes();
            target(group).push_back('\n');
        }
        if (word == "listtable" || word == "listoverridetable") {
            listTableDepth_ = depth_;
        }
        if (afterStar || isSkippedDestination(word)) {
            group.setSkip(word == "fonttbl" && !group.skipped() ? Skip::fontTable : Skip::yes);
            groups_.setTop(group);
            return;
        }
        if (group.skip() == Skip::fontTable) {
            if (word == "f" && parameter) {
                definingFont_ = *parameter;
                definedFonts_.insert(*parameter);
                fontName_.clear();
            } else if (word == "fcharset" && parameter && *parameter == kSymbolCharset &&
                       definingFont_) {
                fontCodePages_[*definingFont_] = std::string(kSymbolGlyphs);
            } else if ((word == "fcharset" || word == "cpg") && parameter && definingFont_) {
                auto codePage =
                    word == "cpg" ? codePageName(*parameter) : charsetCodePage(*parameter);
                if (codePage) {
                    fontCodePages_[*definingFont_] = std::move(*codePage);
                }
            }
            return;
        }
        if (listTableDepth_) {
            listDefinition(word, parameter);
            return;
        }
        if (noteFormat(word) || noteStart(word, parameter) || noteRestart(word)) {
            return;
        }
        if (word == "sectd" && !group.skipped()) {
            // A section's properties begin from the document's.
            sectionNoteFormats_ = {};
            sectionNoteRestarts_ = {};
            return;
        }
        if (word == "sect" && !group.skipped()) {
            sectionBegun_ = true;
        }
        if (word == "ansicpg" && parameter) {
            codePage_ = codePageName(*parameter).value_or(codePage_);
            return;
        }
        if (word == "deff" && parameter) {
            defaultFont_ = *parameter;
            return;
        }
        if (word == "uc" && parameter) {
            group.unicodeSkip = RtfGroup::skipCount(*parameter);
            groups_.setTop(group);
            return;
        }
        if (group.skipped()) {
            return;
        }
        if (paragraphList(word, parameter, group)) {
            return;
        }
        if (word == "chftn") {
            noteMark(group, pendingSkip);
            return;
        }
        if (word == "ftnalt" && group.note != 0) {
            noteKind_ = kEndnote;
            return;
        }
        // Character formatting: hidden and deleted text, and the font the bytes are in.
        if (word == "v" || word == "deleted" || word == "plain" || word == "f") {
            flushBytes();
            const bool on = !parameter || *parameter != 0;
            if (word == "v") {
                group.hidden = on ? 1 : 0;
            } else if (word == "deleted") {
                group.deleted = on ? 1 : 0;
            } else if (word == "plain") {
                group.hidden = 0;
                group.deleted = 0;
                group.fontSlot = 0;
            } else if (parameter) {
                group.fontSlot = fontSlot(*parameter);
            }
            groups_.setTop(group);
            return;
        }
        if (word == "u" && parameter) {
            if (group.shown()) {
                flushBytes(KeepSurrogate::yes);
                auto unit = unicodeUnit(*parameter);
                // A symbol font's glyphs are written where its bytes fall in the private use area;
                // there, a font the font table does not define is taken as Symbol (a list's
                // bullet written "\u61623" is "•").
                if (const auto& page = codePage(group);
                    page == kSymbolFont || page == kWingdingsFont) {
                    unit = ListNumberFormat::symbolFontCharacter(unit, page);
                } else if (!definedFonts_.contains(font(group))) {
                    unit = ListNumberFormat::symbolFontCharacter(unit, kSymbolFont);
                }
                appendUnit(unit, target(group));
            }
            pendingSkip = group.unicodeSkip;
            return;
        }
        if (const auto special = specialCharacter(word)) {
            character(*special, group, pendingSkip);
            return;
        }
        if (!group.shown()) {
            return;
        }
        // A table nested in a cell ends its cells and rows with words of their own.
        if (word == "par" || word == "line" || word == "sect" || word == "page" || word == "row" ||
            word == "nestrow") {
            flushBytes();
            target(group).push_back('\n');
        } else if (word == "tab" || word == "cell" || word == "nestcell") {
            flushBytes();
            target(group).push_back('\t');
        }
    }

    // A character a control word or symbol stands for; as part of a \u fallback it is passed
    // over like any other.
    void character(char32_t c, const RtfGroup& group, int& pendingSkip) {
        if (pendingSkip > 0) {
            --pendingSkip;
            return;
        }
        if (c == 0 || !group.shown()) {
            return;
        }
        flushBytes();
        decoding::appendUtf8(target(group), c);
    }

    // Where the group's text goes; a list's text before it is settled first.
    std::string& target(const RtfGroup& group) {
        if (listText_ && group.listText == 0) {
            settleListText();
        }
        return group.note != 0 ? notes_ : out_;
    }

    // The list definitions (\listtable, \listoverridetable): the font of each level of each
    // list, and the list each \ls number names.
    void listDefinition(std::string_view word, std::optional<long> parameter) {
        if (word == "list") {
            listLevels_.clear();
            levelCount_ = 0;
            inOverride_ = false;
        } else if (word == "listoverride") {
            inOverride_ = true;
            overrideList_.reset();
        } else if (word == "listlevel" && !inOverride_) {
            if (++levelCount_ <= kListLevels) {
                listLevels_.push_back(-1);
            }
        } else if (word == "f" && parameter && !inOverride_ && !listLevels_.empty() &&
                   levelCount_ <= kListLevels) {
            listLevels_.back() = *parameter;
        } else if (word == "listid" && parameter) {
            if (inOverride_) {
                overrideList_ = *parameter;
            } else {
                listFonts_[*parameter] = listLevels_;
            }
        } else if (word == "ls" && parameter && inOverride_ && overrideList_) {
            listOverrides_[*parameter] = *overrideList_;
        }
    }

    // The list and level of the paragraph (\ls, \ilvl; \pard outside a list's text begins a
    // paragraph of none), and the start of a list's text; whether the word was one of them.
    bool paragraphList(std::string_view word, std::optional<long> parameter, RtfGroup group) {
        if (word == "ls" && parameter) {
            paragraphList_ = *parameter;
        } else if (word == "ilvl" && parameter) {
            paragraphLevel_ = *parameter;
        } else if (word == "pard" && group.listText == 0) {
            paragraphList_.reset();
            paragraphLevel_ = 0;
        } else if (word == "listtext") {
            flushBytes();
            auto& out = target(group);
            listText_ = ListText{&out, out.size()};
            group.listText = 1;
            groups_.setTop(group);
        } else {
            return false;
        }
        return true;
    }

    // A list's text is written before the paragraph names its list, so the symbols in it are
    // drawn once the paragraph's text begins: the private-use characters of a symbol font in
    // the font of its list's level (LibreOffice writes a bullet "\u61623" in the default font
    // while the level's font is Symbol), or in Symbol when the list's fonts are not known.
    void settleListText() {
        if (!listText_) {
            return;
        }
        auto [out, start] = *listText_;
        listText_.reset();
        if (start > out->size()) {
            return;
        }
        // The number or bullet and its tab, without the spaces written before it.
        const auto first = out->find_first_not_of(' ', start);
        out->erase(start, std::min(first, out->size()) - start);
        if (start < out->size()) {
            const auto shown =
                ListNumberFormat::symbolFontText(std::string_view(*out).substr(start), listFont());
            out->replace(start, std::string::npos, shown);
        }
    }

    // The symbol font of the paragraph's list level: Symbol or Wingdings, or none for a level
    // in another font.
    std::string_view listFont() const {
        const auto list =
            paragraphList_ ? listOverrides_.find(*paragraphList_) : listOverrides_.end();
        const auto levels =
            list != listOverrides_.end() ? listFonts_.find(list->second) : listFonts_.end();
        if (levels == listFonts_.end()) {
            return kSymbolFont;
        }
        const auto level = static_cast<std::size_t>(
            std::clamp<long>(paragraphLevel_, 0, static_cast<long>(kListLevels) - 1));
        // A level font the font table does not define is taken as Symbol, as other text is
        // (LibreOffice names level fonts it leaves out of the table).
        if (level >= levels->second.size() || levels->second[level] < 0 ||
            !definedFonts_.contains(levels->second[level])) {
            return kSymbolFont;
        }
        const auto page = fontCodePages_.find(levels->second[level]);
        if (page != fontCodePages_.end() &&
            (page->second == kSymbolFont || page->second == kWingdingsFont)) {
            return page->second;
        }
        return {};
    }

    // The note formats of the document (\ftnnar, \ftnnrlc ... for footnotes, \aftnnar ... for
    // endnotes) or of a section (\sftnnar, \saftnnar ...); whether the word was one. Chicago's
    // marks ("*", "†", "‡", "§", then "**" and on, as LibreOffice shows them) grow with the count
    // only as far as the format's bound, past which they read in digits.
    bool noteFormat(std::string_view word) {
        static constexpr std::pair<std::string_view, std::string_view> kFormats[] = {
            {"nar", "decimal"},
            {"nalc", "lowerLetter"},
            {"nauc", "upperLetter"},
            {"nrlc", "lowerRoman"},
            {"nruc", "upperRoman"},
            {"nchi", "chicago"},
            {"ncnum", "decimalEnclosedCircle"},
            {"ndbar", "decimalFullWidth"},
            {"nchosung", "chosung"},
            {"nganada", "ganada"},
            {"nzodiac", "ideographTraditional"},
            {"nzodiacd", "ideographZodiac"},
            {"nzodiacl", "ideographZodiacTraditional"}};
        const auto [kind, section, suffix] = noteWord(word);
        if (!kind) {
            return false;
        }
        for (const auto& [name, format] : kFormats) {
            if (suffix == name) {
                if (section) {
                    sectionNoteFormats_[*kind] = format;
                } else {
                    noteFormats_[*kind] = format;
                }
                return true;
            }
        }
        return false;
    }

    // Whether the notes of the document (\ftnrestart, \aftnrestart) or of a section
    // (\sftnrestart, \saftnrestart) begin anew in each section, or count on (\ftnrstcont ...;
    // \ftnrstpg, each page, counts on, as pages are not known here); whether the word was one.
    bool noteRestart(std::string_view word) {
        const auto [kind, section, suffix] = noteWord(word);
        if (!kind || (suffix != "restart" && suffix != "rstcont" && suffix != "rstpg")) {
            return false;
        }
        const bool restart = suffix == "restart";
        if (section) {
            sectionNoteRestarts_[*kind] = restart;
        } else {
            noteRestarts_[*kind] = restart;
        }
        return true;
    }

    // The kind of note a control word of notes' properties is of ("ftn..." for footnotes,
    // "aftn..." for endnotes), whether it is a section's ("sftn...", "saftn...") and what
    // follows; no kind for another word.
    struct NoteWord {
        std::optional<std::size_t> kind;
        bool section;
        std::string_view suffix;
    };
    static NoteWord noteWord(std::string_view word) {
        const bool section = word.starts_with("sftn") || word.starts_with("saftn");
        if (section) {
            word.remove_prefix(1);
        }
        if (word.starts_with("aftn")) {
            return {kEndnote, section, word.substr(4)};
        }
        if (word.starts_with("ftn")) {
            return {kFootnote, section, word.substr(3)};
        }
        return {std::nullopt, false, {}};
    }

    // Begins the notes anew at the first note of a section that says so (or of a document
    // whose notes begin anew in each section), once its properties, which follow \sect, are
    // read.
    void enterSection() {
        if (!sectionBegun_) {
            return;
        }
        sectionBegun_ = false;
        for (std::size_t kind = 0; kind < noteCounts_.size(); ++kind) {
            if (sectionNoteRestarts_[kind].value_or(noteRestarts_[kind])) {
                noteCounts_[kind] = 0;
            }
        }
    }

    // The number the document's notes start at (\ftnstart, \aftnstart), or the notes of a
    // section from there (\sftnstart, \saftnstart, counted again); whether the word was one.
    bool noteStart(std::string_view word, std::optional<long> parameter) {
        const bool section = word.starts_with("s");
        if (section) {
            word.remove_prefix(1);
        }
        if (word != "ftnstart" && word != "aftnstart") {
            return false;
        }
        const auto kind = word.starts_with("a") ? kEndnote : kFootnote;
        noteStarts_[kind] = ListCount::capped(parameter.value_or(1));
        if (section) {
            noteCounts_[kind] = 0;
        }
        return true;
    }

    // The number of the `count`th note of a kind.
    long noteNumber(std::size_t kind, long count) const { return noteStarts_[kind] - 1 + count; }

    // A note's mark (\chftn), numbered as Word numbers notes: raised where the note is referred
    // to ("Body¹") and before the note's text, footnotes and endnotes (\ftnalt) counted apart.
    // The kind of a reference is known at its note, which follows it.
    void noteMark(const RtfGroup& group, int& pendingSkip) {
        if (pendingSkip > 0) {
            --pendingSkip;
            return;
        }
        if (!group.shown()) {
            return;
        }
        enterSection();
        flushBytes();
        if (group.note == 0) {
            // A reference whose note never came is a footnote's.
            settleReference(kFootnote);
            auto& out = target(group);
            reference_ = Reference{&out, out.size()};
            return;
        }
        const auto number = reference_ ? settleReference(noteKind_)
                                       : noteNumber(noteKind_, ++noteCounts_[noteKind_]);
        appendMark(number, noteKind_, target(group));
    }

    // Numbers the reference waiting for its note as a note of `kind`; its number (0 for none).
    long settleReference(std::size_t kind) {
        if (!reference_) {
            return 0;
        }
        // The list's text after the reference is settled before the mark moves it.
        settleListText();
        const auto [out, at] = *reference_;
        reference_.reset();
        const auto number = noteNumber(kind, ++noteCounts_[kind]);
        std::string mark;
        appendMark(number, kind, mark);
        // Never inside a character, should the text before have changed since (a list's text
        // settled around a reference written inside it).
        auto place = std::min(at, out->size());
        while (place > 0 && place < out->size() &&
               (static_cast<unsigned char>((*out)[place]) & 0xC0U) == 0x80U) {
            --place;
        }
        out->insert(place, mark);
        return number;
    }

    void appendMark(long number, std::size_t kind, std::string& out) const {
        const auto mark = ListNumberFormat::formatted(
            number, sectionNoteFormats_[kind].value_or(noteFormats_[kind]));
        out += decoding::superscript(mark).value_or(mark);
    }

    // Collects the name of the font being defined, up to its ";": a font named Symbol or
    // Wingdings draws that font's characters (whatever charset it names, as Word draws it);
    // the other fonts of the symbol charset have no characters of their own, and their bytes
    // stay as the private use characters Word gives them.
    void fontNameCharacter(char c) {
        if (!definingFont_) {
            return;
        }
        if (c != ';') {
            if (fontName_.size() < kLongestFontName) {
                fontName_.push_back(c);
            }
            return;
        }
        const auto name = text::trimmed(fontName_);
        if (name == kSymbolFont || name == kWingdingsFont) {
            fontCodePages_[*definingFont_] = std::string(name);
        }
        fontName_.clear();
    }

    // The place of font `number` among those the text has used, given it at its first use; 0
    // (the default's) once all places are taken.
    std::uint16_t fontSlot(long number) {
        if (const auto found = fontSlots_.find(number); found != fontSlots_.end()) {
            return found->second;
        }
        if (usedFonts_.size() >= RtfGroup::kFontSlots) {
            return 0;
        }
        usedFonts_.push_back(number);
        const auto slot = static_cast<std::uint16_t>(usedFonts_.size());
        fontSlots_.emplace(number, slot);
        return slot;
    }

    // The parameter of \u is a signed 16-bit number, so units above 32767 are written negative.
    // Anything beyond a character (a parameter of up to ten digits) is a replacement character,
    // never bytes that merely look like UTF-8.
    static char32_t unicodeUnit(long parameter) {
        const long unit = parameter < 0 ? parameter + 65536 : parameter;
        if (unit < 0 || unit > 0x10FFFF) {
            return U'\uFFFD';
        }
        return static_cast<char32_t>(unit);
    }

    // \u gives UTF-16 code units: a character beyond the Basic Multilingual Plane comes as a
    // high and a low surrogate, each its own \u; a half without its partner is U+FFFD.
    void appendUnit(char32_t unit, std::string& out) {
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (low && highSurrogate_) {
            decoding::appendUtf8(out,
                                 0x10000 + ((*highSurrogate_ - 0xD800) << 10) + (unit - 0xDC00));
            highSurrogate_.reset();
            return;
        }
        dropLoneSurrogate();
        if (high) {
            highSurrogate_ = unit;
            surrogateTarget_ = &out;
        } else {
            decoding::appendUtf8(out, low ? U'\uFFFD' : unit);
        }
    }

    void dropLoneSurrogate() {
        if (highSurrogate_) {
            decoding::appendUtf8(*surrogateTarget_, U'\uFFFD');
            highSurrogate_.reset();
        }
    }

    // The number of the text's font (-1 for none).
    long font(const RtfGroup& group) const {
        return group.fontSlot > 0 && group.fontSlot <= usedFonts_.size()
                   ? usedFonts_[group.fontSlot - 1U]
                   : defaultFont_.value_or(-1);
    }

    // The code page of the text's font, else the document's.
    const std::string& codePage(const RtfGroup& group) const {
        const auto found = fontCodePages_.find(font(group));
        return found != fontCodePages_.end() ? found->second : codePage_;
    }

    // Literal text and \'hh bytes are in the code page of their font.
    void flushBytes(KeepSurrogate keep = KeepSurrogate::no) {
        // Text after a high surrogate separates it from any low one that follows.
        if (keep == KeepSurrogate::no || !bytes_.empty()) {
            dropLoneSurrogate();
        }
        if (bytes_.empty()) {
            return;
        }
        writeBytes(bytes_);
        bytes_.clear();
        nextLongRun_ = kLongRun;
        characterEnd_ = 0;
    }

    // A long run of text is written as it grows, up to the end of its last whole character: a
    // byte below 0x80 ends one in every code page a document names (the lead bytes of double-byte
    // pages are above it), and every byte does in a page of one byte a character. A run of
    // double-byte characters with no such byte waits for its end.
    void flushLongRun() {
        const auto& page = codePage(groups_.top());
        const bool multiByte = page == "windows-31j" || page == "GBK" || page == "windows-949" ||
                               page == "Big5" || page == "ibm-1363" || page == "UTF-8";
        const auto end = multiByte ? characterEnd_ : bytes_.size();
        nextLongRun_ = bytes_.size() + kLongRun;
        if (end == 0) {
            return;
        }
        dropLoneSurrogate();
        writeBytes(std::string_view(bytes_).substr(0, end));
        bytes_.erase(0, end);
        nextLongRun_ = bytes_.size() + kLongRun;
        characterEnd_ = 0;
    }

    void writeBytes(std::string_view bytes) {
        const auto& group = groups_.top();
        auto& out = target(group);
        const auto& page = codePage(group);
        if (page == kSymbolFont || page == kWingdingsFont || page == kSymbolGlyphs) {
            for (const char byte : bytes) {
                const auto code = static_cast<unsigned char>(byte);
                char32_t c = 0xF000 + code;
                if (page != kSymbolGlyphs) {
                    c = code < 0x20 ? code : ListNumberFormat::symbolFontCharacter(c, page);
                }
                decoding::appendUtf8(out, c);
            }
        } else if (auto converted = decoding::convertReplacing(bytes, page.c_str())) {
            out += *converted;
        } else {
            out += text::toValidUtf8(bytes);
        }
    }

    // The \fcharset of symbol fonts, and the names their fonts are given in place of a code page.
    static constexpr long kSymbolCharset = 2;
    // The fonts whose characters are their own, by their names.
    static constexpr std::string_view kSymbolFont = "Symbol";
    static constexpr std::string_view kWingdingsFont = "Wingdings";
    static constexpr std::string_view kSymbolGlyphs = "symbol glyphs";
    static constexpr std::size_t kLongestFontName = 64;
    static constexpr std::size_t kListLevels = 9;
    static constexpr std::size_t kFootnote = 0;
    static constexpr std::size_t kEndnote = 1;

    // A place in the text (the body or the notes) where something is yet to be settled.
    struct ListText {
        std::string* out;
        std::size_t start;
    };
    using Reference = ListText;

    static constexpr std::size_t kStopCheckBytes = std::size_t{64} * 1024;
    std::string_view in_;
    std::stop_token stop_;
    std::size_t pos_ = 0;
    std::size_t nextStopCheck_ = 0;
    // The characters of a \u fallback still to pass over, and whether a "\*" came last: the
    // group is skipped unless the control word that follows is a destination this reader reads.
    int pendingSkip_ = 0;
    bool ignorable_ = false;
    RtfGroupStack groups_;
    std::string codePage_ = "windows-1252";
    std::optional<long> defaultFont_;
    // The font being defined in the font table, and the code pages fonts name.
    std::optional<long> definingFont_;
    std::string fontName_;
    std::map<long, std::string> fontCodePages_;
    std::set<long> definedFonts_;
    std::vector<long> usedFonts_;
    std::map<long, std::uint16_t> fontSlots_;
    std::string bytes_;
    // Where the last whole character of the run of bytes ends (after its last byte below 0x80),
    // and the length at which a long run is written out.
    static constexpr std::size_t kLongRun = std::size_t{64} * 1024;
    std::size_t characterEnd_ = 0;
    std::size_t nextLongRun_ = kLongRun;
    std::string out_;
    std::string notes_;
    std::optional<char32_t> highSurrogate_;
    std::string* surrogateTarget_ = nullptr;
    // How deep the groups go, and the depth of the list definitions being read.
    std::size_t depth_ = 0;
    std::optional<std::size_t> listTableDepth_;
    // The list being defined (its levels' fonts), or the override (the list its \ls names).
    std::vector<long> listLevels_;
    std::size_t levelCount_ = 0;
    bool inOverride_ = false;
    std::optional<long> overrideList_;
    std::map<long, std::vector<long>> listFonts_;
    std::map<long, long> listOverrides_;
    // The paragraph's list and level, and a list's text not yet settled.
    std::optional<long> paragraphList_;
    long paragraphLevel_ = 0;
    std::optional<ListText> listText_;
    // The notes counted so far, the numbers they start at and their formats (Word's endnotes
    // count "i", "ii"), the kind of
    // the note being read, and the reference waiting for its note.
    std::array<long, 2> noteCounts_{};
    std::array<long, 2> noteStarts_{1, 1};
    std::array<std::string_view, 2> noteFormats_{"decimal", "lowerRoman"};
    // What the section being read says of its notes' formats and whether they begin anew in it,
    // where it says so; what the document says of the latter; whether a section has begun
    // (\sect) whose first note is yet to come.
    std::array<std::optional<std::string_view>, 2> sectionNoteFormats_{};
    std::array<std::optional<bool>, 2> sectionNoteRestarts_{};
    std::array<bool, 2> noteRestarts_{};
    bool sectionBegun_ = false;
    std::size_t noteKind_ = kFootnote;
    std::optional<Reference> reference_;
};

bool isMarkupSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// Whether the start of a file is HTML as browsers sniff it: after white space, one of the HTML
// standard's patterns ("<!DOCTYPE HTML", "<HTML", "<HEAD", "<SCRIPT", "<IFRAME", "<H1", "<DIV",
// "<FONT", "<TABLE", "<A", "<STYLE", "<TITLE", "<B", "<BODY", "<BR", "<P", "<!--"), in any case,
// followed by a space or ">"; or an XML document whose root is an XHTML <html>.
bool startsLikeHTML(std::string_view head) {
    while (!head.empty() && isMarkupSpace(head.front())) {
        head.remove_prefix(1);
    }
    const auto lowered = text::asciiLowered(head.substr(0, 16));
    for (const std::string_view pattern :
         {"<!doctype html", "<html", "<head", "<script", "<iframe", "<h1", "<div", "<font",
          "<table", "<a", "<style", "<title", "<b", "<body", "<br", "<p", "<!--"}) {
        if (lowered.size() > pattern.size() && lowered.starts_with(pattern) &&
            (lowered[pattern.size()] == ' ' || lowered[pattern.size()] == '>')) {
            return true;
        }
    }
    if (head.starts_with("<?xml")) {
        return text::asciiLowered(head.substr(0, 4096)).find("<html") != std::string::npos;
    }
    return false;
}

bool looksLikeHTML(std::string_view bytes) {
    constexpr std::size_t kHead = std::size_t{64} * 1024;
    if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
        const auto head = decoding::convertReplacing(
            bytes.substr(2, std::min(bytes.size() - 2, kHead) & ~std::size_t{1}),
            bytes[0] == '\xFF' ? "UTF-16LE" : "UTF-16BE");
        return head && startsLikeHTML(*head);
    }
    if (const auto utf16 = decoding::unmarkedUtf16Encoding(bytes)) {
        const auto head = decoding::convertReplacing(
            bytes.substr(0, std::min(bytes.size(), kHead) & ~std::size_t{1}), utf16->c_str());
        return head && startsLikeHTML(*head);
    }
    auto head = bytes.substr(0, kHead);
    if (head.starts_with("\xEF\xBB\xBF")) {
        head.remove_prefix(3);
    }
    return startsLikeHTML(head);
}

// Whether the bytes are well-formed UTF-8, looked at a megabyte at a time between characters
// with the stop token between two.
bool isValidUtf8(std::string_view bytes, const std::stop_token& stop) {
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    while (!bytes.empty()) {
        decoding::throwIfStopRequested(stop);
        auto piece = std::min(bytes.size(), kPiece);
        // A piece ends before a character's continuation bytes, never inside a character (a
        // run of more than three of them is ill-formed wherever it is cut).
        for (int back = 0; back < 3 && piece < bytes.size() &&
                           (static_cast<unsigned char>(bytes[piece]) & 0xC0U) == 0x80U;
             ++back) {
            --piece;
        }
        if (!text::isValidUtf8(bytes.substr(0, piece))) {
            return false;
        }
        bytes.remove_prefix(piece);
    }
    return true;
}

// The page in UTF-8, in the encoding a browser would pick: the one it declares, else UTF-16 saved
// without its byte order mark, else UTF-8 when the bytes are UTF-8, else a guess from the text it
// shows. `converted` holds it when it is not
// the bytes themselves. The checks and the conversion look at the stop token as they go.
std::string_view decodedPage(std::string_view bytes, std::string& converted,
                             const std::stop_token& stop) {
    auto encoding = decoding::declaredMarkupEncoding(bytes, stop);
    const bool marked = encoding && encoding->starts_with("UTF-16");
    if (!encoding) {
        encoding = decoding::unmarkedUtf16Encoding(bytes);
    }
    std::optional<bool> valid;
    if (!encoding) {
        // The tokenizer passes bytes above 127 through as they are, so the text it finds in the
        // undecoded page is the page's text in its own encoding.
        // ISO-2022-JP is 7-bit, so well-formed UTF-8: its escape bytes send it to the guess.
        valid = isValidUtf8(bytes, stop);
        encoding = *valid && bytes.find('\x1B') == std::string_view::npos
                       ? "UTF-8"
                       : decoding::guessedMarkupEncoding(HtmlText::text(bytes, stop));
    }
    if (*encoding == "UTF-8") {
        if (bytes.starts_with("\xEF\xBB\xBF")) {
            bytes.remove_prefix(3);
        }
        if (valid ? *valid : isValidUtf8(bytes, stop)) {
            return bytes;
        }
        converted = text::toValidUtf8(bytes);
        return converted;
    }
    if (marked) {
        bytes.remove_prefix(2);
    }
    if (auto text = decoding::composed(
            decoding::toUtf8(bytes, encoding->c_str(), decoding::OnInvalid::replace,
                             decoding::CutEnd::asInvalid, stop),
            stop)) {
        converted = std::move(*text);
    } else {
        converted = text::toValidUtf8(bytes);
    }
    return converted;
}

}  // namespace

std::optional<std::string> RichTextReader::rtfText(std::string_view bytes, std::stop_token stop) {
    if (!bytes.starts_with("{\\rtf")) {
        return std::nullopt;
    }
    return RtfReader(bytes, std::move(stop)).read();
}

std::optional<std::string> RichTextReader::htmlText(std::string_view bytes, std::stop_token stop) {
    if (!looksLikeHTML(bytes)) {
        return std::nullopt;
    }
    return htmlPageText(bytes, std::move(stop));
}

std::string RichTextReader::htmlPageText(std::string_view bytes, std::stop_token stop) {
    std::string converted;
    const auto page = decodedPage(bytes, converted, stop);
    auto out = HtmlText::text(page, std::move(stop));
    converted = std::string();
    const auto kept = text::trimmed(out);
    const auto start = static_cast<std::size_t>(kept.data() - out.data());
    out.resize(start + kept.size());
    out.erase(0, start);
    return out;
}

std::optional<std::string> RichTextReader::plainText(std::string_view bytes, std::stop_token stop) {
    if (auto rtf = rtfText(bytes, stop)) {
        return rtf;
    }
    if (auto document =
            WordProcessorReader::documentText(bytes, WordProcessorReader::kMaxEntryBytes, stop)) {
        return document;
    }
    return htmlText(bytes, std::move(stop));
}

}  // namespace vask
