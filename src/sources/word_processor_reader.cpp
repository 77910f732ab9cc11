#include "sources/word_processor_reader.h"

#include <archive.h>
#include <archive_entry.h>
#include <libxml/parser.h>
#include <libxml/xmlreader.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "sources/markup_attribute_bound.h"

namespace vask {
namespace {

using Case = WordProcessorReaderError::Case;

constexpr std::string_view kWordEntry = "word/document.xml";
constexpr std::string_view kOpenDocumentEntry = "content.xml";
constexpr std::string_view kWordNamespace =
    "http://schemas.openxmlformats.org/wordprocessingml/2006/main";
constexpr std::string_view kTextNamespace = "urn:oasis:names:tc:opendocument:xmlns:text:1.0";
constexpr std::string_view kOfficeNamespace = "urn:oasis:names:tc:opendocument:xmlns:office:1.0";

// A repeat count in a document is untrusted; no real document asks for more spaces than this.
constexpr long kMaxRepeatedSpaces = 1024;

// libxml2 refuses a single text node longer than this (XML_MAX_TEXT_LENGTH) unless told to lift
// every limit, which would also lift its guards against entity expansion.
constexpr std::size_t kMaxTextRunBytes = 10'000'000;

std::string description(Case kind) {
    switch (kind) {
        case Case::archiveUnreadable:
            return "The document archive could not be read";
        case Case::entryMissing:
            return "The document archive holds no document text";
        case Case::entryTooLarge:
            return "The document text is too large to read";
        case Case::malformedXml:
            return "The document text is not well-formed XML";
    }
    return {};
}

enum class Format { word, openDocument };

std::string archiveMessage(archive* reader) {
    const char* message = archive_error_string(reader);
    return message != nullptr ? message : "unknown archive error";
}

using ArchivePtr = std::unique_ptr<archive, decltype(&archive_read_free)>;

// Moves `reader` to the document entry and returns its format.
Format openDocumentEntry(archive* reader, std::size_t maxEntryBytes) {
    archive_entry* header = nullptr;
    while (true) {
        const int status = archive_read_next_header(reader, &header);
        if (status == ARCHIVE_EOF) {
            throw WordProcessorReaderError(Case::entryMissing, std::string(kWordEntry) + " or " +
                                                                   std::string(kOpenDocumentEntry));
        }
        if (status < ARCHIVE_WARN) {
            throw WordProcessorReaderError(Case::archiveUnreadable, archiveMessage(reader));
        }
        const char* rawName = archive_entry_pathname(header);
        const std::string_view name = rawName != nullptr ? rawName : "";
        if (name != kWordEntry && name != kOpenDocumentEntry) {
            continue;
        }
        if (archive_entry_size_is_set(header) != 0 &&
            static_cast<std::uint64_t>(archive_entry_size(header)) > maxEntryBytes) {
            throw WordProcessorReaderError(
                Case::entryTooLarge,
                std::string(name) + " exceeds " + std::to_string(maxEntryBytes) + " bytes");
        }
        return name == kWordEntry ? Format::word : Format::openDocument;
    }
}

// The entry's bytes as the XML reader asks for them, inflated piece by piece: the markup is
// never held whole. The declared size may lie, so the limit holds on what actually inflates.
//
// Attributes past the first kMaxAttributes of an element are dropped on the way: the parser's
// cost grows with the square of an element's attributes, and the text holds none. A real
// document's root, with its namespace declarations, has a few dozen.
struct EntryStream {
    static constexpr std::size_t kMaxAttributes = 128;

    archive* reader;
    std::size_t maxBytes;
    std::stop_token stop;
    std::size_t inflated = 0;
    bool tooLarge = false;
    bool unreadable = false;
    bool stopped = false;
    MarkupAttributeBound attributes{MarkupAttributeBound::Dialect::xml, kMaxAttributes};

