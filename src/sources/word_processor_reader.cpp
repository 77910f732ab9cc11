#include "sources/word_processor_reader.h"

#include <archive.h>
#include <archive_entry.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

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

struct Entry {
    Format format;
    std::string xml;
};

std::string archiveMessage(archive* reader) {
    const char* message = archive_error_string(reader);
    return message != nullptr ? message : "unknown archive error";
}

Entry readDocumentEntry(std::string_view bytes, std::size_t requestedLimit) {
    // The XML parser takes an int length.
    const std::size_t maxEntryBytes =
        std::min<std::size_t>(requestedLimit, std::numeric_limits<int>::max());
    const std::unique_ptr<archive, decltype(&archive_read_free)> reader(archive_read_new(),
                                                                        archive_read_free);
    if (!reader) {
        throw WordProcessorReaderError(Case::archiveUnreadable, "out of memory");
    }
    archive_read_support_format_zip(reader.get());
    if (archive_read_open_memory(reader.get(), bytes.data(), bytes.size()) != ARCHIVE_OK) {
        throw WordProcessorReaderError(Case::archiveUnreadable, archiveMessage(reader.get()));
    }
    archive_entry* header = nullptr;
    while (true) {
        const int status = archive_read_next_header(reader.get(), &header);
        if (status == ARCHIVE_EOF) {
            throw WordProcessorReaderError(Case::entryMissing, std::string(kWordEntry) + " or " +
                                                                   std::string(kOpenDocumentEntry));
        }
        if (status < ARCHIVE_WARN) {
            throw WordProcessorReaderError(Case::archiveUnreadable, archiveMessage(reader.get()));
        }
        const char* rawName = archive_entry_pathname(header);
        const std::string_view name = rawName != nullptr ? rawName : "";
        if (name != kWordEntry && name != kOpenDocumentEntry) {
            continue;
        }
        Entry entry{name == kWordEntry ? Format::word : Format::openDocument, {}};
        const auto tooLarge = [&] {
            return WordProcessorReaderError(
                Case::entryTooLarge,
                std::string(name) + " exceeds " + std::to_string(maxEntryBytes) + " bytes");
        };
        if (archive_entry_size_is_set(header) != 0 &&
            static_cast<std::uint64_t>(archive_entry_size(header)) > maxEntryBytes) {
            throw tooLarge();
        }
        // The declared size may lie, so the limit holds on what actually inflates.
        std::array<char, std::size_t{64} * 1024> buffer{};
        while (true) {
            const la_ssize_t count = archive_read_data(reader.get(), buffer.data(), buffer.size());
            if (count == 0) {
                return entry;
            }
            if (count < 0) {
                throw WordProcessorReaderError(Case::archiveUnreadable,
                                               archiveMessage(reader.get()));
            }
            if (entry.xml.size() + static_cast<std::size_t>(count) > maxEntryBytes) {
                throw tooLarge();
            }
            entry.xml.append(buffer.data(), static_cast<std::size_t>(count));
        }
    }
}

bool isElement(const xmlNode* node, std::string_view ns, std::string_view name) {
    return node->type == XML_ELEMENT_NODE && node->ns != nullptr && node->ns->href != nullptr &&
           reinterpret_cast<const char*>(node->ns->href) == ns &&
           reinterpret_cast<const char*>(node->name) == name;
}

// Paragraphs in document order; a paragraph nested in another (a text box) follows it.
//
// The text is bounded as it grows, not after: a space element of a few bytes of markup may stand
// for a thousand spaces, so a small document could otherwise yield text without bound.
class ParagraphCollector {
  public:
    ParagraphCollector(Format format, std::string_view entryName, std::size_t maxTextBytes)
        : format_(format), entryName_(entryName), maxTextBytes_(maxTextBytes) {}

    void walk(const xmlNode* node) {
        for (; node != nullptr; node = node->next) {
            if (node->type != XML_ELEMENT_NODE || isSkipped(node)) {
                continue;
            }
            if (isParagraph(node)) {
                std::string text;
                std::vector<const xmlNode*> nested;
                collectRuns(node->children, text, nested);
                if (!text.empty()) {
                    if (!text_.empty()) {
                        appendText("\n\n", text_);
                    }
                    text_ += text;
                }
                for (const auto* inner : nested) {
                    walk(inner);
                }
            } else {
                walk(node->children);
            }
        }
    }

    // One paragraph per line with a blank line between paragraphs.
    std::string take() { return std::move(text_); }

  private:
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

    void appendChildText(const xmlNode* node, std::string& out) {
        for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
            if ((child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) &&
                child->content != nullptr) {
                appendText(reinterpret_cast<const char*>(child->content), out);
            }
        }
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

