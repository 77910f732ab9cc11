#include "sources/docx_reader.h"

#include <array>
#include <charconv>
#include <map>
#include <optional>
#include <vector>

#include "platform/logger.h"
#include "sources/decoding/text_decoding.h"
#include "sources/docx_numbering.h"
#include "sources/list_count.h"
#include "sources/list_number_format.h"
#include "sources/paragraph_text.h"
#include "sources/word_processing_markup.h"
#include "sources/word_processor_reader.h"

namespace vask {
namespace {

using WordProcessingMarkup::Attributes;
using WordProcessingMarkup::kCompatibilityNamespace;
using WordProcessingMarkup::kMathNamespace;
using WordProcessingMarkup::kWordNamespace;

constexpr std::string_view kNumberingEntry = "word/numbering.xml";
constexpr std::string_view kStylesEntry = "word/styles.xml";
constexpr std::string_view kSettingsEntry = "word/settings.xml";
constexpr std::array<std::string_view, 2> kNoteEntries = {"word/footnotes.xml",
                                                          "word/endnotes.xml"};

// The character of a w:sym element: its w:char in hexadecimal. Symbol fonts keep their glyphs at
// U+F020 to U+F0FF; those of the Symbol font are the Greek letters and mathematical signs that
// font draws, those of Wingdings the ticks and bullets it draws, the others (and the glyphs of
// Wingdings that have no character) stay where they are.
char32_t symbolCharacter(const Attributes& attributes) {
    const auto value = attributes.get(kWordNamespace, "char").value_or("");
    unsigned long code = 0;
    const auto [stop, error] = std::from_chars(value.data(), value.data() + value.size(), code, 16);
    if (error != std::errc{} || stop == value.data() || code == 0 || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF)) {
        return U'\uFFFD';
    }
    auto c = static_cast<char32_t>(code);
    const auto font = attributes.get(kWordNamespace, "font").value_or("");
    if (font != "Symbol" && font != "Wingdings") {
        return c;
    }
    if (c >= 0xF020 && c <= 0xF0FF) {
        c -= 0xF000;
    }
    if (c < 0x20 || c > 0xFF) {
        return c;
    }
    const auto glyph = static_cast<unsigned char>(c);
    return font == "Symbol" ? decoding::symbolFontCharacter(glyph)
                            : decoding::wingdingsCharacter(glyph);
}

// The character a run's element stands for (0 for one that stands for nothing); nothing when
// it is no such element.
std::optional<char32_t> characterElement(std::string_view name, const Attributes& attributes) {
    if (name == "tab" || name == "ptab") {
        return U'\t';
    }
    if (name == "br" || name == "cr") {
        return U'\n';
    }
    if (name == "noBreakHyphen") {
        return U'\u2011';
    }
    if (name == "softHyphen") {
        return 0;
    }
    if (name == "sym") {
        return symbolCharacter(attributes);
    }
    return std::nullopt;
}

// A note number format as the markup writes it (w:numFmt's w:val): Word numbers a "bullet"
// format in decimal digits.
std::string noteNumberFormat(const Attributes& attributes) {
    const auto format = attributes.get(kWordNamespace, "val").value_or("decimal");
    return format == "bullet" ? "decimal" : std::string(format);
}

// A note start as the markup writes it (w:numStart's w:val), within what a list counts.
long noteStart(const Attributes& attributes) {
    const auto start = attributes.get(kWordNamespace, "val").value_or("1");
    long value = 1;
    std::from_chars(start.data(), start.data() + start.size(), value);
    return ListCount::capped(value);
}

// The sections of word/document.xml and how each numbers its notes, read before the text: Word
// writes a section's properties after its paragraphs (in its last paragraph's properties, the
// body's own for the last section), so its notes are met before them. A section is known by the
// element it begins at, counted in document order as the text reads them. Left out, as the text
// leaves them: the properties a tracked change replaced and the renditions of alternate content
// after the first.
class DocxSections : public WordProcessingMarkup::Handler {
  public:
    // What a section says of its footnotes (0) or endnotes (1): the number they start at,
    // whether they begin anew in each section (w:numRestart; counted on in each page, as pages
    // are not known here), and their number format.
    struct Notes {
        std::optional<long> start;
        std::optional<bool> eachSection;
        std::optional<std::string> format;
    };
    struct Section {
        std::size_t firstElement = 0;
        std::array<Notes, 2> notes;
    };

