#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vask {

// Standard base64 (RFC 4648, with padding). Secret storage keeps arbitrary bytes in places that
// only hold text (JSON strings, Secret Service text secrets) this way.
std::string base64Encode(std::string_view bytes);

// Nothing when `text` is not canonical padded base64 (wrong length, a foreign character, padding
// in the middle).
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace vask
