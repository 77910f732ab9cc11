#include "sources/odt_reader.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <unordered_set>
#include <utility>

#include "platform/text.h"
#include "sources/decoding/text_decoding.h"
#include "sources/odt_lists.h"
#include "sources/paragraph_text.h"
#include "sources/word_processing_markup.h"

namespace vask {
namespace {

using WordProcessingMarkup::Attributes;
using WordProcessingMarkup::kOfficeNamespace;
using WordProcessingMarkup::kStyleNamespace;
using WordProcessingMarkup::kSvgNamespace;
using WordProcessingMarkup::kTextNamespace;

constexpr std::string_view kStylesEntry = "styles.xml";

// A repeat count in a document is untrusted; no real document asks for more spaces than this.
constexpr long kMaxRepeatedSpaces = 1024;

// How many spaces a text:s element stands for, from its text:c attribute.
std::size_t spaceCount(const Attributes& attributes) {
    const auto value = attributes.get(kTextNamespace, "c");
    if (!value) {
        return 1;
    }
    long count = 1;
    const auto [stop, error] = std::from_chars(value->data(), value->data() + value->size(), count);
    if (error != std::errc{} || stop == value->data() || count < 1) {
        return 1;
    }
    return static_cast<std::size_t>(std::min(count, kMaxRepeatedSpaces));
}

// The character an element stands for (0 for one that stands for nothing); nothing when it is
// no such element.
std::optional<char32_t> characterElement(std::string_view name) {
    if (name == "tab") {
        return U'\t';
    }
    if (name == "line-break") {
        return U'\n';
    }
    if (name == "soft-page-break") {
        return 0;
    }
    return std::nullopt;
}

// The text of an .odt: styles.xml, then content.xml, whose notes (text:note bodies) follow the
// body; a note's mark (its citation, "1" or a mark of its own) is shown raised where the note is
// referred to ("Body¹") and before the note's text ("¹A footnote"), as a .docx note's. Left out:
// automatic styles' hidden text, hidden paragraphs, sections and hidden-text fields, tracked
// changes, comments, titles and descriptions of drawings, and a number a writer kept (text:number),
// counted anew.
class OdtText : public ParagraphText {
  public:
    using ParagraphText::ParagraphText;

    void setEntry(std::string_view entryName) override {
        ParagraphText::setEntry(entryName);
        readingStyles_ = entryName == kStylesEntry;
        styleName_.clear();
    }

    void startElement(std::string_view ns, std::string_view name, int depth, bool empty,
                      const Attributes& attributes) override {
        if (readingStyles_) {
            keep(lists_.style(ns, name, attributes));
            return;
        }
        if (opaque()) {
            return;
        }
        if (isHidden(ns, name, depth, attributes)) {
            hideBelow(depth, empty);
            return;
        }
        if (structure(ns, name, depth, attributes)) {
            return;
        }
        if (ns == kTextNamespace && (name == "p" || name == "h")) {
            // A list item's number is written in its first paragraph's language.
            std::string marker;
            if (const auto item = std::exchange(listItem_, std::nullopt)) {
                marker =
                    lists_.label(*item, attributes.get(kTextNamespace, "style-name").value_or(""));
            }
            if (name == "h" && marker.empty()) {
                marker = lists_.heading(attributes);
            }
            openParagraph({std::nullopt, std::move(marker)});
            if (!noteMark_.empty()) {
                // The note's first paragraph begins with its mark.
                appendText(std::exchange(noteMark_, std::string()), target());
            }
            if (empty) {
                endParagraph();
            }
            return;
        }
        if (inParagraph() && ns == kTextNamespace) {
            textElement(name, depth, empty, attributes);
        }
    }

    void endElement(std::string_view ns, std::string_view name, int depth) override {
        if (readingStyles_) {
            lists_.endStyle(ns, name);
            return;
        }
        if (opaque()) {
            endOpaque(depth);
            return;
        }
        if (citationDepth_ == depth) {
            citationEnded();
        }
        if (ns == kTextNamespace && name == "note") {
            noteMark_.clear();
        }
        endElementAt(depth);
        if (ns == kStyleNamespace && name == "style") {
            styleName_.clear();
        }
        lists_.endStyle(ns, name);
        if (ns == kTextNamespace && name == "list") {
            lists_.closeList(depth);
        }
        if (ns == kTextNamespace && (name == "p" || name == "h") && inParagraph()) {
            endParagraph();
        }
    }

    void characters(std::string_view content, int) override {
        if (inParagraph() && !content.empty() && !opaque()) {
            if (citationDepth_) {
                charge(content.size());
                citation_ += content;
                return;
            }
            appendCollapsed(content, target());
        }
    }

