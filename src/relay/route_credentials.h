#pragma once

#include <optional>
#include <string>

namespace vask {

// The credentials of one model call as the relay client reads them: an optional API key and an
// optional customer token, in that order. A value that is blank after trimming counts as absent.
struct RouteCredentials {
    std::optional<std::string> apiKey;
    std::optional<std::string> customerToken;

    bool operator==(const RouteCredentials&) const = default;
};

}  // namespace vask
