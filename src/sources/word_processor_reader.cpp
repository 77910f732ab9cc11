#include "sources/word_processor_reader.h"

#include "sources/docx_reader.h"
#include "sources/odt_reader.h"
#include "sources/word_processing_markup.h"

namespace vask {
namespace {

std::string description(WordProcessorReaderError::Case kind) {
    using Case = WordProcessorReaderError::Case;
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

}  // namespace

WordProcessorReaderError::WordProcessorReaderError(Case kind, const std::string& detail)
    : Error(description(kind) + ": " + detail), kind_(kind) {}

std::optional<std::string> WordProcessorReader::documentText(std::string_view bytes,
                                                             std::size_t maxEntryBytes,
                                                             std::stop_token stop) {
    if (!bytes.starts_with(std::string_view("PK\x03\x04", 4))) {
        return std::nullopt;
    }
    const auto reader = WordProcessingMarkup::openArchive(bytes);
    const auto entry = WordProcessingMarkup::openEntry(
        reader.get(), {DocxReader::kDocumentEntry, OdtReader::kDocumentEntry}, maxEntryBytes);
    if (!entry) {
        throw WordProcessorReaderError(WordProcessorReaderError::Case::entryMissing,
                                       std::string(DocxReader::kDocumentEntry) + " or " +
                                           std::string(OdtReader::kDocumentEntry));
    }
    if (*entry == DocxReader::kDocumentEntry) {
        return DocxReader::documentText(bytes, reader.get(), maxEntryBytes, stop);
    }
    return OdtReader::documentText(bytes, reader.get(), maxEntryBytes, stop);
}

}  // namespace vask
