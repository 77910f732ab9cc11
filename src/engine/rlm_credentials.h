#pragma once

#include <optional>
#include <string>

#include "platform/text.h"

namespace vask {

// What a helper run hands to model calls: a relay API key, a managed account's customer token,
// either or neither.
struct RLMCredentials {
    std::optional<std::string> apiKey;
    std::optional<std::string> customerToken;

    bool operator==(const RLMCredentials&) const = default;
};

// True when a credential is there and holds more than white space.
inline bool presentAndNotBlank(const std::optional<std::string>& value) {
    return value && !text::trimmed(*value).empty();
}

}  // namespace vask
