#include "sources/word_processor_reader.h"

#include <archive.h>
#include <archive_entry.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/valid.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <exception>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "platform/logger.h"
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

// One run of text longer than this is refused, as libxml2 refuses a text node that long unless
// told to lift every limit (which would also lift its guards against entity expansion).
constexpr std::size_t kMaxTextRunBytes = 10'000'000;

// Attributes of an element past this many are dropped before the parser (see readBodyText), and
// past this many namespace declarations the markup is refused.
constexpr std::size_t kMaxAttributes = 128;
constexpr std::size_t kMaxNamespaces = 1024;

const Logger& logger() {
    static const Logger instance("ai.vask.VaskCore", "word-processor");
    return instance;
}

std::string_view view(const xmlChar* text) {
    return text != nullptr ? reinterpret_cast<const char*>(text) : std::string_view();
}

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

// How many spaces a text:s element stands for, from its text:c attribute.
long spaceCount(int attributeCount, const xmlChar** attributes) {
    // Each attribute is five pointers: local name, prefix, namespace, value start, value end.
    for (int i = 0; i < attributeCount; ++i) {
        const xmlChar** attribute = attributes + static_cast<std::ptrdiff_t>(i) * 5;
        if (view(attribute[0]) != "c" || view(attribute[2]) != kTextNamespace) {
            continue;
        }
        const auto* start = reinterpret_cast<const char*>(attribute[3]);
        const auto* end = reinterpret_cast<const char*>(attribute[4]);
        long count = 1;
        const auto [stop, error] = std::from_chars(start, end, count);
        if (error != std::errc{} || stop == start || count < 1) {
            return 1;
        }
        return std::min(count, kMaxRepeatedSpaces);
    }
    return 1;
}

struct ParserContextDeleter {
    void operator()(xmlParserCtxt* context) const {
        xmlFreeDoc(context->myDoc);
        xmlFreeParserCtxt(context);
    }
};

// The parser's callbacks, which feed BodyText. Nothing is thrown through the parser (C code):
// a failure is kept, the parser stopped, and the failure thrown once it returns.
class SaxBody {
  public:
    SaxBody(BodyText& body, Format format, std::string_view entryName, std::stop_token stop)
        : body_(body), format_(format), entryName_(entryName), stop_(std::move(stop)) {}

    static xmlSAXHandler handler() {
        xmlSAXHandler sax{};
        sax.initialized = XML_SAX2_MAGIC;
        sax.startElementNs = &SaxBody::startElement;
        sax.endElementNs = &SaxBody::endElement;
        sax.characters = &SaxBody::characters;
        sax.cdataBlock = &SaxBody::characters;
        sax.ignorableWhitespace = &SaxBody::characters;
        sax.entityDecl = &SaxBody::entityDeclaration;
        sax.attributeDecl = &SaxBody::attributeDeclaration;
        sax.serror = &SaxBody::structuredError;
        return sax;
    }

    void setParser(xmlParserCtxt* parser) { parser_ = parser; }
    bool sawRoot() const { return sawRoot_; }
    bool stopped() const { return stopped_; }
    const std::string& firstError() const { return error_; }

    // Throws what a callback kept.
    void rethrow() const {
        if (failure_) {
            std::rethrow_exception(failure_);
        }
    }

    // Stops the parser when a stop is requested; whether it was.
    bool checkStop() {
        if (!stopped_ && stop_.stop_requested()) {
            stopped_ = true;
            xmlStopParser(parser_);
        }
        return stopped_;
    }

  private:
    static SaxBody& self(void* context) { return *static_cast<SaxBody*>(context); }

    template <typename Step>
    void guarded(Step&& step) {
        if (failure_ || checkStop()) {
            return;
        }
        try {
            step();
        } catch (...) {
            failure_ = std::current_exception();
            xmlStopParser(parser_);
        }
    }

    void refuse(Case kind, const std::string& detail) {
        throw WordProcessorReaderError(kind, detail);
    }