    bool isParagraph(const xmlNode* node) const {
        if (format_ == Format::word) {
            return isElement(node, kWordNamespace, "p");
        }
        return isElement(node, kTextNamespace, "p") || isElement(node, kTextNamespace, "h");
    }

    // Notes, comments and the record of deleted text are not part of the body.
    bool isSkipped(const xmlNode* node) const {
        if (format_ == Format::word) {
            return false;
        }
        return isElement(node, kTextNamespace, "note") ||
               isElement(node, kTextNamespace, "tracked-changes") ||
               isElement(node, kOfficeNamespace, "annotation");
    }

    void collectRuns(const xmlNode* node, std::string& out, std::vector<const xmlNode*>& nested) {
        for (; node != nullptr; node = node->next) {
            if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
                if (format_ == Format::openDocument && node->content != nullptr) {
                    appendCollapsed(reinterpret_cast<const char*>(node->content), out);
                }
                continue;
            }
            if (node->type != XML_ELEMENT_NODE || isSkipped(node)) {
                continue;
            }
            if (isParagraph(node)) {
                nested.push_back(node);
            } else if (format_ == Format::word) {
                collectWordRun(node, out, nested);
            } else {
                collectOpenDocumentRun(node, out, nested);
            }
        }
    }

    void collectWordRun(const xmlNode* node, std::string& out,
                        std::vector<const xmlNode*>& nested) {
        if (isElement(node, kWordNamespace, "t")) {
            appendChildText(node, out);
        } else if (isElement(node, kWordNamespace, "tab")) {
            appendRepeated(1, '\t', out);
        } else if (isElement(node, kWordNamespace, "br")) {
            appendRepeated(1, '\n', out);
        } else {
            collectRuns(node->children, out, nested);
        }
    }

    void collectOpenDocumentRun(const xmlNode* node, std::string& out,
                                std::vector<const xmlNode*>& nested) {
        if (isElement(node, kTextNamespace, "s")) {
            appendRepeated(static_cast<std::size_t>(spaceCount(node)), ' ', out);
        } else if (isElement(node, kTextNamespace, "tab")) {
            appendRepeated(1, '\t', out);
        } else if (isElement(node, kTextNamespace, "line-break")) {
            appendRepeated(1, '\n', out);
        } else {
            collectRuns(node->children, out, nested);
        }
    }

    static long spaceCount(const xmlNode* node) {
        xmlChar* raw = xmlGetNsProp(node, reinterpret_cast<const xmlChar*>("c"),
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

    Format format_;
    std::string_view entryName_;
    std::size_t maxTextBytes_;
    std::size_t textBytes_ = 0;
    std::string text_;
};

std::string documentXmlText(const Entry& entry, std::size_t maxTextBytes) {
    const std::unique_ptr<xmlParserCtxt, decltype(&xmlFreeParserCtxt)> context(xmlNewParserCtxt(),
                                                                               xmlFreeParserCtxt);
    if (!context) {
        throw WordProcessorReaderError(Case::malformedXml, "out of memory");
    }
    // No network and no entity substitution: the document is untrusted.
    const std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> document(
        xmlCtxtReadMemory(context.get(), entry.xml.data(), static_cast<int>(entry.xml.size()),
                          nullptr, nullptr,
                          XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
        xmlFreeDoc);
    const xmlNode* root = document ? xmlDocGetRootElement(document.get()) : nullptr;
    if (root == nullptr) {
        const xmlError* error = &context->lastError;
        std::string message = error->message != nullptr ? error->message : "no root element";
        while (!message.empty() && message.back() == '\n') {
            message.pop_back();
        }
        throw WordProcessorReaderError(Case::malformedXml, message);
    }
    ParagraphCollector collector(
        entry.format, entry.format == Format::word ? kWordEntry : kOpenDocumentEntry, maxTextBytes);
    collector.walk(root);
    return collector.take();
}

}  // namespace

WordProcessorReaderError::WordProcessorReaderError(Case kind, const std::string& detail)
    : Error(description(kind) + ": " + detail), kind_(kind) {}

std::optional<std::string> WordProcessorReader::documentText(std::string_view bytes,
                                                             std::size_t maxEntryBytes) {
    if (!bytes.starts_with(std::string_view("PK\x03\x04", 4))) {
        return std::nullopt;
    }
    // The text may not outgrow the markup's own cap, however many spaces an element stands for.
    return documentXmlText(readDocumentEntry(bytes, maxEntryBytes), maxEntryBytes);
}

}  // namespace vask
