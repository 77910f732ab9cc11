#pragma once

#include <cstddef>
#include <stop_token>
#include <string>
#include <string_view>

struct archive;

// The text of a .docx as Word shows it (see WordProcessorReader): the list definitions
// (word/numbering.xml, word/styles.xml) and note formats (word/settings.xml) read first, then
// the sections of word/document.xml (how each numbers its notes), then its text, then the
// footnotes and endnotes.
namespace vask::DocxReader {

inline constexpr std::string_view kDocumentEntry = "word/document.xml";

// The text of the .docx archive `bytes`, whose `reader` stands at its document entry. Throws as
// WordProcessorReader::documentText does.
std::string documentText(std::string_view bytes, archive* reader, std::size_t maxEntryBytes,
                         const std::stop_token& stop);

}  // namespace vask::DocxReader
