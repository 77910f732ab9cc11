#pragma once

#include <optional>

#include "foundation/structured_logger.h"
#include "platform/environment.h"
#include "platform/url.h"

namespace vask {

// Where the cloud backend's base URL came from.
class CloudBaseURLSource {
  public:
    enum class Kind { environment, defaultProd };

    static CloudBaseURLSource environment(Url url) { return CloudBaseURLSource(std::move(url)); }
    static CloudBaseURLSource defaultProd() { return CloudBaseURLSource(std::nullopt); }

    Kind kind() const { return url_ ? Kind::environment : Kind::defaultProd; }
    // The override, for Kind::environment.
    const std::optional<Url>& url() const { return url_; }

    bool operator==(const CloudBaseURLSource&) const = default;

  private:
    explicit CloudBaseURLSource(std::optional<Url> url) : url_(std::move(url)) {}
    std::optional<Url> url_;
};

// VASK_CLOUD_BASE_URL, trimmed, when it holds an absolute http(s) URL; otherwise the default.
CloudBaseURLSource resolveBaseURL(const Environment& env);

// The cloud backend's base URL, resolved once at start and kept for the life of the process.
struct CloudConfig {
    Url baseURL;
    CloudBaseURLSource source;

    static CloudConfig resolve(const Environment& env, const StructuredLogger& logger);
    static const Url& defaultBaseURL();
};

}  // namespace vask
