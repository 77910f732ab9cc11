#include "relay/corvane_responses.h"

#include <nlohmann/json.hpp>

#include "foundation/nil_if_empty.h"
#include "platform/text.h"
#include "relay/corvane_billing_service.h"
#include "relay/preset_selection.h"

namespace vask {
namespace {

constexpr std::string_view tierRefusal = "is not allowed for this tier";

std::optional<std::string> present(const std::optional<std::string>& credential) {
    return credential ? nilIfEmpty(*credential) : std::nullopt;
}

std::string routeLabel(const ModelRoute& route) {
    return route.requestedModel().value_or("tier_default");
}

}  // namespace

CorvaneResponses::CorvaneResponses(HttpClient& http, const Url& baseURL, PresetSelection& presets,
                                   RefreshedCredentials refreshedCredentials)
    : http_(http),
      endpoint_(baseURL.appendingPath("api/v1/responses")),
      presets_(presets),
      refreshedCredentials_(std::move(refreshedCredentials)) {}

std::optional<std::string> CorvaneResponses::complete(const Request& request) const noexcept {
    try {
        return run(request);
    } catch (const std::exception& error) {
        // A settings store that cannot be written, or a caller's closure that threw: the call
        // still ends with no text rather than an exception.
        try {
            logger_.error("responses_unexpected_error", {{"error", error.what()}});
        } catch (...) {
        }
        return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<std::string> CorvaneResponses::run(const Request& request) const {
    auto credentials = request.credentials;
    if (!present(credentials.customerToken) && !present(credentials.apiKey)) {
        return std::nullopt;
    }
    const auto utility = presets_.current().utilityResolution();
    const auto policy = present(credentials.customerToken) && utility
                            ? ModelRoutingPolicy::managedPreset(*utility)
                            : ModelRoutingPolicy::production();
    auto route = request.route.value_or(policy.utility);
    if (!present(credentials.customerToken) && route.isTierDefault()) {
        const auto error = ModelRoutingError::explicitModelRequired(ModelRole::utility);
        logger_.error("responses_model_route_invalid", {{"error", error.what()}});
        return std::nullopt;
    }

    // Each recovery is allowed once, which bounds a call at three POSTs.
    bool staleRetrySpent = false;
    bool authRetrySpent = false;
    while (true) {
        if (request.preflight && !request.preflight()) {
            logger_.info("responses_preflight_declined", {{"model", routeLabel(route)}});
            return std::nullopt;
        }
        auto attempt = send(request, credentials, route);
        switch (attempt.outcome) {
            case Outcome::text:
                return std::move(attempt.text);
            case Outcome::failed:
                return std::nullopt;
            case Outcome::tierRejected: {
                if (staleRetrySpent) {
                    return std::nullopt;
                }
                if (const auto* preset = route.asPreset()) {
                    presets_.clearStale(preset->code, preset->snapshotID);
                }
                logger_.warning("responses_stale_preset_cleared", {{"model", routeLabel(route)}});
                route = ModelRoute::tierDefault();
                staleRetrySpent = true;
                break;
            }
            case Outcome::unauthorized: {
                const auto token = present(credentials.customerToken);
                if (authRetrySpent || !token) {
                    return std::nullopt;
                }
                auto refreshed = refreshedCredentials_(token);
                if (!refreshed) {
                    return std::nullopt;
                }
                logger_.info("responses_auth_refreshed_retry", {{"model", routeLabel(route)}});
                credentials = std::move(*refreshed);
                authRetrySpent = true;
                break;
            }
        }
    }
}

CorvaneResponses::Attempt CorvaneResponses::send(const Request& request,
                                                 const RouteCredentials& credentials,
                                                 const ModelRoute& route) const {
    HttpRequest post{"POST", endpoint_, {}, requestBody(request, route), request.timeout};
    post.headers.emplace_back("Content-Type", "application/json");
    post.headers.emplace_back("Accept", "application/json");
    post.headers.emplace_back(relayClientHeader, relayClientName);
    if (const auto token = present(credentials.customerToken)) {
        post.headers.emplace_back("Authorization", "Bearer " + *token);
    } else if (const auto key = present(credentials.apiKey)) {
        post.headers.emplace_back("X-Corvane-Api-Key", *key);
    } else {
        return {Outcome::failed, {}};
    }

    HttpResponse response;
    try {
        response = http_.send(post, request.stop);
    } catch (const HttpClient::Error&) {
        logger_.error("responses_request_failed", {{"model", routeLabel(route)}});
        return {Outcome::failed, {}};
    }
    if (response.status >= 200 && response.status <= 299) {
        auto text = extractText(response.body);
        if (!text.empty()) {
            return {Outcome::text, std::move(text)};
        }
        logger_.warning("responses_empty_output",
                        {{"model", routeLabel(route)},
                         {"max_tokens", std::to_string(request.maxOutputTokens)}});
        return {Outcome::failed, {}};
    }
    logger_.error("responses_http_error",
                  {{"status", std::to_string(response.status)}, {"model", routeLabel(route)}});
    return classify(response.status, route, text::toValidUtf8(response.body));
}

CorvaneResponses::Attempt CorvaneResponses::classify(int status, const ModelRoute& route,
                                                     std::string_view body) {
    if (status == 401) {
        return {Outcome::unauthorized, {}};
    }
    if (status == 403 && route.asPreset() && body.find(tierRefusal) != std::string_view::npos) {
        return {Outcome::tierRejected, {}};
    }
    return {Outcome::failed, {}};
}

std::string CorvaneResponses::requestBody(const Request& request, const ModelRoute& route) {
    nlohmann::json body = {
        {"input",
         {{{"type", "message"},
           {"role", "user"},
           {"content", {{{"type", "text"}, {"text", request.prompt}}}}}}},
        {"max_output_tokens", request.maxOutputTokens},
    };
    if (auto model = route.requestedModel()) {
        body["model"] = std::move(*model);
    }
    if (request.reasoningEffort && !request.reasoningEffort->empty()) {
        body["reasoning_effort"] = *request.reasoningEffort;
    }
    // A prompt cut inside a multi-byte character still goes out, with U+FFFD in its place.
    return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string CorvaneResponses::extractText(std::string_view body) {
    const auto json = nlohmann::json::parse(body, nullptr, false);
    if (!json.is_object()) {
        return {};
    }
    const auto output = json.find("output");
    if (output == json.end() || !output->is_array()) {
        return {};
    }
    const auto isString = [](const nlohmann::json& item, const char* key, std::string_view want) {
        const auto it = item.find(key);
        return it != item.end() && it->is_string() && it->get_ref<const std::string&>() == want;
    };
    std::string text;
    for (const auto& item : *output) {
        if (!item.is_object() || !isString(item, "type", "message") ||
            !isString(item, "role", "assistant")) {
            continue;
        }
        const auto content = item.find("content");
        if (content == item.end() || !content->is_array()) {
            continue;
        }
        for (const auto& part : *content) {
            if (!part.is_object() || !isString(part, "type", "text")) {
                continue;
            }
            if (const auto t = part.find("text"); t != part.end() && t->is_string()) {
                text += t->get_ref<const std::string&>();
            }
        }
    }
    return text;
}

CorvaneResponses::RefreshedCredentials CorvaneResponses::refreshingThrough(
    std::function<bool(const std::optional<std::string>&)> refreshForRetry,
    std::function<AuthMode()> authModeProvider) {
    return [refreshForRetry = std::move(refreshForRetry),
            authModeProvider = std::move(authModeProvider)](
               const std::optional<std::string>& failedToken) -> std::optional<RouteCredentials> {
        if (!refreshForRetry(failedToken)) {
            return std::nullopt;
        }
        const auto mode = authModeProvider();
        if (const auto* key = mode.asAPIKey()) {
            return RouteCredentials{key->key, std::nullopt};
        }
        if (const auto* managed = mode.asManaged()) {
            return RouteCredentials{std::nullopt, managed->customerToken};
        }
        return RouteCredentials{};
    };
}

}  // namespace vask