    // What the sections keep is bounded as the text is: a document of many small sections
    // would otherwise keep more than its markup.
    explicit DocxSections(std::size_t maxBytes) : maxBytes_(maxBytes) {}

    std::vector<Section> take() { return std::move(sections_); }

    void setEntry(std::string_view) override {}

    void startElement(std::string_view ns, std::string_view name, int depth, bool,
                      const Attributes& attributes) override {
        ++elements_;
        if (skipped_ || alternateSkipped(ns, name, depth)) {
            return;
        }
        if (ns != kWordNamespace) {
            return;
        }
        if (name == "pPrChange" || name == "sectPrChange") {
            skipped_ = depth;
        } else if (name == "pPr") {
            paragraphProperties_ = depth;
        } else if (name == "sectPr") {
            properties_ = depth;
            section_ = {sectionStart_, {}};
            if (paragraphProperties_ && depth == *paragraphProperties_ + 1) {
                endingParagraph_ = *paragraphProperties_ - 1;
            }
        } else if (properties_ && depth == *properties_ + 1 &&
                   (name == "footnotePr" || name == "endnotePr")) {
            notes_ = &section_.notes[name == "endnotePr" ? 1 : 0];
        } else if (notes_ != nullptr && name == "numStart") {
            notes_->start = noteStart(attributes);
        } else if (notes_ != nullptr && name == "numRestart") {
            notes_->eachSection = attributes.get(kWordNamespace, "val") == "eachSect";
        } else if (notes_ != nullptr && name == "numFmt") {
            notes_->format = noteNumberFormat(attributes);
        }
    }

    void endElement(std::string_view ns, std::string_view name, int depth) override {
        if (skipped_) {
            if (depth == *skipped_) {
                skipped_.reset();
            }
            return;
        }
        if (!alternates_.empty() && depth == alternates_.back().depth) {
            alternates_.pop_back();
        }
        if (properties_ && notes_ != nullptr && depth == *properties_ + 1) {
            notes_ = nullptr;
        } else if (properties_ && depth == *properties_) {
            keepSection();
            properties_.reset();
        } else if (paragraphProperties_ && depth == *paragraphProperties_) {
            paragraphProperties_.reset();
        } else if (ns == kWordNamespace && name == "p" && endingParagraph_ &&
                   depth == *endingParagraph_) {
            // The next section begins with the element after the paragraph that ended this one.
            sectionStart_ = elements_;
            endingParagraph_.reset();
        }
    }

    void characters(std::string_view, int) override {}

  private:
    struct Alternates {
        int depth;
        bool chosen;
    };

    // Whether the element is a rendition of alternate content after the first, skipped with
    // what it holds.
    bool alternateSkipped(std::string_view ns, std::string_view name, int depth) {
        if (!alternates_.empty() && alternates_.back().depth == depth - 1) {
            if (alternates_.back().chosen) {
                skipped_ = depth;
                return true;
            }
            alternates_.back().chosen = true;
        }
        if (ns == kCompatibilityNamespace && name == "AlternateContent") {
            alternates_.push_back({depth, false});
        }
        return false;
    }

    // Keeps the section just read; past the bound, the notes of the sections after count on
    // (logged once), and the text is read as it is.
    void keepSection() {
        auto bytes = sizeof(Section);
        for (const auto& notes : section_.notes) {
            bytes += notes.format.value_or("").size();
        }
        if (bytes > maxBytes_ - keptBytes_) {
            if (!full_) {
                full_ = true;
                WordProcessingMarkup::logger().error(
                    "the sections of " + std::string(DocxReader::kDocumentEntry) + " exceed " +
                    std::to_string(maxBytes_) + " bytes; the notes after them are counted on");
            }
            return;
        }
        keptBytes_ += bytes;
        sections_.push_back(section_);
    }

