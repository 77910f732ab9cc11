#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sources/word_processing_markup.h"

namespace vask {

// The text of a word-processor document as its reader finds it, in one pass over the markup:
// what .docx and .odt readers share, each deriving from it with the elements of its own format.
//
// Paragraphs come in document order; a paragraph nested in another (a text box) follows it;
// notes follow the body. The text is bounded as it grows, not after: a space element of a few
// bytes of markup may stand for a thousand spaces, so a small document could otherwise yield
// text without bound. The outermost paragraph is written straight into the text, so a
// paragraph of many megabytes is never held twice. The list definitions and what counts the
// lists keep have a bound of their own, as large as the text's: a document of many small lists
// keeps more of them than of text, and neither takes from the other.
class ParagraphText : public WordProcessingMarkup::Handler {
  public:
    explicit ParagraphText(std::size_t maxTextBytes) : maxTextBytes_(maxTextBytes) {}

    void setEntry(std::string_view entryName) override;

    // The text so far, and a return to an earlier length of it (a part that could not be read
    // leaves nothing behind).
    std::size_t size() const { return text_.size(); }
    void truncate(std::size_t size) { text_.resize(std::min(size, text_.size())); }

    // The body, one paragraph per line with a blank line between paragraphs, then the notes.
    std::string take();

  protected:
    // A part of an equation or of ruby, its text written as linear text reads it.
    enum class Enclosed { numerator, denominator, rubyReading, rubyBase, rubyText };

    // The number or bullet of a list item, counted once its paragraph shows: a reader's list
    // (`list`, at `level`), whose marker markerOf gives, or a marker already counted.
    struct ListItem {
        std::optional<std::pair<long, long>> list;
        std::string marker;
    };

    // The marker of the next item of `list` at `level`, counted; empty for none.
    virtual std::string markerOf(long list, long level);

    const std::string& entryName() const { return entryName_; }

    // Content below an element at `depth` is not read (skipped, or already turned into text);
    // whether such content is being passed over, and the end of an element, which ends it at
    // its own depth.
    void hideBelow(int depth, bool empty);
    bool opaque() const { return opaqueDepth_.has_value(); }
    bool endOpaque(int depth);

    // The first rendition of an alternate content is read (the one written for programs that
    // know it, text boxes as drawings); whether the element at `depth` is a later one.
    bool alternateHidden(std::string_view ns, std::string_view name, int depth);

    bool inParagraph() const { return !paragraphs_.empty(); }
    void openParagraph(ListItem item);
    void endParagraph();
    // The list of the innermost open paragraph, once its properties name it.
    void setParagraphList(std::optional<std::pair<long, long>> list);
    // The paragraph is not shown; its mark is hidden or deleted (it shows no number).
    void hideParagraph();
    void hideParagraphMark();
    // Notes read into a flow of their own from the element at `depth`, after the body.
    void beginNotes(int depth);
    void openEnclosed(Enclosed kind, int depth);
    // What ends with the element at `depth`: an alternate content, an enclosed part, a flow.
    void endElementAt(int depth);

    // Where the text of the innermost open paragraph goes; the blank line before an outermost
    // paragraph, and a list item's marker, are written with its first text.
    std::string& target();
    void appendText(std::string_view text, std::string& out);
    void appendCharacter(char32_t c, std::string& out);
    void appendRepeated(std::size_t count, char c, std::string& out);
    // Line breaks and runs of white space in the markup are layout, shown as one space.
    void appendCollapsed(std::string_view text, std::string& out);
    void charge(std::size_t bytes);
    void keep(std::size_t bytes);

  private:
    struct Paragraph {
        // Where the text goes: the flow itself for the outermost paragraph of a flow (`text`
        // unused), else `text`.
        std::string* flow = nullptr;
        std::size_t start = 0;
        bool separated = false;
        bool hidden = false;
        // The paragraph mark is hidden or deleted.
        bool markHidden = false;
        ListItem item;
        std::string text;
        // Paragraphs that were nested in this one, already in their final order.
        std::vector<std::string> nested;
    };
    // A sequence of paragraphs read into one string: the body, or the notes of an .odt.
    struct Flow {
        std::string* out;
        // The paragraphs open when the flow began, and the depth of the element that began it.
        std::size_t base;
        int depth;
    };
    struct Alternate {
        int depth;
        bool chosen;
    };
    struct EnclosedPart {
        Enclosed kind;
        int depth;
        // The paragraphs open around it, and where its text begins in the innermost one's.
        std::size_t paragraphs;
        std::size_t start;
    };

    std::string* currentFlow() { return flows_.empty() ? &text_ : flows_.back().out; }
    void closeEnclosed(const EnclosedPart& part);
    static bool needsParentheses(std::string_view part);
    void emit(const std::string& paragraph, std::string& flow);

    std::string entryName_;
    std::size_t maxTextBytes_;
    std::size_t textBytes_ = 0;
    std::size_t keptBytes_ = 0;
    std::string text_;
    std::string notes_;
    // The paragraphs open around the current node, outermost first.
    std::vector<Paragraph> paragraphs_;
    std::vector<Flow> flows_;
    std::vector<Alternate> alternates_;
    std::vector<EnclosedPart> enclosed_;
    // The reading of a ruby, written after its base.
    std::string rubyReading_;
    std::optional<int> opaqueDepth_;
};

}  // namespace vask
