#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sources/list_count.h"
#include "sources/word_processing_markup.h"

namespace vask {

// The lists of an .odt as LibreOffice shows them: list styles (text:list-style, in styles.xml
// or the automatic styles of content.xml) say how each level is numbered ("1.", "a)", "i.") or
// bulleted, and counters number the items. A list begins its numbering anew unless it continues
// the one before it (text:continue-numbering) or a named one (text:continue-list); a list inside
// an item is the next level of the list around it, in its style unless it names its own.
class OdtLists {
  public:
    static constexpr std::size_t kLevels = 10;

    // An element of the styles; the bytes it keeps.
    std::size_t style(std::string_view ns, std::string_view name,
                      const WordProcessingMarkup::Attributes& attributes);

    void endStyle(std::string_view ns, std::string_view name);

    // A text:list at `depth` begins; the bytes it keeps.
    std::size_t openList(int depth, const WordProcessingMarkup::Attributes& attributes);

    void closeList(int depth);

  private:
    struct Level;

  public:
    // A list item counted, its number yet to be written in the language of its paragraph.
    struct Counted {
        const std::array<Level, kLevels>* style;
        std::size_t at;
        // The count each level shows, to `at`.
        std::array<long, kLevels> shown;
    };

    // A text:list-item begins: counted, for its first paragraph to write (label()); nothing
    // outside a list.
    std::optional<Counted> item(const WordProcessingMarkup::Attributes& attributes);

    // The number or bullet of a counted item in its paragraph of style `paragraphStyle`; empty
    // for none.
    std::string label(const Counted& counted, std::string_view paragraphStyle) const;

    // A heading (text:h) begins: its number in the outline style ("1.2"), counted; empty for
    // none (the default outline style numbers nothing, and a heading may say it has none).
    std::string heading(const WordProcessingMarkup::Attributes& attributes);

  private:
    enum class Kind { none, number, bullet, image };
    struct Level {
        Kind kind = Kind::none;
        std::string bullet;
        std::string format;
        std::string prefix;
        std::string suffix;
        std::size_t shownLevels = 1;
        long start = 1;
        // Letters past the last repeat ("aa", "bb") rather than count on ("aa", "ab").
        bool letterSync = false;
        // The font of a bullet.
        std::string font;
        // The language the level's numbers are written in, where it names one (fo:language);
        // else its paragraph's. Korean counts "一, 二, 三, ..." as Korean, not Chinese, and
        // numbers in words are its words.
        std::string language;
    };
    // A paragraph style's parent and language (fo:language and fo:country, "de-DE").
    struct ParagraphStyle {
        std::string parent;
        std::string language;
    };
    using Style = std::array<Level, kLevels>;

    // The levels of a list style before it defines any: a level it leaves undefined numbers
    // as LibreOffice numbers it, "1.", "2." in decimal digits, whether the levels it does
    // define are numbered or bulleted (pandoc's ordered list inside a bullet item has a style
    // of its own that defines its first level alone, and is the second level of the list).
    static Style undefinedLevels();

    // The next item at level `at` of a list in `style` counted by `count` (restarted at
    // `restart` when given).
    static Counted counted(const Style& style, ListCount& count, std::size_t at,
                           std::optional<std::string_view> restart);

    // The language of a paragraph of style `name`: its own, or that of the style it is based
    // on, else the document's.
    std::string_view paragraphLanguage(std::string_view name) const;

    // The language tag of text properties (fo:language and fo:country); empty for none.
    static std::string languageTag(const WordProcessingMarkup::Attributes& attributes);

    struct Open {
        int depth;
        std::string style;
        std::size_t counters;
        std::size_t level;
    };

    static std::optional<long> whole(std::string_view text);

    // Levels are counted from 1.
    static std::optional<std::size_t> levelIndex(std::string_view text);

    static long startValue(std::string_view text);

    // A font family as a style writes it, without its quotes ("'Symbol'").
    static std::string unquoted(std::string_view font);

    static constexpr std::size_t kNodeBytes = 4 * sizeof(void*) + 2 * sizeof(std::string);

    // The number format as ListNumberFormat names it: LibreOffice's own names are in its table.
    // Letters without letter sync count on past "z" as digits do ("aa", "ab"); with it they
    // repeat ("aa", "bb"). "一, 二, 三, ..." in Korean is Korean's counting in ideographs.
    static std::string_view wordFormat(std::string_view format, bool letterSync,
                                       std::string_view language);

    std::map<std::string, Style> styles_;
    // The outline style, which numbers headings by their outline level, and its counters.
    Style outline_;
    ListCount outlineCounters_;
    Style* current_ = nullptr;
    // The level being defined, whose bullet's font its text properties may name, and the
    // family of each font declared.
    Level* currentLevel_ = nullptr;
    std::map<std::string, std::string> fontFamilies_;
    // The counts of the lists, each list's own or that of the list it continues, named by the
    // lists' ids.
    ListCounts counts_;
    std::vector<Open> open_;
    // The language of the document's paragraphs (its default style's), and whether that style
    // is being read.
    std::string language_;
    bool inParagraphDefaults_ = false;
    // The paragraph styles, by name, and the one being read.
    std::map<std::string, ParagraphStyle, std::less<>> paragraphStyles_;
    ParagraphStyle* paragraphStyle_ = nullptr;
};

}  // namespace vask