    static void startElement(void* context, const xmlChar* localName, const xmlChar*,
                             const xmlChar* uri, int, const xmlChar**, int attributeCount, int,
                             const xmlChar** attributes) {
        auto& sax = self(context);
        sax.guarded([&] {
            sax.sawRoot_ = true;
            // The bound before the parser passes no more than this; an element past it means
            // the two read the markup differently, and the document is not read on.
            if (static_cast<std::size_t>(attributeCount) > kMaxAttributes) {
                sax.refuse(Case::malformedXml, "an element of " + std::string(sax.entryName_) +
                                                   " has more attributes than are read");
            }
            const auto ns = view(uri);
            const auto name = view(localName);
            if (sax.format_ == Format::openDocument && ns == kTextNamespace && name == "s") {
                sax.body_.setSpaceCount(spaceCount(attributeCount, attributes));
            }
            sax.body_.startElement(ns, name, sax.depth_, false);
            ++sax.depth_;
            sax.runBytes_ = 0;
        });
    }

    static void endElement(void* context, const xmlChar* localName, const xmlChar*,
                           const xmlChar* uri) {
        auto& sax = self(context);
        sax.guarded([&] {
            --sax.depth_;
            sax.body_.endElement(view(uri), view(localName), sax.depth_);
            sax.runBytes_ = 0;
        });
    }

    static void characters(void* context, const xmlChar* text, int length) {
        auto& sax = self(context);
        sax.guarded([&] {
            sax.runBytes_ += static_cast<std::size_t>(length);
            if (sax.runBytes_ > kMaxTextRunBytes) {
                sax.refuse(Case::entryTooLarge, "a text run of " + std::string(sax.entryName_) +
                                                    " is longer than " +
                                                    std::to_string(kMaxTextRunBytes) +
                                                    " bytes, the most one run may hold");
            }
            sax.body_.characters(
                std::string_view(reinterpret_cast<const char*>(text),
                                 static_cast<std::size_t>(std::max(length, 0))),
                sax.depth_);
        });
    }

    // The replacement text of an entity is markup this reader's bound never sees, and the parser
    // reads it when the entity is used; defaulted attributes are added to elements unseen too.
    // No word processor declares either.
    static void entityDeclaration(void* context, const xmlChar* name, int, const xmlChar*,
                                  const xmlChar*, xmlChar*) {
        auto& sax = self(context);
        sax.guarded([&] {
            sax.refuse(Case::malformedXml, std::string(sax.entryName_) +
                                               " declares the entity \"" +
                                               std::string(view(name)) +
                                               "\"; documents that declare entities are not read");
        });
    }

    static void attributeDeclaration(void* context, const xmlChar* element, const xmlChar*, int,
                                     int, const xmlChar*, xmlEnumerationPtr values) {
        xmlFreeEnumeration(values);
        auto& sax = self(context);
        sax.guarded([&] {
            sax.refuse(Case::malformedXml,
                       std::string(sax.entryName_) + " declares attributes of \"" +
                           std::string(view(element)) +
                           "\"; documents that declare attributes are not read");
        });
    }

    static void structuredError(void* context, xmlErrorPtr error) {
        auto& message = self(context).error_;
        if (message.empty() && error != nullptr && error->level >= XML_ERR_ERROR) {
            message = error->message != nullptr ? error->message : "malformed";
            while (!message.empty() && message.back() == '\n') {
                message.pop_back();
            }
        }
    }

    BodyText& body_;
    Format format_;
    std::string_view entryName_;
    std::stop_token stop_;
    xmlParserCtxt* parser_ = nullptr;
    int depth_ = 0;
    // The bytes of character data since the last tag.
    std::size_t runBytes_ = 0;
    bool sawRoot_ = false;
    bool stopped_ = false;
    std::string error_;
    std::exception_ptr failure_;
};

// The bound before the parser reads bytes, so the parser must read the same bytes: UTF-8 (the
// encoding word processors write), whatever the document declares. Markup in UTF-16 or EBCDIC
// would reach the parser unseen by the bound, so it is refused.
void requireAsciiCompatible(std::string_view start, std::string_view entryName) {
    if (start.starts_with("\xEF\xBB\xBF")) {
        start.remove_prefix(3);
    }
    if (!start.empty() && start[0] != '<' && start[0] != ' ' && start[0] != '\t' &&
        start[0] != '\n' && start[0] != '\r') {
        throw WordProcessorReaderError(Case::malformedXml,
                                       std::string(entryName) + " is not UTF-8 markup");
    }
}