    static int read(void* context, char* buffer, int length) {
        auto& stream = *static_cast<EntryStream*>(context);
        while (true) {
            if (stream.stop.stop_requested()) {
                stream.stopped = true;
                return -1;
            }
            const la_ssize_t count =
                archive_read_data(stream.reader, buffer, static_cast<std::size_t>(length));
            if (count < 0) {
                stream.unreadable = true;
                return -1;
            }
            if (static_cast<std::size_t>(count) > stream.maxBytes - stream.inflated) {
                stream.tooLarge = true;
                return -1;
            }
            stream.inflated += static_cast<std::size_t>(count);
            const auto kept = stream.attributes.filter(buffer, static_cast<std::size_t>(count));
            // Nothing kept of a piece is not the end of the entry.
            if (kept > 0 || count == 0) {
                return static_cast<int>(kept);
            }
        }
    }
};

// The body text of the document, read in one pass over the markup.
//
// Paragraphs come in document order; a paragraph nested in another (a text box) follows it. The
// text is bounded as it grows, not after: a space element of a few bytes of markup may stand for
// a thousand spaces, so a small document could otherwise yield text without bound.
class BodyText {
  public:
    BodyText(Format format, std::string_view entryName, std::size_t maxTextBytes)
        : format_(format), entryName_(entryName), maxTextBytes_(maxTextBytes) {}

    void startElement(std::string_view ns, std::string_view name, int depth, bool empty) {
        if (opaqueDepth_) {
            return;
        }
        if (isSkipped(ns, name)) {
            hideBelow(depth, empty);
            return;
        }
        if (isParagraph(ns, name)) {
            paragraphs_.emplace_back();
            if (empty) {
                endParagraph();
            }
            return;
        }
        if (paragraphs_.empty()) {
            return;
        }
        if (format_ == Format::word && ns == kWordNamespace && name == "t") {
            // Only the text directly inside a text run is body text.
            wordTextDepth_ = depth;
            hideBelow(depth, empty);
            if (empty) {
                wordTextDepth_.reset();
            }
            return;
        }
        // Elements that stand for characters: tabs, line breaks and counted spaces.
        const auto ownNamespace = format_ == Format::word ? kWordNamespace : kTextNamespace;
        const auto lineBreak = format_ == Format::word ? "br" : "line-break";
        std::size_t count = 1;
        char c = '\t';
        if (ns != ownNamespace) {
            return;
        }
        if (name == lineBreak) {
            c = '\n';
        } else if (format_ == Format::openDocument && name == "s") {
            count = static_cast<std::size_t>(spaceCount_);
            c = ' ';
        } else if (name != "tab") {
            return;
        }
        appendRepeated(count, c, paragraphs_.back().text);
        hideBelow(depth, empty);
    }

    void endElement(std::string_view ns, std::string_view name, int depth) {
        if (opaqueDepth_) {
            if (depth == *opaqueDepth_) {
                opaqueDepth_.reset();
                wordTextDepth_.reset();
            }
            return;
        }
        if (isParagraph(ns, name) && !paragraphs_.empty()) {
            endParagraph();
        }
    }

    void characters(std::string_view content, int depth) {
        if (paragraphs_.empty()) {
            return;
        }
        auto& text = paragraphs_.back().text;
        if (format_ == Format::word) {
            if (wordTextDepth_ && depth == *wordTextDepth_ + 1) {
                appendText(content, text);
            }
            return;
        }
        if (!opaqueDepth_) {
            appendCollapsed(content, text);
        }
    }

    // How many spaces the next text:s element stands for; read by the caller, which holds the
    // element's attributes.
    void setSpaceCount(long count) { spaceCount_ = count; }

    // One paragraph per line with a blank line between paragraphs.
    std::string take() { return std::move(text_); }

  private:
    struct Paragraph {
        std::string text;
        // Paragraphs that were nested in this one, already in their final order.
        std::vector<std::string> nested;
    };

    void hideBelow(int depth, bool empty) {
        if (!empty) {
            opaqueDepth_ = depth;
        }
    }

    void endParagraph() {
        auto paragraph = std::move(paragraphs_.back());
        paragraphs_.pop_back();
        if (paragraphs_.empty()) {
            emit(paragraph.text);
            for (const auto& inner : paragraph.nested) {
                emit(inner);
            }
            return;
        }
        // An empty paragraph leaves nothing; each one kept costs its own bookkeeping against
        // the cap, so that millions of tiny nested paragraphs cannot outgrow it.
        auto& outer = paragraphs_.back().nested;
        if (!paragraph.text.empty()) {
            charge(sizeof(std::string));
            outer.push_back(std::move(paragraph.text));
        }
        std::move(paragraph.nested.begin(), paragraph.nested.end(), std::back_inserter(outer));
    }