    std::size_t maxBytes_;
    std::size_t keptBytes_ = 0;
    bool full_ = false;
    std::vector<Section> sections_;
    // The elements read so far, and the first element of the section being read.
    std::size_t elements_ = 0;
    std::size_t sectionStart_ = 0;
    // The depths of what is being read: an element skipped with what it holds, the alternate
    // content, a paragraph's properties, a section's properties and the paragraph they end.
    std::optional<int> skipped_;
    std::vector<Alternates> alternates_;
    std::optional<int> paragraphProperties_;
    std::optional<int> properties_;
    std::optional<int> endingParagraph_;
    Section section_;
    Notes* notes_ = nullptr;
};

// The text of a .docx: its parts read in turn, the definitions before the text. Left out: hidden
// text (w:vanish), deleted text and the source of a move, the fallback of alternate content,
// paragraph properties (a tab stop is no tab) and the properties a tracked change replaced.
class DocxText : public ParagraphText {
  public:
    using ParagraphText::ParagraphText;

    // The sections of the document, for its notes to be numbered as each section says.
    void setSections(std::vector<DocxSections::Section> sections) {
        sections_ = std::move(sections);
        nextSection_ = 0;
    }

    void setEntry(std::string_view entryName) override {
        ParagraphText::setEntry(entryName);
        inDocument_ = entryName == DocxReader::kDocumentEntry;
        elements_ = 0;
        part_ = entryName == kNumberingEntry  ? Part::numbering
                : entryName == kStylesEntry   ? Part::styles
                : entryName == kSettingsEntry ? Part::settings
                                              : Part::text;
        paragraphProperties_.reset();
        noteProperties_ = nullptr;
        wordTextDepth_.reset();
        runs_.clear();
    }

    void startElement(std::string_view ns, std::string_view name, int depth, bool empty,
                      const Attributes& attributes) override {
        if (part_ != Part::text) {
            definition(ns, name, attributes);
            return;
        }
        ++elements_;
        if (opaque()) {
            return;
        }
        if (paragraphProperties_) {
            paragraphProperty(ns, name, depth, empty, attributes);
            return;
        }
        if (ns == kWordNamespace && name == "pPr" && inParagraph() && !empty) {
            paragraphProperties_ = depth;
            ownList_ = {};
            paragraphStyle_.clear();
            paragraphLanguage_.clear();
            return;
        }
        if ((ns == kWordNamespace && footnoteMark(name, attributes)) || isHidden(ns, name, depth)) {
            hideBelow(depth, empty);
            return;
        }
        if (ns == kWordNamespace && name == "p") {
            openParagraph({});
            if (empty) {
                endParagraph();
            }
            return;
        }
        if (ns == kWordNamespace && runProperty(name, depth, attributes)) {
            return;
        }
        if (inParagraph() && !runHidden()) {
            textElement(ns, name, depth, empty, attributes);
        }
    }

    void endElement(std::string_view ns, std::string_view name, int depth) override {
        if (part_ != Part::text) {
            if (part_ == Part::settings && ns == kWordNamespace &&
                (name == "footnotePr" || name == "endnotePr")) {
                noteProperties_ = nullptr;
            }
            return;
        }
        if (opaque()) {
            if (endOpaque(depth)) {
                wordTextDepth_.reset();
            }
            return;
        }
        if (paragraphProperties_) {
            if (depth == *paragraphProperties_) {
                paragraphProperties_.reset();
                // A list item begins with its number or bullet and the tab after it, counted
                // once the paragraph shows.
                setParagraphList(numbering_.listOf(paragraphStyle_, ownList_));
            }
            return;
        }
        endElementAt(depth);
        if (!runs_.empty() && runs_.back().depth == depth) {
            runs_.pop_back();
        }
        if (ns == kWordNamespace && name == "p" && inParagraph()) {
            endParagraph();
        }
    }

    void characters(std::string_view content, int depth) override {
        if (!inParagraph() || content.empty()) {
            return;
        }
        // Only the text directly inside a text run (or a run of an equation) is body text.
        if (wordTextDepth_ && depth == *wordTextDepth_ + 1) {
            const auto raised = !runs_.empty() && runs_.back().superscript
                                    ? decoding::superscript(content)
                                    : std::nullopt;
            appendText(raised ? *raised : content, target());
        }
    }