  private:
    // The automatic styles of content.xml, notes and lists: whether the element was one that
    // holds no text of its own.
    bool structure(std::string_view ns, std::string_view name, int depth,
                   const Attributes& attributes) {
        readStyle(ns, name, attributes);
        keep(lists_.style(ns, name, attributes));
        if (ns != kTextNamespace) {
            return false;
        }
        if (name == "note") {
            beginNotes(depth);
            noteMark_.clear();
            return true;
        }
        if (name == "note-citation") {
            citationDepth_ = depth;
            citation_.clear();
            return true;
        }
        if (name == "list") {
            keep(lists_.openList(depth, attributes));
            return true;
        }
        if (name == "list-item" || name == "list-header") {
            // The item's number goes before its first paragraph; a header has none.
            listItem_ = name == "list-item" ? lists_.item(attributes) : std::nullopt;
            return true;
        }
        return false;
    }

    // An element of a paragraph: ruby's reading, one that stands for a character, or spaces.
    void textElement(std::string_view name, int depth, bool empty, const Attributes& attributes) {
        if (name == "ruby-text") {
            openEnclosed(Enclosed::rubyText, depth);
            return;
        }
        if (const auto c = characterElement(name)) {
            if (*c != 0) {
                appendCharacter(*c, target());
            }
            hideBelow(depth, empty);
            return;
        }
        if (name == "s") {
            appendRepeated(spaceCount(attributes), ' ', target());
            hideBelow(depth, empty);
        }
    }

    // Elements whose content the author does not see, or that are read elsewhere: hidden text,
    // tracked changes, numbers a writer kept with list items, comments, titles and
    // descriptions of drawings, the renditions of alternate content after the first.
    bool isHidden(std::string_view ns, std::string_view name, int depth,
                  const Attributes& attributes) {
        if (alternateHidden(ns, name, depth)) {
            return true;
        }
        if ((ns == kSvgNamespace && (name == "title" || name == "desc")) ||
            (ns == kOfficeNamespace && name == "annotation")) {
            return true;
        }
        if (ns != kTextNamespace) {
            return false;
        }
        // A number a writer kept with a list item or heading (text:number) is counted anew.
        // A note's citation ("1") is read as the note's mark (citationEnded).
        if (name == "tracked-changes" || name == "number") {
            return true;
        }
        if (name == "section") {
            return attributes.get(kTextNamespace, "display") == "none";
        }
        if (name == "hidden-paragraph" || name == "hidden-text") {
            hiddenField(name, attributes);
            return true;
        }
        if (name == "p" || name == "h" || name == "span") {
            const auto style = attributes.get(kTextNamespace, "style-name");
            return style && hiddenStyles_.contains(std::string(*style));
        }
        return false;
    }

    // A field that hides its paragraph, or shows its text, by its condition's last value.
    void hiddenField(std::string_view name, const Attributes& attributes) {
        const bool hidden = attributes.get(kTextNamespace, "is-hidden") == "true";
        if (!inParagraph()) {
            return;
        }
        if (name == "hidden-paragraph" && hidden) {
            hideParagraph();
        } else if (name == "hidden-text" && !hidden) {
            const auto shown = attributes.get(kTextNamespace, "string-value").value_or("");
            if (!shown.empty()) {
                appendText(shown, target());
            }
        }
    }

    // Collects the automatic styles that hide their text (text:display="none").
    void readStyle(std::string_view ns, std::string_view name, const Attributes& attributes) {
        if (ns == kStyleNamespace && name == "style") {
            styleName_ = std::string(attributes.get(kStyleNamespace, "name").value_or(""));
        } else if (ns == kStyleNamespace && name == "text-properties" && !styleName_.empty() &&
                   attributes.get(kTextNamespace, "display") == "none") {
            keep(styleName_.size());
            hiddenStyles_.insert(styleName_);
        }
    }

    // A note's citation has ended: its mark, raised where Unicode has every character of it
    // raised, stands where the note is referred to and waits for the note's first paragraph.
    void citationEnded() {
        citationDepth_.reset();
        const auto trimmed = text::trimmed(citation_);
        if (trimmed.empty() || !inParagraph()) {
            return;
        }
        auto mark = decoding::superscript(trimmed).value_or(std::string(trimmed));
        appendText(mark, target());
        noteMark_ = std::move(mark);
    }

    // The citation being read (the depth of its element, its text so far), and the mark of the
    // note whose first paragraph is yet to come.
    std::optional<int> citationDepth_;
    std::string citation_;
    std::string noteMark_;
    // Reading styles.xml rather than text; the lists, and the list item whose first paragraph
    // is yet to come.
    bool readingStyles_ = false;
    OdtLists lists_;
    std::optional<OdtLists::Counted> listItem_;
    std::unordered_set<std::string> hiddenStyles_;
    std::string styleName_;
};

}  // namespace

std::string OdtReader::documentText(std::string_view bytes, archive* reader,
                                    std::size_t maxEntryBytes, const std::stop_token& stop) {
    // The text of the body and its notes together may not outgrow one entry's cap.
    OdtText text(maxEntryBytes);
    // The list styles come first, so that list items are numbered as they are read.
    WordProcessingMarkup::readDefinitions(bytes, {kStylesEntry}, text, maxEntryBytes, stop);
    WordProcessingMarkup::readEntry(reader, kDocumentEntry, text, maxEntryBytes, stop);
    return text.take();
}

}  // namespace vask
