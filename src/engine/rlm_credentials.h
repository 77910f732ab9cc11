#pragma once

#include <optional>
#include <string>

namespace vask {

// What a helper run hands to model calls: a relay API key, a managed account's customer token,
// either or neither.
struct RLMCredentials {
    std::optional<std::string> apiKey;
    std::optional<std::string> customerToken;

    bool operator==(const RLMCredentials&) const = default;
};

}  // namespace vask
