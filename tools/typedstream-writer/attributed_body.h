#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vask::typedstream {

// Attribute names the Messages app puts on the runs of a body.
inline constexpr std::string_view kMessagePartAttributeName = "__kIMMessagePartAttributeName";
inline constexpr std::string_view kLinkAttributeName = "__kIMLinkAttributeName";
inline constexpr std::string_view kFileTransferGUIDAttributeName =
    "__kIMFileTransferGUIDAttributeName";
inline constexpr std::string_view kMentionAttributeName = "__kIMMentionConfirmedMention";

// The text that stands for an attachment in a body (U+FFFC OBJECT REPLACEMENT CHARACTER).
inline constexpr std::string_view kAttachmentCharacter = "\xEF\xBF\xBC";

// A URL value (archived as an NSURL object holding its string).
struct UrlValue {
    std::string url;

    bool operator==(const UrlValue&) const = default;
};

// An attribute value: an NSString, an NSNumber or an NSURL.
using AttributeValue = std::variant<std::string, std::int64_t, UrlValue>;

// A stretch of the text with its attributes. `length` counts UTF-16 code units, as the
// attributed string does.
struct AttributeRun {
    std::size_t length = 0;
    std::vector<std::pair<std::string, AttributeValue>> attributes;
};

// A message body: the text and its attribute runs. Runs with equal attributes share one archived
// dictionary, written once and referred back to afterwards.
struct AttributedBody {
    std::string text;
    std::vector<AttributeRun> runs;
    bool mutableAttributedString = true;

    // The whole text as message part 0.
    static AttributedBody plain(std::string text);
};

// The number of UTF-16 code units of UTF-8 text.
std::size_t utf16Length(std::string_view text);

// The archive of `body`, laid out as the Messages app stores message.attributedBody: the
// attributed string object, its NSString text, then each run's (index, length) and attribute
// dictionary.
std::vector<std::uint8_t> encodeAttributedBody(const AttributedBody& body);

}  // namespace vask::typedstream
