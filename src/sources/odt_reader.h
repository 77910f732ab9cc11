#pragma once

#include <cstddef>
#include <stop_token>
#include <string>
#include <string_view>

struct archive;

// The text of an .odt as LibreOffice shows it (see WordProcessorReader): the list and outline
// styles of styles.xml read first, then content.xml, its notes after the body.
namespace vask::OdtReader {

inline constexpr std::string_view kDocumentEntry = "content.xml";

// The text of the .odt archive `bytes`, whose `reader` stands at its content entry. Throws as
// WordProcessorReader::documentText does.
std::string documentText(std::string_view bytes, archive* reader, std::size_t maxEntryBytes,
                         const std::stop_token& stop);

}  // namespace vask::OdtReader
