#include "records/chat_token_usage.h"

#include <array>
#include <cmath>
#include <set>

#include <nlohmann/json.hpp>

#include "records/trace_object.h"

namespace vask {
namespace {

constexpr std::array<std::string_view, 6> kCounterKeys = {
    "input_tokens",      "output_tokens",         "total_tokens",
    "cache_read_tokens", "cache_creation_tokens", "reasoning_tokens"};

constexpr std::array<TokenUsageBreakdown::Field, 8> kCountFields = {
    &TokenUsageBreakdown::inputTokens,
    &TokenUsageBreakdown::outputTokens,
    &TokenUsageBreakdown::totalTokens,
    &TokenUsageBreakdown::cacheReadTokens,
    &TokenUsageBreakdown::cacheCreationTokens,
    &TokenUsageBreakdown::reasoningTokens,
    &TokenUsageBreakdown::requests,
    &TokenUsageBreakdown::successes};

// Whole, non-negative and below 2^63; anything else is an unknown count.
std::optional<std::int64_t> metricCount(const JSONValue::Object& metrics, const std::string& key) {
    const auto it = metrics.find(key);
    if (it == metrics.end()) {
        return std::nullopt;
    }
    const double* number = it->second.asNumber();
    if (number == nullptr || !std::isfinite(*number) || std::nearbyint(*number) != *number ||
        *number < 0 || *number >= 9223372036854775808.0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(*number);
}

std::optional<std::int64_t> addChecked(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return std::nullopt;
    }
    return sum;
}

}  // namespace

std::optional<std::int64_t> sumIfComplete(const std::vector<std::optional<std::int64_t>>& values) {
    if (values.empty()) {
        return std::nullopt;
    }
    return safeSumIfComplete(values);
}

std::optional<std::int64_t> safeSumIfComplete(
    const std::vector<std::optional<std::int64_t>>& values) {
    std::int64_t total = 0;
    for (const auto& value : values) {
        if (!value) {
            return std::nullopt;
        }
        const auto sum = addChecked(total, *value);
        if (!sum) {
            return std::nullopt;
        }
        total = *sum;
    }
    return total;
}

bool RLMTokenUsage::hasObservedCounters() const {
    for (const auto key : kCounterKeys) {
        if (metricCount(metrics, std::string(key))) {
            return true;
        }
    }
    return false;
}

bool TokenUsageBreakdown::isActive() const {
    return inputTokens || outputTokens || totalTokens || cacheReadTokens || cacheCreationTokens ||
           reasoningTokens;
}

TokenUsageBreakdown TokenUsageBreakdown::terminal(const std::optional<RLMTokenUsage>& usage) {
    TokenUsageBreakdown result;
    if (!usage) {
        return result;
    }
    const auto& metrics = usage->metrics;
    result.inputTokens = metricCount(metrics, "input_tokens");
    result.outputTokens = metricCount(metrics, "output_tokens");
    result.totalTokens = metricCount(metrics, "total_tokens");
    result.cacheReadTokens = metricCount(metrics, "cache_read_tokens");
    result.cacheCreationTokens = metricCount(metrics, "cache_creation_tokens");
    result.reasoningTokens = metricCount(metrics, "reasoning_tokens");
    result.requests = metricCount(metrics, "requests");
    result.successes = metricCount(metrics, "successes");
    const auto basis = metrics.find("observation_basis");
    if (basis != metrics.end()) {
        if (const auto* text = basis->second.asString()) {
            result.complete = *text == "exact";
        }
    }
    return result;
}

std::optional<TokenUsageBreakdown> TokenUsageBreakdown::traceObject(const nlohmann::json& object) {
    static const std::set<std::string> kKeys = {
        "input_tokens",          "output_tokens", "total_tokens", "cache_read_tokens",
        "cache_creation_tokens", "requests",      "successes",    "complete"};
    if (!object.is_object() || object.size() != kKeys.size()) {
        return std::nullopt;
    }
    for (const auto& [key, value] : object.items()) {
        if (!kKeys.contains(key)) {
            return std::nullopt;
        }
    }
    TokenUsageBreakdown result;
    result.inputTokens = trace::nonnegativeInteger(object, "input_tokens");
    result.outputTokens = trace::nonnegativeInteger(object, "output_tokens");
    result.totalTokens = trace::nonnegativeInteger(object, "total_tokens");
    result.cacheReadTokens = trace::nonnegativeInteger(object, "cache_read_tokens");
    result.cacheCreationTokens = trace::nonnegativeInteger(object, "cache_creation_tokens");
    result.requests = trace::nonnegativeInteger(object, "requests");
    result.successes = trace::nonnegativeInteger(object, "successes");
    if (!result.inputTokens || !result.outputTokens || !result.totalTokens ||
        !result.cacheReadTokens || !result.cacheCreationTokens || !result.requests ||
        !result.successes) {
        return std::nullopt;
    }
    if (*result.successes > *result.requests) {
        return std::nullopt;
    }
    const auto& complete = object.at("complete");
    if (!complete.is_boolean()) {
        return std::nullopt;
    }
    result.complete = complete.get<bool>();
    if (*result.complete) {
        const auto cached = addChecked(*result.cacheReadTokens, *result.cacheCreationTokens);
        if (!cached || *cached > *result.inputTokens) {
            return std::nullopt;
        }
    }
    return result;
}

TokenUsageBreakdown TokenUsageBreakdown::summed(
    const std::vector<TokenUsageBreakdown>& breakdowns) {
    std::vector<const TokenUsageBreakdown*> kept;
    for (const auto& breakdown : breakdowns) {
        if (breakdown.isActive()) {
            kept.push_back(&breakdown);
        }
    }
    TokenUsageBreakdown result;
    for (const auto field : kCountFields) {
        std::vector<std::optional<std::int64_t>> values;
        values.reserve(kept.size());
        for (const auto* breakdown : kept) {
            values.push_back(breakdown->*field);
        }
        result.*field = sumIfComplete(values);
    }
    if (!kept.empty()) {
        bool allComplete = true;
        for (const auto* breakdown : kept) {
            allComplete = allComplete && breakdown->complete == true;
        }
        result.complete = allComplete;
    }
    return result;
}

TokenUsageBreakdown TokenUsageBreakdown::merged(const TokenUsageBreakdown& live,
                                                const TokenUsageBreakdown& terminal) {
    if (!terminal.isActive()) {
        return live;
    }
    TokenUsageBreakdown result;
    for (const auto field : kCountFields) {
        result.*field = (terminal.*field) ? terminal.*field : live.*field;
    }
    result.complete = terminal.complete ? terminal.complete : live.complete;
    return result;
}

ChatTokenUsage::Kind ChatTokenUsage::kindFor(const std::vector<TokenUsageBreakdown>& breakdowns) {
    bool anyActive = false;
    for (const auto& breakdown : breakdowns) {
        if (!breakdown.isActive()) {
            continue;
        }
        anyActive = true;
        if (breakdown.complete != true) {
            return Kind::partial;
        }
    }
    return anyActive ? Kind::resolved : Kind::partial;
}

std::optional<ChatTokenUsage> ChatTokenUsage::terminal(
    const std::optional<RLMTokenUsage>& rootUsage,
    const std::optional<RLMTokenUsage>& subcallUsage) {
    ChatTokenUsage usage;
    usage.root = TokenUsageBreakdown::terminal(rootUsage);
    usage.subcall = TokenUsageBreakdown::terminal(subcallUsage);
    if (!usage.root.isActive() && !usage.subcall.isActive()) {
        return std::nullopt;
    }
    std::vector<std::optional<std::int64_t>> totals;
    for (const auto* breakdown : {&usage.root, &usage.subcall}) {
        if (breakdown->isActive()) {
            totals.push_back(breakdown->totalTokens);
        }
    }
    usage.totalTokens = sumIfComplete(totals);
    usage.unattributedTokens = 0;
    usage.kind = kindFor({usage.root, usage.subcall});
    return usage;
}

ChatTokenUsage ChatTokenUsage::aggregating(const std::vector<ChatTokenUsage>& usages) {
    std::vector<TokenUsageBreakdown> roots;
    std::vector<TokenUsageBreakdown> subcalls;
    std::vector<std::optional<std::int64_t>> unattributed;
    std::vector<std::optional<std::int64_t>> totals;
    ChatTokenUsage result;
    result.kind = Kind::resolved;
    for (const auto& usage : usages) {
        roots.push_back(usage.root);
        subcalls.push_back(usage.subcall);
        unattributed.push_back(usage.unattributedTokens);
        totals.push_back(usage.totalTokens);
        if (usage.kind == Kind::partial) {
            result.kind = Kind::partial;
        }
    }
    result.root = TokenUsageBreakdown::summed(roots);
    result.subcall = TokenUsageBreakdown::summed(subcalls);
    result.unattributedTokens = safeSumIfComplete(unattributed);
    result.totalTokens = safeSumIfComplete(totals);
    return result;
}

ChatTokenUsage ChatTokenUsage::live(const TokenUsageBreakdown& liveRoot,
                                    const TokenUsageBreakdown& liveSubcall,
                                    std::int64_t unattributedTokens,
                                    const ChatTokenUsage& terminal) {
    ChatTokenUsage result;
    result.root = TokenUsageBreakdown::merged(liveRoot, terminal.root);
    result.subcall = TokenUsageBreakdown::merged(liveSubcall, terminal.subcall);
    result.unattributedTokens = unattributedTokens;
    const auto roles =
        addChecked(result.root.totalTokens.value_or(0), result.subcall.totalTokens.value_or(0));
    result.totalTokens = roles ? addChecked(*roles, unattributedTokens) : std::nullopt;
    result.kind = kindFor({result.root, result.subcall});
    return result;
}

std::optional<std::int64_t> ChatTokenUsage::summedRoleCategory(
    TokenUsageBreakdown::Field field) const {
    std::vector<std::optional<std::int64_t>> values;
    for (const auto* breakdown : {&root, &subcall}) {
        if (breakdown->isActive()) {
            values.push_back(breakdown->*field);
        }
    }
    return safeSumIfComplete(values);
}

std::string ChatTokenUsage::kindText(Kind kind) {
    return kind == Kind::resolved ? "resolved" : "partial";
}

std::optional<ChatTokenUsage::Kind> ChatTokenUsage::kindFromText(std::string_view text) {
    if (text == "resolved") {
        return Kind::resolved;
    }
    if (text == "partial") {
        return Kind::partial;
    }
    return std::nullopt;
}

namespace {

constexpr std::array<std::pair<std::string_view, TokenUsageBreakdown::Field>, 8> kJsonFields = {{
    {"inputTokens", &TokenUsageBreakdown::inputTokens},
    {"outputTokens", &TokenUsageBreakdown::outputTokens},
    {"totalTokens", &TokenUsageBreakdown::totalTokens},
    {"cacheReadTokens", &TokenUsageBreakdown::cacheReadTokens},
    {"cacheCreationTokens", &TokenUsageBreakdown::cacheCreationTokens},
    {"reasoningTokens", &TokenUsageBreakdown::reasoningTokens},
    {"requests", &TokenUsageBreakdown::requests},
    {"successes", &TokenUsageBreakdown::successes},
}};

std::optional<std::int64_t> optionalInteger(const nlohmann::json& json, std::string_view key) {
    const auto it = json.find(key);
    if (it == json.end() || it->is_null()) {
        return std::nullopt;
    }
    const auto value = trace::integer(json, key);
    if (!value) {
        throw ChatTokenUsage::DecodeError("token usage: \"" + std::string(key) +
                                          "\" must be a whole number");
    }
    return value;
}

}  // namespace

void to_json(nlohmann::json& json, const TokenUsageBreakdown& breakdown) {
    json = nlohmann::json::object();
    for (const auto& [key, field] : kJsonFields) {
        if (breakdown.*field) {
            json[std::string(key)] = *(breakdown.*field);
        }
    }
    if (breakdown.complete) {
        json["complete"] = *breakdown.complete;
    }
}

void from_json(const nlohmann::json& json, TokenUsageBreakdown& breakdown) {
    if (!json.is_object()) {
        throw ChatTokenUsage::DecodeError("token usage: a role must be an object");
    }
    breakdown = {};
    for (const auto& [key, field] : kJsonFields) {
        breakdown.*field = optionalInteger(json, key);
    }
    const auto complete = json.find("complete");
    if (complete != json.end() && !complete->is_null()) {
        if (!complete->is_boolean()) {
            throw ChatTokenUsage::DecodeError("token usage: \"complete\" must be a Boolean");
        }
        breakdown.complete = complete->get<bool>();
    }
}

void to_json(nlohmann::json& json, const ChatTokenUsage& usage) {
    json = nlohmann::json::object();
    json["kind"] = ChatTokenUsage::kindText(usage.kind);
    json["root"] = usage.root;
    json["subcall"] = usage.subcall;
    if (usage.unattributedTokens) {
        json["unattributedTokens"] = *usage.unattributedTokens;
    }
    if (usage.totalTokens) {
        json["totalTokens"] = *usage.totalTokens;
    }
}

void from_json(const nlohmann::json& json, ChatTokenUsage& usage) {
    if (!json.is_object()) {
        throw ChatTokenUsage::DecodeError("token usage must be an object");
    }
    const auto* kindText = trace::string(json, "kind");
    const auto kind = kindText ? ChatTokenUsage::kindFromText(*kindText) : std::nullopt;
    if (!kind) {
        throw ChatTokenUsage::DecodeError(R"(token usage: "kind" must be "resolved" or "partial")");
    }
    for (const char* role : {"root", "subcall"}) {
        if (!json.contains(role) || json.at(role).is_null()) {
            throw ChatTokenUsage::DecodeError(std::string("token usage: \"") + role +
                                              "\" is missing");
        }
    }
    usage.kind = *kind;
    usage.root = json.at("root").get<TokenUsageBreakdown>();
    usage.subcall = json.at("subcall").get<TokenUsageBreakdown>();
    usage.unattributedTokens = optionalInteger(json, "unattributedTokens");
    usage.totalTokens = optionalInteger(json, "totalTokens");
}

}  // namespace vask
