#include "sources/word_processing_markup.h"

#include <archive.h>
#include <archive_entry.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/valid.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <utility>

#include "platform/logger.h"
#include "sources/markup_attribute_bound.h"
#include "sources/word_processor_reader.h"

namespace vask::WordProcessingMarkup {
namespace {

using Case = WordProcessorReaderError::Case;

// Strict Open XML names the same elements and attributes in namespaces of its own.
constexpr std::string_view kStrictWordNamespace =
    "http://purl.oclc.org/ooxml/wordprocessingml/main";
constexpr std::string_view kStrictMathNamespace = "http://purl.oclc.org/ooxml/officeDocument/math";

// One run of text longer than this is refused, as libxml2 refuses a text node that long unless
// told to lift every limit (which would also lift its guards against entity expansion).
constexpr std::size_t kMaxTextRunBytes = 10'000'000;

// Attributes of an element past this many are dropped before the parser (see readEntry), and
// past this many namespace declarations the markup is refused.
constexpr std::size_t kMaxAttributes = 128;
constexpr std::size_t kMaxNamespaces = 1024;

std::string_view view(const xmlChar* text) {
    return text != nullptr ? reinterpret_cast<const char*>(text) : std::string_view();
}

// A namespace as the transitional format names it: a Strict document reads as a transitional one.
std::string_view transitional(std::string_view ns) {
    if (ns == kStrictWordNamespace) {
        return kWordNamespace;
    }
    if (ns == kStrictMathNamespace) {
        return kMathNamespace;
    }
    return ns;
}

std::string archiveMessage(archive* reader) {
    const char* message = archive_error_string(reader);
    return message != nullptr ? message : "unknown archive error";
}

struct ParserContextDeleter {
    void operator()(xmlParserCtxt* context) const {
        xmlFreeDoc(context->myDoc);
        xmlFreeParserCtxt(context);
    }
};

// The parser's callbacks, which feed the handler. Nothing is thrown through the parser (C code):
// a failure is kept, the parser stopped, and the failure thrown once it returns.
class SaxBody {
  public:
    SaxBody(Handler& body, std::string_view entryName, std::stop_token stop)
        : body_(body), entryName_(entryName), stop_(std::move(stop)) {}

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
            sax.body_.startElement(transitional(view(uri)), view(localName), sax.depth_, false,
                                   Attributes(attributeCount, attributes));
            ++sax.depth_;
            sax.runBytes_ = 0;
        });
    }

    static void endElement(void* context, const xmlChar* localName, const xmlChar*,
                           const xmlChar* uri) {
        auto& sax = self(context);
        sax.guarded([&] {
            --sax.depth_;
            sax.body_.endElement(transitional(view(uri)), view(localName), sax.depth_);
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
            sax.body_.characters(std::string_view(reinterpret_cast<const char*>(text),
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
            sax.refuse(Case::malformedXml, std::string(sax.entryName_) + " declares the entity \"" +
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

    Handler& body_;
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

}  // namespace

void readEntry(archive* archiveReader, std::string_view entryName, Handler& body,
               std::size_t maxEntryBytes, const std::stop_token& stop) {
    // Elements past this many attributes lose the rest before the parser: its cost grows with
    // the square of an element's attributes, and the text holds none. A real document's root
    // has a few dozen, with its namespace declarations (kept whatever their place, up to the
    // second bound).
    constexpr std::size_t kPieceBytes = std::size_t{64} * 1024;
    body.setEntry(entryName);
    SaxBody sax(body, entryName, stop);
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
                Case::malformedXml, "an element of " + std::string(entryName) +
                                        " declares more than " + std::to_string(kMaxNamespaces) +
                                        " namespaces");
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
}

const Logger& logger() {
    static const Logger instance("ai.vask.VaskCore", "word-processor");
    return instance;
}

std::optional<std::string_view> Attributes::get(std::string_view ns, std::string_view name) const {
    for (int i = 0; i < count_; ++i) {
        const xmlChar** attribute = attributes_ + static_cast<std::ptrdiff_t>(i) * 5;
        if (view(attribute[0]) == name && transitional(view(attribute[2])) == ns) {
            const auto* start = reinterpret_cast<const char*>(attribute[3]);
            const auto* end = reinterpret_cast<const char*>(attribute[4]);
            return std::string_view(start, static_cast<std::size_t>(end - start));
        }
    }
    return std::nullopt;
}

void ArchiveDeleter::operator()(archive* reader) const {
    archive_read_free(reader);
}

ArchivePtr openArchive(std::string_view bytes) {
    ArchivePtr reader(archive_read_new());
    if (!reader) {
        throw WordProcessorReaderError(Case::archiveUnreadable, "out of memory");
    }
    archive_read_support_format_zip(reader.get());
    if (archive_read_open_memory(reader.get(), bytes.data(), bytes.size()) != ARCHIVE_OK) {
        throw WordProcessorReaderError(Case::archiveUnreadable, archiveMessage(reader.get()));
    }
    return reader;
}

std::optional<std::string_view> openEntry(archive* reader,
                                          std::initializer_list<std::string_view> names,
                                          std::size_t maxEntryBytes) {
    archive_entry* header = nullptr;
    while (true) {
        const int status = archive_read_next_header(reader, &header);
        if (status == ARCHIVE_EOF) {
            return std::nullopt;
        }
        if (status < ARCHIVE_WARN) {
            throw WordProcessorReaderError(Case::archiveUnreadable, archiveMessage(reader));
        }
        const char* rawName = archive_entry_pathname(header);
        const std::string_view name = rawName != nullptr ? rawName : "";
        const auto* found = std::find(names.begin(), names.end(), name);
        if (found == names.end()) {
            continue;
        }
        if (archive_entry_size_is_set(header) != 0 &&
            static_cast<std::uint64_t>(archive_entry_size(header)) > maxEntryBytes) {
            throw WordProcessorReaderError(
                Case::entryTooLarge,
                std::string(name) + " exceeds " + std::to_string(maxEntryBytes) + " bytes");
        }
        return *found;
    }
}

void readNamedEntry(std::string_view bytes, std::string_view entryName, Handler& handler,
                    std::size_t maxEntryBytes, const std::stop_token& stop) {
    const auto reader = openArchive(bytes);
    if (openEntry(reader.get(), {entryName}, maxEntryBytes)) {
        readEntry(reader.get(), entryName, handler, maxEntryBytes, stop);
    }
}

void readDefinitions(std::string_view bytes, std::initializer_list<std::string_view> entryNames,
                     Handler& handler, std::size_t maxEntryBytes, const std::stop_token& stop) {
    for (const auto entry : entryNames) {
        try {
            readNamedEntry(bytes, entry, handler, maxEntryBytes, stop);
        } catch (const WordProcessorReaderError& error) {
            logger().error(std::string(entry) + " was not read: " + error.what());
        }
    }
}

}  // namespace vask::WordProcessingMarkup