std::string readBodyText(archive* archiveReader, Format format, std::size_t maxEntryBytes,
                         std::stop_token stop) {
    // Elements past this many attributes lose the rest before the parser: its cost grows with
    // the square of an element's attributes, and the text holds none. A real document's root
    // has a few dozen, with its namespace declarations (kept whatever their place, up to the
    // second bound).
    constexpr std::size_t kPieceBytes = std::size_t{64} * 1024;
    const auto entryName = format == Format::word ? kWordEntry : kOpenDocumentEntry;
    // The text may not outgrow the markup's own cap, however many spaces an element stands for.
    BodyText body(format, entryName, maxEntryBytes);
    SaxBody sax(body, format, entryName, stop);
    auto handler = SaxBody::handler();
    // No network, no DTD loaded, no entity substitution, no lifted limits; the bytes are UTF-8.
    const std::unique_ptr<xmlParserCtxt, ParserContextDeleter> parser(
        xmlCreatePushParserCtxt(&handler, &sax, nullptr, 0, nullptr));
    if (!parser) {
        throw WordProcessorReaderError(Case::malformedXml, "out of memory");
    }
    sax.setParser(parser.get());
    xmlCtxtUseOptions(parser.get(), XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                                        XML_PARSE_IGNORE_ENC);
    xmlSwitchEncoding(parser.get(), XML_CHAR_ENCODING_UTF8);
    MarkupAttributeBound bound(kMaxAttributes, kMaxNamespaces);
    std::string piece(kPieceBytes, '\0');
    std::string filtered;
    std::size_t inflated = 0;
    while (true) {
        if (sax.checkStop()) {
            break;
        }
        const la_ssize_t count = archive_read_data(archiveReader, piece.data(), piece.size());
        if (count < 0) {
            throw WordProcessorReaderError(Case::archiveUnreadable, archiveMessage(archiveReader));
        }
        if (count == 0) {
            break;
        }
        // The declared size may lie: the limit holds on what actually inflates.
        if (static_cast<std::size_t>(count) > maxEntryBytes - inflated) {
            throw WordProcessorReaderError(
                Case::entryTooLarge,
                std::string(entryName) + " exceeds " + std::to_string(maxEntryBytes) + " bytes");
        }
        const std::string_view bytes(piece.data(), static_cast<std::size_t>(count));
        if (inflated == 0) {
            requireAsciiCompatible(bytes, entryName);
        }
        inflated += bytes.size();
        filtered.clear();
        bound.filter(bytes, filtered);
        if (bound.refused()) {
            throw WordProcessorReaderError(
                Case::malformedXml, "an element of " + std::string(entryName) + " declares more than " +
                                        std::to_string(kMaxNamespaces) + " namespaces");
        }
        xmlParseChunk(parser.get(), filtered.data(), static_cast<int>(filtered.size()), 0);
        sax.rethrow();
        if (parser->disableSAX != 0 || parser->instate == XML_PARSER_EOF) {
            break;
        }
    }
    if (!sax.stopped() && parser->instate != XML_PARSER_EOF) {
        xmlParseChunk(parser.get(), nullptr, 0, 1);
    }
    sax.rethrow();
    if (sax.stopped()) {
        throw Error("Reading the document was cancelled");
    }
    if (bound.dropped() > 0) {
        logger().info(std::to_string(bound.dropped()) + " attributes past the first " +
                      std::to_string(kMaxAttributes) + " of their elements in " +
                      std::string(entryName) + " were not read (no text is in attributes)");
    }
    if (parser->wellFormed == 0 || !sax.sawRoot()) {
        throw WordProcessorReaderError(
            Case::malformedXml, sax.firstError().empty() ? "no root element" : sax.firstError());
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
