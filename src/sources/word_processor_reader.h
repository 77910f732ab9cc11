#pragma once

#include <cstddef>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace vask {

// A word-processor document that is recognised as one but cannot be read.
class WordProcessorReaderError : public Error {
  public:
    enum class Case {
        archiveUnreadable,
        entryMissing,
        entryTooLarge,
        malformedXml,
    };

    WordProcessorReaderError(Case kind, const std::string& detail);

    Case kind() const { return kind_; }

  private:
    Case kind_;
};

// The text of zipped word-processor documents (.docx and .odt) as the author sees it: one
// paragraph per line with a blank line between paragraphs, a list item or numbered heading led
// by its number or bullet (and a tab), the paragraphs of a text box after the one that anchors
// it, footnotes and endnotes after the body (a note's number or mark raised where it is
// referred to and before its text). What the author's program does
// not show is left out: hidden text, paragraphs and sections, deleted text and the source of a
// tracked move, the fallback copy of alternate content, comments, and titles of images.
namespace WordProcessorReader {

// Larger entries are refused: the archive may be built to inflate without bound.
inline constexpr std::size_t kMaxEntryBytes = std::size_t{64} * 1024 * 1024;

// Nothing for bytes that are not a zip archive; throws WordProcessorReaderError for an archive
// that holds no readable document (one that declares entities or attribute defaults included),
// and vask::Error when `stop` is requested (checked as each piece of the markup inflates and at
// every element and run of text the parser reports).
std::optional<std::string> documentText(std::string_view bytes,
                                        std::size_t maxEntryBytes = kMaxEntryBytes,
                                        std::stop_token stop = {});

}  // namespace WordProcessorReader

}  // namespace vask
