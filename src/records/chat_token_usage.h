#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/error.h"
#include "platform/json_value.h"

namespace vask {

// The raw usage metrics of one role as the helper reported them at the end of a run.
struct RLMTokenUsage {
    JSONValue::Object metrics;

    // True when one of the token counters holds a whole, non-negative number below 2^63.
    bool hasObservedCounters() const;

    bool operator==(const RLMTokenUsage&) const = default;
};

// Usage of one role (root or sub-call). An unknown count is absent, never 0.
struct TokenUsageBreakdown {
    std::optional<std::int64_t> inputTokens;
    std::optional<std::int64_t> outputTokens;
    std::optional<std::int64_t> totalTokens;
    std::optional<std::int64_t> cacheReadTokens;
    std::optional<std::int64_t> cacheCreationTokens;
    std::optional<std::int64_t> reasoningTokens;
    std::optional<std::int64_t> requests;
    std::optional<std::int64_t> successes;
    std::optional<bool> complete;

    using Field = std::optional<std::int64_t> TokenUsageBreakdown::*;

    // Active: at least one of the six token counters is present.
    bool isActive() const;

    // From terminal metrics; every field absent for absent metrics. Never fails.
    static TokenUsageBreakdown terminal(const std::optional<RLMTokenUsage>& usage);
    // From the "root" or "subcall" object of a live usage event; nothing when it breaks a rule.
    static std::optional<TokenUsageBreakdown> traceObject(const nlohmann::json& object);
    // The same role summed over several runs: only active breakdowns count.
    static TokenUsageBreakdown summed(const std::vector<TokenUsageBreakdown>& breakdowns);
    // Each field from `terminal` when that is active and has it, else from `live`.
    static TokenUsageBreakdown merged(const TokenUsageBreakdown& live,
                                      const TokenUsageBreakdown& terminal);

    bool operator==(const TokenUsageBreakdown&) const = default;
};

// Token usage of a chat turn (or of one run), as stored with the chat message.
struct ChatTokenUsage {
    enum class Kind { resolved, partial };

    class DecodeError : public Error {
      public:
        using Error::Error;
    };

    Kind kind = Kind::partial;
    TokenUsageBreakdown root;
    TokenUsageBreakdown subcall;
    std::optional<std::int64_t> unattributedTokens;
    std::optional<std::int64_t> totalTokens;

    // Nothing when neither role reports a token counter.
    static std::optional<ChatTokenUsage> terminal(const std::optional<RLMTokenUsage>& rootUsage,
                                                  const std::optional<RLMTokenUsage>& subcallUsage);
    static ChatTokenUsage aggregating(const std::vector<ChatTokenUsage>& usages);
    // The usage shown while a run goes on: each role's live counters merged with what the run
    // settled at its end, and the tokens not attributed to a role.
    static ChatTokenUsage live(const TokenUsageBreakdown& liveRoot,
                               const TokenUsageBreakdown& liveSubcall,
                               std::int64_t unattributedTokens, const ChatTokenUsage& terminal);

    // The selected field summed over the active roles (0 with none active); absent when an
    // active role lacks it.
    std::optional<std::int64_t> summedRoleCategory(TokenUsageBreakdown::Field field) const;

    // `resolved` when every active breakdown is complete; `partial` with none active.
    static Kind kindFor(const std::vector<TokenUsageBreakdown>& breakdowns);

    static std::string kindText(Kind kind);
    static std::optional<Kind> kindFromText(std::string_view text);

    bool operator==(const ChatTokenUsage&) const = default;
};

// The persisted camelCase form; absent fields are left out. from_json throws
// ChatTokenUsage::DecodeError for a missing or unknown "kind" or a missing role.
void to_json(nlohmann::json& json, const TokenUsageBreakdown& breakdown);
void from_json(const nlohmann::json& json, TokenUsageBreakdown& breakdown);
void to_json(nlohmann::json& json, const ChatTokenUsage& usage);
void from_json(const nlohmann::json& json, ChatTokenUsage& usage);

// Sums used across breakdowns: absent when any element is absent or the sum overflows.
// sumIfComplete is also absent for an empty list; safeSumIfComplete gives 0 there.
std::optional<std::int64_t> sumIfComplete(const std::vector<std::optional<std::int64_t>>& values);
std::optional<std::int64_t> safeSumIfComplete(
    const std::vector<std::optional<std::int64_t>>& values);

}  // namespace vask