    void emit(const std::string& paragraph) {
        if (paragraph.empty()) {
            return;
        }
        if (!text_.empty()) {
            appendText("\n\n", text_);
        }
        text_ += paragraph;
    }

    void charge(std::size_t bytes) {
        if (bytes > maxTextBytes_ - textBytes_) {
            throw WordProcessorReaderError(Case::entryTooLarge,
                                           "the text of " + std::string(entryName_) + " exceeds " +
                                               std::to_string(maxTextBytes_) + " bytes");
        }
        textBytes_ += bytes;
    }

    void appendText(std::string_view text, std::string& out) {
        charge(text.size());
        out += text;
    }

    void appendRepeated(std::size_t count, char c, std::string& out) {
        charge(count);
        out.append(count, c);
    }

    // Line breaks and runs of white space in the markup are layout, shown as one space.
    void appendCollapsed(std::string_view text, std::string& out) {
        const auto before = out.size();
        for (const char c : text) {
            const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
            if (!space) {
                out.push_back(c);
            } else if (out.empty() || out.back() != ' ') {
                out.push_back(' ');
            }
        }
        charge(out.size() - before);
    }

    bool isParagraph(std::string_view ns, std::string_view name) const {
        if (format_ == Format::word) {
            return ns == kWordNamespace && name == "p";
        }
        return ns == kTextNamespace && (name == "p" || name == "h");
    }

    // Notes, comments and the record of deleted text are not part of the body.
    bool isSkipped(std::string_view ns, std::string_view name) const {
        if (format_ == Format::word) {
            return false;
        }
        return (ns == kTextNamespace && (name == "note" || name == "tracked-changes")) ||
               (ns == kOfficeNamespace && name == "annotation");
    }