  protected:
    // Numbers in words in the language of the paragraph, as Word writes its number: its mark's
    // (w:pPr/w:rPr/w:lang), else its run's, else its style's or the document's.
    std::string markerOf(long list, long level) override {
        const auto& run = runs_.empty() ? std::string() : runs_.back().language;
        const auto language = !paragraphLanguage_.empty() ? std::string_view(paragraphLanguage_)
                              : !run.empty()              ? std::string_view(run)
                                                          : numbering_.languageOf(paragraphStyle_);
        return numbering_.marker(list, level, language);
    }

  private:
    enum class Part { numbering, styles, settings, text };
    struct Run {
        int depth;
        bool hidden;
        bool superscript = false;
        std::string language = {};
    };
    // No language tag is longer; a longer w:lang is none.
    static constexpr std::size_t kLongestLanguage = 64;
    static std::string languageTag(const Attributes& attributes) {
        const auto tag = attributes.get(kWordNamespace, "val").value_or("");
        return tag.size() <= kLongestLanguage ? std::string(tag) : std::string();
    }

    // An element of the list definitions, the styles or the settings.
    void definition(std::string_view ns, std::string_view name, const Attributes& attributes) {
        if (part_ == Part::numbering) {
            keep(attributes.get(kWordNamespace, "val").value_or("").size() +
                 numbering_.definition(ns, name, attributes));
        } else if (part_ == Part::styles) {
            keep(numbering_.style(ns, name, attributes));
            documentLanguage(ns, name, attributes);
        } else {
            noteFormat(ns, name, attributes);
        }
    }

    // The language of the document's default run properties (w:docDefaults/w:rPrDefault's
    // w:lang), which its numbers in words are spelled in.
    void documentLanguage(std::string_view ns, std::string_view name,
                          const Attributes& attributes) {
        if (ns != kWordNamespace) {
            return;
        }
        if (name == "docDefaults") {
            inDefaults_ = true;
        } else if (name == "style") {
            inDefaults_ = false;
        } else if (name == "lang" && inDefaults_) {
            const auto language = attributes.get(kWordNamespace, "val").value_or("");
            keep(language.size());
            numbering_.setLanguage(std::string(language));
        }
    }

    // Of a paragraph's properties only its list numbering is text; a tab stop is no tab, and the
    // properties a tracked change replaced are no longer the paragraph's.
    void paragraphProperty(std::string_view ns, std::string_view name, int depth, bool empty,
                           const Attributes& attributes) {
        if (ns != kWordNamespace) {
            return;
        }
        if (name == "pPrChange" || name == "rPrChange") {
            hideBelow(depth, empty);
        } else if (((name == "vanish" || name == "specVanish") && isWordPropertyOn(attributes)) ||
                   name == "del" || name == "moveFrom") {
            // The paragraph mark is hidden or deleted: without text of its own to show, the
            // paragraph is not shown, nor its number.
            hideParagraphMark();
        } else if (name == "numId" || name == "ilvl") {
            long value = 0;
            const auto text = attributes.get(kWordNamespace, "val").value_or("");
            const auto [stop, error] =
                std::from_chars(text.data(), text.data() + text.size(), value);
            if (error == std::errc{} && stop != text.data()) {
                (name == "numId" ? ownList_.numId : ownList_.level) = value;
            }
        } else if (name == "pStyle") {
            paragraphStyle_ = attributes.get(kWordNamespace, "val").value_or("");
        } else if (name == "lang") {
            paragraphLanguage_ = languageTag(attributes);
        }
    }

    // A run begins, or one of its properties that matter (hidden, raised); whether it was one.
    bool runProperty(std::string_view name, int depth, const Attributes& attributes) {
        if (name == "r") {
            runs_.push_back({depth, false});
            return true;
        }
        if (name == "vanish" && !runs_.empty() && isWordPropertyOn(attributes)) {
            runs_.back().hidden = true;
            return true;
        }
        if (name == "vertAlign" && !runs_.empty()) {
            runs_.back().superscript = attributes.get(kWordNamespace, "val") == "superscript";
            return true;
        }
        if (name == "lang" && !runs_.empty()) {
            runs_.back().language = languageTag(attributes);
            return true;
        }
        return false;
    }

