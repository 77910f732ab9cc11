#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "records/chat_token_usage.h"
#include "relay/model_routing_policy.h"

namespace vask {

enum class AuthType { customerToken, apiKey };

// "customer_token" or "api_key".
std::string_view rawValue(AuthType type);

// What is known of a helper run before it starts; the chat turn builds it afresh for each run.
struct RLMUsageObservabilityContext {
    std::string appVersion;
    std::string appBuild;
    std::string selectedPreset;
    std::string routingMode;
    std::string requestedPromptProfile;
    std::string runContext;
    std::string authType;

    bool operator==(const RLMUsageObservabilityContext&) const = default;
};

// The prompt pack the helper says it used. Read leniently: a field that is not a string is absent.
struct RLMPromptPackObservability {
    std::optional<std::string> id;
    std::optional<std::string> revision;
    std::optional<std::string> profile;
    std::optional<std::string> contentSHA256;

    static RLMPromptPackObservability fromJson(const nlohmann::json& json) noexcept;

    bool operator==(const RLMPromptPackObservability&) const = default;
};

enum class RLMRunOutcome {
    success,
    extracted,
    recovered,
    extractFailed,
    hostError,
    evidenceRejected,
    emptyOutput,
    decodeFailure,
};

std::string_view rawValue(RLMRunOutcome outcome);

// The metadata of the one "rlm_token_usage" event of a decoded helper run: only labels, decimal
// integers and fixed words, always the same 24 keys.
namespace RLMUsageObservability {

using Metadata = std::map<std::string, std::string>;

// The value as given, or "unavailable" when it is missing or blank.
std::string bundleValue(const std::optional<std::string>& value);
// The trimmed text when it is 1 to 128 bytes of ASCII letters, digits and "-._:/+".
std::optional<std::string> validLabel(std::string_view text);
std::string selectedPreset(const ModelRoute& root, const ModelRoute& subcall);
std::string routingMode(const ModelRoute& root, const ModelRoute& subcall, AuthType authType);
void add(std::string_view role, const std::optional<RLMTokenUsage>& usage, Metadata& metadata);
Metadata metadata(const RLMUsageObservabilityContext& context,
                  const std::optional<RLMPromptPackObservability>& promptPack,
                  const std::optional<RLMTokenUsage>& rootUsage,
                  const std::optional<RLMTokenUsage>& subcallUsage, RLMRunOutcome outcome);

}  // namespace RLMUsageObservability

}  // namespace vask
