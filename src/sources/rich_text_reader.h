#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

// Plain text out of rich documents, the format detected from the bytes themselves: RTF by a
// small reader of our own, HTML by HtmlText in the encoding a browser would pick, zipped
// word-processor documents (.docx, .odt) through WordProcessorReader. Anything else is not
// imported.
namespace vask::RichTextReader {

// The document's text in UTF-8, or nothing when the bytes are none of these formats. Throws
// WordProcessorReaderError for a zip archive that holds no readable document, and vask::Error
// when `stop` is requested while any of them is read (each reader looks at it as it goes, every
// 64 KB or so of its work).
std::optional<std::string> plainText(std::string_view bytes, std::stop_token stop = {});

std::optional<std::string> rtfText(std::string_view bytes, std::stop_token stop = {});
// The text of bytes that look like HTML as browsers sniff it; nothing for others.
std::optional<std::string> htmlText(std::string_view bytes, std::stop_token stop = {});

// The text of bytes known to be an HTML page (by its name), whatever they start with.
std::string htmlPageText(std::string_view bytes, std::stop_token stop = {});

}  // namespace vask::RichTextReader