    // An element of a shown paragraph: a part of an equation or ruby, a text element, or one
    // that stands for a character.
    void textElement(std::string_view ns, std::string_view name, int depth, bool empty,
                     const Attributes& attributes) {
        if (ns == kMathNamespace && (name == "num" || name == "den")) {
            openEnclosed(name == "num" ? Enclosed::numerator : Enclosed::denominator, depth);
            return;
        }
        if (ns == kWordNamespace && (name == "rt" || name == "rubyBase")) {
            openEnclosed(name == "rt" ? Enclosed::rubyReading : Enclosed::rubyBase, depth);
            return;
        }
        if ((ns == kWordNamespace || ns == kMathNamespace) && name == "t") {
            wordTextDepth_ = depth;
            hideBelow(depth, empty);
            if (empty) {
                wordTextDepth_.reset();
            }
            return;
        }
        if (ns != kWordNamespace) {
            return;
        }
        if (const auto c = characterElement(name, attributes)) {
            if (*c != 0) {
                appendCharacter(*c, target());
            }
            hideBelow(depth, empty);
        }
    }

    // Deleted text and the source of a move, paragraph properties, replaced run properties, and
    // the renditions of alternate content after the first.
    bool isHidden(std::string_view ns, std::string_view name, int depth) {
        if (alternateHidden(ns, name, depth)) {
            return true;
        }
        return ns == kWordNamespace &&
               (name == "del" || name == "moveFrom" || name == "pPr" || name == "rPrChange");
    }

    bool runHidden() const { return !runs_.empty() && runs_.back().hidden; }

    // The number of a footnote or endnote where Word shows it, raised: at its reference in the
    // text ("Body¹", "Bodyⁱ"), counted in order apart for each kind, and before the note's own
    // text. A reference whose mark is the text after it (w:customMarkFollows) has no number.
    // Whether the element was one.
    bool footnoteMark(std::string_view name, const Attributes& attributes) {
        const auto id = attributes.get(kWordNamespace, "id").value_or("");
        if (name == "footnote" || name == "endnote") {
            noteId_ = id;
            return false;
        }
        const bool reference = name == "footnoteReference" || name == "endnoteReference";
        if ((!reference && name != "footnoteRef" && name != "endnoteRef") || !inParagraph() ||
            runHidden()) {
            return false;
        }
        auto& marks = noteMarks_[name.starts_with("endnote") ? 1 : 0];
        const auto custom = attributes.get(kWordNamespace, "customMarkFollows");
        if (reference && !(custom == "1" || custom == "true" || custom == "on")) {
            enterSections();
            // The mark in the format of the note's section, which the note, read after the
            // body, shows too.
            auto mark = ListNumberFormat::formatted(
                marks.sectionStart.value_or(marks.start) - 1 + ++marks.count,
                marks.sectionFormat.value_or(marks.format));
            keep(id.size() + mark.size() + ListCounts::kNameBytes);
            marks.marks[std::string(id)] = std::move(mark);
        }
        const auto mark = marks.marks.find(reference ? std::string(id) : noteId_);
        if (mark != marks.marks.end()) {
            // Raised where Unicode has every character of the mark raised, else as written.
            appendText(decoding::superscript(mark->second).value_or(mark->second), target());
        }
        return true;
    }

    // Begins the count of notes anew for each section begun by the element being read where the
    // section says so: at its own start (w:numStart), or at the document's where it (or the
    // document) counts each section's notes apart.
    void enterSections() {
        if (!inDocument_) {
            return;
        }
        // The count of elements includes the one being read.
        while (nextSection_ < sections_.size() &&
               sections_[nextSection_].firstElement < elements_) {
            const auto& section = sections_[nextSection_++];
            for (std::size_t kind = 0; kind < noteMarks_.size(); ++kind) {
                auto& marks = noteMarks_[kind];
                const auto& notes = section.notes[kind];
                if (notes.start || notes.eachSection.value_or(marks.eachSection)) {
                    marks.count = 0;
                    marks.sectionStart = notes.start;
                }
                marks.sectionFormat = notes.format;
            }
        }
    }