    Format format_;
    std::string_view entryName_;
    std::size_t maxTextBytes_;
    std::size_t textBytes_ = 0;
    std::string text_;
    // The paragraphs open around the current node, outermost first.
    std::vector<Paragraph> paragraphs_;
    // The depth of an element whose content is not read (skipped, or already turned into text).
    std::optional<int> opaqueDepth_;
    // The depth of the Word text element being read.
    std::optional<int> wordTextDepth_;
    long spaceCount_ = 1;
};

// A repeat count in a document is untrusted; no real document asks for more spaces than this.
long spaceCount(xmlTextReader* reader) {
    xmlChar* raw =
        xmlTextReaderGetAttributeNs(reader, reinterpret_cast<const xmlChar*>("c"),
                                    reinterpret_cast<const xmlChar*>(kTextNamespace.data()));
    if (raw == nullptr) {
        return 1;
    }
    const std::string_view value = reinterpret_cast<const char*>(raw);
    long count = 1;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
    xmlFree(raw);
    if (error != std::errc{} || end == value.data() || count < 1) {
        return 1;
    }
    return std::min(count, kMaxRepeatedSpaces);
}

std::string_view view(const xmlChar* text) {
    return text != nullptr ? reinterpret_cast<const char*>(text) : std::string_view();
}

void recordFirstError(void* context, xmlErrorPtr error) {
    auto& message = *static_cast<std::string*>(context);
    if (message.empty() && error != nullptr && error->level >= XML_ERR_ERROR) {
        message = error->message != nullptr ? error->message : "malformed";
        while (!message.empty() && message.back() == '\n') {
            message.pop_back();
        }
    }
}

std::string readBodyText(archive* archiveReader, Format format, std::size_t maxEntryBytes,
                         std::stop_token stop) {
    EntryStream stream{archiveReader, maxEntryBytes, std::move(stop)};
    // No network and no entity substitution: the document is untrusted.
    const std::unique_ptr<xmlTextReader, decltype(&xmlFreeTextReader)> reader(
        xmlReaderForIO(&EntryStream::read, nullptr, &stream, nullptr, nullptr,
                       XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
        xmlFreeTextReader);
    if (!reader) {
        if (stream.stopped) {
            throw Error("Reading the document was cancelled");
        }
        if (stream.tooLarge || stream.unreadable) {
            // The first bytes are read when the reader is made.
            throw WordProcessorReaderError(
                stream.tooLarge ? Case::entryTooLarge : Case::archiveUnreadable,
                stream.tooLarge ? "the markup exceeds " + std::to_string(maxEntryBytes) + " bytes"
                                : archiveMessage(archiveReader));
        }
        throw WordProcessorReaderError(Case::malformedXml, "no root element");
    }
    std::string error;
    xmlTextReaderSetStructuredErrorHandler(reader.get(), &recordFirstError, &error);
    const auto entryName = format == Format::word ? kWordEntry : kOpenDocumentEntry;
    // The text may not outgrow the markup's own cap, however many spaces an element stands for.
    BodyText body(format, entryName, maxEntryBytes);
    bool sawRoot = false;
    int status = 0;
    while ((status = xmlTextReaderRead(reader.get())) == 1) {
        const int depth = xmlTextReaderDepth(reader.get());
        switch (xmlTextReaderNodeType(reader.get())) {
            case XML_READER_TYPE_ELEMENT: {
                sawRoot = true;
                const auto ns = view(xmlTextReaderConstNamespaceUri(reader.get()));
                const auto name = view(xmlTextReaderConstLocalName(reader.get()));
                if (format == Format::openDocument && ns == kTextNamespace && name == "s") {
                    body.setSpaceCount(spaceCount(reader.get()));
                }
                body.startElement(ns, name, depth, xmlTextReaderIsEmptyElement(reader.get()) == 1);
                break;
            }
            case XML_READER_TYPE_END_ELEMENT:
                body.endElement(view(xmlTextReaderConstNamespaceUri(reader.get())),
                                view(xmlTextReaderConstLocalName(reader.get())), depth);
                break;
            case XML_READER_TYPE_TEXT:
            case XML_READER_TYPE_CDATA:
            case XML_READER_TYPE_WHITESPACE:
            case XML_READER_TYPE_SIGNIFICANT_WHITESPACE:
                body.characters(view(xmlTextReaderConstValue(reader.get())), depth);
                break;
            default:
                break;
        }
    }
    if (stream.stopped) {
        throw Error("Reading the document was cancelled");
    }
    if (stream.tooLarge) {
        throw WordProcessorReaderError(
            Case::entryTooLarge,
            std::string(entryName) + " exceeds " + std::to_string(maxEntryBytes) + " bytes");
    }
    if (stream.unreadable) {
        throw WordProcessorReaderError(Case::archiveUnreadable, archiveMessage(archiveReader));
    }
    if (status != 0 && error.find("huge text") != std::string::npos) {
        // The markup may be well-formed: one run of text is longer than the parser takes.
        throw WordProcessorReaderError(
            Case::entryTooLarge, "a text run of " + std::string(entryName) + " is longer than " +
                                     std::to_string(kMaxTextRunBytes) +
                                     " bytes, the most one run may hold");
    }
    if (status != 0 || !sawRoot) {
        throw WordProcessorReaderError(Case::malformedXml,
                                       error.empty() ? "no root element" : error);
    }
    return body.take();
}

}  // namespace

WordProcessorReaderError::WordProcessorReaderError(Case kind, const std::string& detail)
    : Error(description(kind) + ": " + detail), kind_(kind) {}

std::optional<std::string> WordProcessorReader::documentText(std::string_view bytes,
                                                             std::size_t maxEntryBytes,
                                                             std::stop_token stop) {
    if (!bytes.starts_with(std::string_view("PK\x03\x04", 4))) {
        return std::nullopt;
    }
    const ArchivePtr reader(archive_read_new(), archive_read_free);
    if (!reader) {
        throw WordProcessorReaderError(Case::archiveUnreadable, "out of memory");
    }
    archive_read_support_format_zip(reader.get());
    if (archive_read_open_memory(reader.get(), bytes.data(), bytes.size()) != ARCHIVE_OK) {
        throw WordProcessorReaderError(Case::archiveUnreadable, archiveMessage(reader.get()));
    }
    const auto format = openDocumentEntry(reader.get(), maxEntryBytes);
    return readBodyText(reader.get(), format, maxEntryBytes, stop);
}

}  // namespace vask
