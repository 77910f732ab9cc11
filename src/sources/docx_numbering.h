#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "sources/list_count.h"
#include "sources/word_processing_markup.h"

namespace vask {

// Whether an OOXML on/off property is on: present without a value, or "true", "1" or "on".
bool isWordPropertyOn(const WordProcessingMarkup::Attributes& attributes);

// How a level of a .docx list numbers its items (outside DocxNumbering, whose members hold it
// optionally, so that it is complete where they are declared).
struct WordListLevel {
    // Without w:start a level begins at 0, as the standard says and Word and LibreOffice read
    // it (LibreOffice writes none for a level that begins at 0).
    long start = 0;
    std::string format = "decimal";
    std::string text;
    std::string font;
    // Legal numbering (w:isLgl): the levels it shows all in decimal digits ("1.1", not "I.1").
    bool legal = false;
    // The level (counted from 1) whose items begin this one anew and above which none does
    // (w:lvlRestart; 0 for never); by default the level above.
    std::optional<long> restartAfter;
    // The format is a custom one (w:format), which its fallback does not replace.
    bool custom = false;
};

// The list numbering of a .docx (word/numbering.xml, and the numbering word/styles.xml gives
// paragraph styles): the formats of each list's levels, and the counters that number its
// paragraphs as Word does, so that a list item reads with the number or bullet the author sees
// ("2.", "b)", "•", "1.2" of a heading). Numbering instances (w:num) of one abstract numbering
// count on from one another, as one list (and so do the lists of one list style, whose levels
// they share); an instance that overrides a level's start (a list restarted, as "Restart
// numbering" writes it) restarts that level where its first paragraph at that level or above
// stands, never a level above the paragraph's (pandoc's nested lists override all nine), and the
// paragraphs after it count on from there, whichever instance they name.
class DocxNumbering {
  public:
    static constexpr std::size_t kLevels = 9;

    // The list of a paragraph, as far as its properties or its style say.
    struct ListRef {
        std::optional<long> numId;
        std::optional<long> level;
    };

    // An element of word/numbering.xml; the bytes it keeps, so that the definitions are bounded
    // as the text is (an element of a few bytes makes a definition of many).
    std::size_t definition(std::string_view ns, std::string_view name,
                           const WordProcessingMarkup::Attributes& attributes);

    // An element of word/styles.xml: the numbering a paragraph style gives, and the style it is
    // based on; the bytes it keeps.
    std::size_t style(std::string_view ns, std::string_view name,
                      const WordProcessingMarkup::Attributes& attributes);

    // The list a paragraph of style `styleId` belongs to, given what its own properties say:
    // its own numbering first, then its style's (through the styles it is based on); a level
    // named by neither is the one the list links to the paragraph's style (or to the style that
    // gives the numbering), else the first. Nothing for a
    // paragraph of no list (a numId of 0 takes a style's list away).
    std::optional<std::pair<long, long>> listOf(const std::string& styleId, ListRef own);

    // The marker of the next paragraph of list `numId` at `level`, counted; empty for none.
    // Numbers in words and ordinals are written in `language` (a BCP 47 tag).
    std::string marker(long numId, long level, std::string_view language);

    // The language of the document's text (its default run properties' w:lang, a BCP 47 tag).
    void setLanguage(std::string language) { language_ = std::move(language); }

    // The language of a paragraph of style `styleId` whose runs name none: its style's (through
    // the styles it is based on; the default paragraph style's for a paragraph of none, or of a
    // style not defined), else the document's.
    std::string_view languageOf(const std::string& styleId);

  private:
    using Level = WordListLevel;
    struct Abstract {
        std::array<Level, kLevels> levels;
        // The numbering style whose list's levels these are (w:numStyleLink), when it has none
        // of its own.
        std::string styleLink;
    };
    // A numbering instance: its abstract numbering, what it overrides of it (a start below 0
    // for none: a document may hold tens of thousands of instances, so each keeps little), and
    // whether each level's override was applied (at its first paragraph at that level or above).
    struct Num {
        long abstractId = -1;
        std::array<bool, kLevels> applied{};
        std::array<long, kLevels> startOverrides = [] {
            std::array<long, kLevels> none{};
            none.fill(-1);
            return none;
        }();
        std::map<std::size_t, Level> levelOverrides;
    };
    // What a node of a std::map keeps beside its value.
    static constexpr std::size_t kMapNodeBytes = 4 * sizeof(void*);
    // The abstract numbering whose levels number the lists of `abstractId`: itself, or the one
    // its numbering style names (a list style of Word's, "1 / 1.1 / 1.1.1" and the like).
    std::map<long, Abstract>::const_iterator levelsOf(long abstractId) const;

    // What a style and the styles it is based on give: the first list and the first level
    // named along the chain, and the style that named the list.
    struct Chain {
        ListRef list;
        std::string linked;
        std::string language;
    };
    struct Style {
        std::string basedOn;
        ListRef list;
        // Its run properties' w:lang.
        std::string language;
        // Worked out at the first paragraph of the style.
        std::optional<Chain> chain;
    };

    // No real document bases its styles deeper than this; a chain is followed no further (nor
    // round a loop), and once for each style, so that each paragraph costs the same whatever its
    // styles say.
    const Chain& chainOf(std::map<std::string, Style>::iterator style);
    struct StyleLevel {
        long abstractId;
        std::size_t level;
    };

    static std::optional<std::size_t> levelIndex(long level);

    static long number(const std::string& text);

    std::map<long, Abstract> abstracts_;
    std::map<long, Num> nums_;
    // The count of each abstract numbering whose levels number lists, which all its instances
    // (and the lists of the list style it is) count with, named by its id.
    ListCounts counts_;
    std::map<std::string, Style> styles_;
    // The level of an abstract numbering that each paragraph style is linked to.
    std::map<std::string, StyleLevel> styleLevels_;
    // The list (numbering instance) of each numbering style, and the one being read.
    std::map<std::string, long> numberingStyles_;
    std::string numberingStyle_;
    long abstractId_ = -1;
    Abstract* abstract_ = nullptr;
    Level* level_ = nullptr;
    std::size_t levelIndex_ = 0;
    Num* num_ = nullptr;
    Style* style_ = nullptr;
    // The level a w:lvlOverride of the instance being read overrides.
    std::optional<std::size_t> override_;
    // The document's language, and its default paragraph style.
    std::string language_;
    std::string defaultStyle_;
};

}  // namespace vask