    // An element of word/settings.xml: the number format of the document's footnotes or
    // endnotes (w:footnotePr and w:endnotePr; Word numbers a "bullet" format in decimal), the
    // number they start at (w:numStart) and whether each section counts them anew
    // (w:numRestart).
    void noteFormat(std::string_view ns, std::string_view name, const Attributes& attributes) {
        if (ns != kWordNamespace) {
            return;
        }
        if (name == "footnotePr" || name == "endnotePr") {
            noteProperties_ = &noteMarks_[name == "endnotePr" ? 1 : 0];
        } else if (name == "numFmt" && noteProperties_ != nullptr) {
            noteProperties_->format = noteNumberFormat(attributes);
            keep(noteProperties_->format.size());
        } else if (name == "numStart" && noteProperties_ != nullptr) {
            noteProperties_->start = noteStart(attributes);
        } else if (name == "numRestart" && noteProperties_ != nullptr) {
            noteProperties_->eachSection = attributes.get(kWordNamespace, "val") == "eachSect";
        }
    }

    Part part_ = Part::text;
    DocxNumbering numbering_;
    std::vector<Run> runs_;
    // The depth of the Word text element being read.
    std::optional<int> wordTextDepth_;
    // The depth of the properties of the paragraph being read, the list they name for it, and
    // its style.
    std::optional<int> paragraphProperties_;
    DocxNumbering::ListRef ownList_;
    std::string paragraphStyle_;
    // The language of the paragraph's mark (its properties' w:rPr/w:lang).
    std::string paragraphLanguage_;
    // The footnotes and the endnotes referred to so far, each's mark by its id, and their
    // formats (Word's endnotes count "i", "ii" unless the document says otherwise; a section
    // may say otherwise for its own): counted since the document's start or the start of the
    // section that began them anew; the note being read, and the note properties of the
    // settings being read.
    struct NoteMarks {
        std::map<std::string, std::string> marks;
        long count = 0;
        std::string format;
        long start = 1;
        bool eachSection = false;
        std::optional<long> sectionStart;
        std::optional<std::string> sectionFormat;
    };
    std::array<NoteMarks, 2> noteMarks_{NoteMarks{{}, 0, "decimal", 1, false, {}, {}},
                                        NoteMarks{{}, 0, "lowerRoman", 1, false, {}, {}}};
    // The sections of the document, the next to begin, and the elements of the document read.
    std::vector<DocxSections::Section> sections_;
    std::size_t nextSection_ = 0;
    std::size_t elements_ = 0;
    bool inDocument_ = false;
    std::string noteId_;
    NoteMarks* noteProperties_ = nullptr;
    // Whether the styles being read are in their document defaults.
    bool inDefaults_ = false;
};

}  // namespace

std::string DocxReader::documentText(std::string_view bytes, archive* reader,
                                     std::size_t maxEntryBytes, const std::stop_token& stop) {
    // The text of the body and its notes together may not outgrow one entry's cap.
    DocxText text(maxEntryBytes);
    // The list definitions come first, so that list items are numbered as they are read;
    // without them the lists read without their numbers.
    WordProcessingMarkup::readDefinitions(bytes, {kNumberingEntry, kStylesEntry, kSettingsEntry},
                                          text, maxEntryBytes, stop);
    DocxSections sections(maxEntryBytes);
    WordProcessingMarkup::readNamedEntry(bytes, kDocumentEntry, sections, maxEntryBytes, stop);
    text.setSections(sections.take());
    WordProcessingMarkup::readEntry(reader, kDocumentEntry, text, maxEntryBytes, stop);
    // Footnotes and endnotes follow the body, each once (the archive is read from its start
    // for each: its entries may come in any order). A notes part that cannot be read costs
    // its notes, not the body read before it.
    for (const auto entry : kNoteEntries) {
        const auto before = text.size();
        try {
            WordProcessingMarkup::readNamedEntry(bytes, entry, text, maxEntryBytes, stop);
        } catch (const WordProcessorReaderError& error) {
            text.truncate(before);
            WordProcessingMarkup::logger().error(std::string(entry) +
                                                 " was not read: " + error.what());
        }
    }
    return text.take();
}

}  // namespace vask
