#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "foundation/auth_mode.h"
#include "foundation/structured_logger.h"
#include "platform/http_client.h"
#include "platform/url.h"
#include "relay/model_routing_policy.h"
#include "relay/preset_selection.h"
#include "relay/route_credentials.h"

namespace vask {

// One prompt in, the model's text out, through the relay's Responses endpoint. Blocking:
// call it from a worker thread. It never throws: every failure is logged and gives no text.
// A preset refused for the plan is retried once on the plan's default model, an expired token
// once after the shared refresh, so one call makes at most three POSTs.
class CorvaneResponses {
  public:
    // Takes the customer token the refused call carried; returns the credentials to retry with,
    // or nothing when no refresh happened.
    using RefreshedCredentials =
        std::function<std::optional<RouteCredentials>(const std::optional<std::string>&)>;

    struct Request {
        std::string prompt{};
        int maxOutputTokens = 0;
        RouteCredentials credentials{};
        // Nothing: the utility route of the persisted preset selection.
        std::optional<ModelRoute> route{};
        std::optional<std::string> reasoningEffort{};
        std::chrono::milliseconds timeout{std::chrono::seconds(60)};
        // Asked before every POST; false abandons the call.
        std::function<bool()> preflight{};
        std::stop_token stop{};
    };

    // `baseURL` is the relay service's root; `presets` is the persisted preset selection, whose
    // stale snapshot a preset refused for the plan clears.
    CorvaneResponses(HttpClient& http, const Url& baseURL, PresetSelection& presets,
                     RefreshedCredentials refreshedCredentials);

    std::optional<std::string> complete(const Request& request) const noexcept;

    // The application's refresh: the shared token refresh, then the credentials of the
    // authentication mode it leaves behind (the access token is not carried).
    static RefreshedCredentials refreshingThrough(
        std::function<bool(const std::optional<std::string>&)> refreshForRetry,
        std::function<AuthMode()> authModeProvider);

    // The concatenated text parts of the assistant messages in a reply body; empty for any
    // other shape.
    static std::string extractText(std::string_view body);

  private:
    enum class Outcome { text, unauthorized, tierRejected, failed };
    struct Attempt {
        Outcome outcome;
        std::string text;
    };

    std::optional<std::string> run(const Request& request) const;
    Attempt send(const Request& request, const RouteCredentials& credentials,
                 const ModelRoute& route) const;
    static Attempt classify(int status, const ModelRoute& route, std::string_view body);
    static std::string requestBody(const Request& request, const ModelRoute& route);

    HttpClient& http_;
    Url endpoint_;
    PresetSelection& presets_;
    RefreshedCredentials refreshedCredentials_;
    StructuredLogger logger_{"corvane-responses"};
};

}  // namespace vask
