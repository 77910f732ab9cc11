#include "engine/rlm_usage_observability.h"

#include "platform/exact_int64.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "platform/text.h"

namespace vask {

namespace {

constexpr std::string_view unavailable = "unavailable";

bool isLabelCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("-._:/+").find(c) != std::string_view::npos;
}

bool isContentHash(const std::optional<std::string>& value) {
    if (!value || value->size() != 64) {
        return false;
    }
    for (const char c : *value) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

std::string labelOrUnavailable(const std::optional<std::string>& text) {
    if (!text) {
        return std::string(unavailable);
    }
    return RLMUsageObservability::validLabel(*text).value_or(std::string(unavailable));
}

std::string counter(const std::optional<RLMTokenUsage>& usage, const char* key) {
    if (!usage) {
        return std::string(unavailable);
    }
    const auto found = usage->metrics.find(key);
    if (found == usage->metrics.end()) {
        return std::string(unavailable);
    }
    const double* number = found->second.asNumber();
    const auto count = number ? exactInt64(*number) : std::nullopt;
    if (!count || *count < 0) {
        return std::string(unavailable);
    }
    return std::to_string(*count);
}

}  // namespace

std::string_view rawValue(AuthType type) {
    return type == AuthType::customerToken ? "customer_token" : "api_key";
}

std::string_view rawValue(RLMRunOutcome outcome) {
    switch (outcome) {
        case RLMRunOutcome::success:
            return "success";
        case RLMRunOutcome::extracted:
            return "extracted";
        case RLMRunOutcome::recovered:
            return "recovered";
        case RLMRunOutcome::extractFailed:
            return "extract_failed";
        case RLMRunOutcome::hostError:
            return "host_error";
        case RLMRunOutcome::evidenceRejected:
            return "evidence_rejected";
        case RLMRunOutcome::emptyOutput:
            return "empty_output";
        case RLMRunOutcome::decodeFailure:
            return "decode_failure";
    }
    return "success";
}

RLMPromptPackObservability RLMPromptPackObservability::fromJson(
    const nlohmann::json& json) noexcept {
    RLMPromptPackObservability pack;
    if (!json.is_object()) {
        return pack;
    }
    const auto field = [&](const char* key) -> std::optional<std::string> {
        const auto found = json.find(key);
        if (found == json.end() || !found->is_string()) {
            return std::nullopt;
        }
        return found->get<std::string>();
    };
    pack.id = field("id");
    pack.revision = field("revision");
    pack.profile = field("profile");
    pack.contentSHA256 = field("content_sha256");
    return pack;
}

namespace RLMUsageObservability {

std::string bundleValue(const std::optional<std::string>& value) {
    if (!value || text::trimmed(*value).empty()) {
        return std::string(unavailable);
    }
    return *value;
}

std::optional<std::string> validLabel(std::string_view raw) {
    const auto label = text::trimmed(raw);
    if (label.empty() || label.size() > 128) {
        return std::nullopt;
    }
    for (const char c : label) {
        if (!isLabelCharacter(c)) {
            return std::nullopt;
        }
    }
    return std::string(label);
}

std::string selectedPreset(const ModelRoute& root, const ModelRoute& subcall) {
    if (root.isTierDefault() && subcall.isTierDefault()) {
        return "tier_default";
    }
    const auto* rootPreset = root.asPreset();
    const auto* subcallPreset = subcall.asPreset();
    if (rootPreset == nullptr || subcallPreset == nullptr ||
        text::toLower(rootPreset->code) != text::toLower(subcallPreset->code)) {
        return "not_applicable";
    }
    return validLabel(text::toLower(rootPreset->code)).value_or(std::string(unavailable));
}

std::string routingMode(const ModelRoute& root, const ModelRoute& subcall, AuthType authType) {
    if (authType == AuthType::apiKey) {
        return root.asExplicit() != nullptr && subcall.asExplicit() != nullptr
                   ? "developer_explicit"
                   : "developer_unattributed";
    }
    const auto preset = selectedPreset(root, subcall);
    if (preset == "tier_default") {
        return "managed_tier_default";
    }
    if (preset == "not_applicable" || preset == unavailable) {
        return "managed_unattributed";
    }
    return "managed_preset";
}

void add(std::string_view role, const std::optional<RLMTokenUsage>& usage, Metadata& metadata) {
    const std::string prefix(role);
    metadata[prefix + "_usage_available"] =
        usage && usage->hasObservedCounters() ? "true" : "false";
    metadata[prefix + "_input_tokens"] = counter(usage, "input_tokens");
    metadata[prefix + "_output_tokens"] = counter(usage, "output_tokens");
    metadata[prefix + "_total_tokens"] = counter(usage, "total_tokens");
    metadata[prefix + "_cache_read_input_tokens"] = counter(usage, "cache_read_tokens");
    metadata[prefix + "_cache_write_input_tokens"] = counter(usage, "cache_creation_tokens");
}

Metadata metadata(const RLMUsageObservabilityContext& context,
                  const std::optional<RLMPromptPackObservability>& promptPack,
                  const std::optional<RLMTokenUsage>& rootUsage,
                  const std::optional<RLMTokenUsage>& subcallUsage, RLMRunOutcome outcome) {
    const RLMPromptPackObservability pack = promptPack.value_or(RLMPromptPackObservability{});
    std::optional<std::string> profile =
        pack.profile ? validLabel(*pack.profile) : std::optional<std::string>();
    Metadata out{
        {"event_schema_version", "1"},
        {"app_version", labelOrUnavailable(context.appVersion)},
        {"app_build", labelOrUnavailable(context.appBuild)},
        {"selected_preset", labelOrUnavailable(context.selectedPreset)},
        {"routing_mode", labelOrUnavailable(context.routingMode)},
        {"prompt_pack_id", labelOrUnavailable(pack.id)},
        {"prompt_profile", profile ? *profile : labelOrUnavailable(context.requestedPromptProfile)},
        {"prompt_revision", labelOrUnavailable(pack.revision)},
        {"prompt_content_sha256",
         isContentHash(pack.contentSHA256) ? *pack.contentSHA256 : std::string(unavailable)},
        {"run_context", labelOrUnavailable(context.runContext)},
        {"run_outcome", std::string(rawValue(outcome))},
        {"auth_type", labelOrUnavailable(context.authType)},
    };
    add("root", rootUsage, out);
    add("subcall", subcallUsage, out);
    return out;
}

}  // namespace RLMUsageObservability

}  // namespace vask
