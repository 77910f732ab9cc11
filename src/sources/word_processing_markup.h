#pragma once

#include <libxml/xmlstring.h>

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

struct archive;

namespace vask {

class Logger;

// What the .docx and .odt readers share: the namespaces they read, the zip archive a document
// is, and the reading of one of its XML entries through libxml2's push parser, bounded and
// cancellable, into a handler of its elements and text.
namespace WordProcessingMarkup {

inline constexpr std::string_view kWordNamespace =
    "http://schemas.openxmlformats.org/wordprocessingml/2006/main";
inline constexpr std::string_view kMathNamespace =
    "http://schemas.openxmlformats.org/officeDocument/2006/math";
inline constexpr std::string_view kCompatibilityNamespace =
    "http://schemas.openxmlformats.org/markup-compatibility/2006";
inline constexpr std::string_view kTextNamespace = "urn:oasis:names:tc:opendocument:xmlns:text:1.0";
inline constexpr std::string_view kOfficeNamespace =
    "urn:oasis:names:tc:opendocument:xmlns:office:1.0";
inline constexpr std::string_view kStyleNamespace =
    "urn:oasis:names:tc:opendocument:xmlns:style:1.0";
inline constexpr std::string_view kFoNamespace =
    "urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0";
inline constexpr std::string_view kSvgNamespace =
    "urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0";
inline constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

const Logger& logger();

// The attributes the parser reports with an element: five pointers each (local name, prefix,
// namespace, value start, value end). Strict Open XML's namespaces read as the transitional
// ones.
class Attributes {
  public:
    Attributes(int count, const xmlChar** attributes) : count_(count), attributes_(attributes) {}

    std::optional<std::string_view> get(std::string_view ns, std::string_view name) const;

  private:
    int count_;
    const xmlChar** attributes_;
};

// What a reader does with the elements and text of an entry, in document order; `depth` is the
// element's (the root's is 0). An exception thrown stops the reading and is thrown on.
class Handler {
  public:
    virtual ~Handler() = default;
    // The entry read next (each starts outside any element).
    virtual void setEntry(std::string_view entryName) = 0;
    virtual void startElement(std::string_view ns, std::string_view name, int depth, bool empty,
                              const Attributes& attributes) = 0;
    virtual void endElement(std::string_view ns, std::string_view name, int depth) = 0;
    virtual void characters(std::string_view content, int depth) = 0;
};

struct ArchiveDeleter {
    void operator()(archive* reader) const;
};
using ArchivePtr = std::unique_ptr<archive, ArchiveDeleter>;

// The zip archive `bytes` opened for reading from its start.
ArchivePtr openArchive(std::string_view bytes);

// Moves `reader` to the first entry named one of `names`; that name, or nothing when the archive
// holds none of them. Throws WordProcessorReaderError for an entry declared larger than
// `maxEntryBytes`.
std::optional<std::string_view> openEntry(archive* reader,
                                          std::initializer_list<std::string_view> names,
                                          std::size_t maxEntryBytes);

// Reads the markup of the entry `reader` stands at into `handler`: at most `maxEntryBytes`
// inflated, attributes past the first 128 of an element dropped before the parser, no entity
// or attribute declared, UTF-8 whatever it declares. Throws WordProcessorReaderError for what
// cannot be read, vask::Error when `stop` is requested.
void readEntry(archive* reader, std::string_view entryName, Handler& handler,
               std::size_t maxEntryBytes, const std::stop_token& stop);

// Reads the entry `entryName` of the archive `bytes` (opened anew, as its entries may come in
// any order) into `handler`, when the archive holds one; throws as readEntry does.
void readNamedEntry(std::string_view bytes, std::string_view entryName, Handler& handler,
                    std::size_t maxEntryBytes, const std::stop_token& stop);

// Reads each entry of `entryNames` the archive holds, as readNamedEntry; one that cannot be read
// is logged and left, so that a document whose definitions are damaged reads without them.
void readDefinitions(std::string_view bytes, std::initializer_list<std::string_view> entryNames,
                     Handler& handler, std::size_t maxEntryBytes, const std::stop_token& stop);

}  // namespace WordProcessingMarkup

}  // namespace vask
