#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "records/chat_token_usage.h"

namespace vask {

enum class RLMUsageBoundary { root, subcall };

// One accepted "usage_progress" event: the live usage of one run at one sequence number.
struct RLMUsageSnapshot {
    std::string runID;
    std::int64_t sequence = 1;
    RLMUsageBoundary boundary = RLMUsageBoundary::root;
    ChatTokenUsage::Kind kind = ChatTokenUsage::Kind::partial;
    TokenUsageBreakdown root;
    TokenUsageBreakdown subcall;
    std::int64_t unattributedTokens = 0;
    std::int64_t totalTokens = 0;

    // Nothing unless the event is a well-formed, self-consistent version 6 "usage_progress".
    static std::optional<RLMUsageSnapshot> traceObject(const nlohmann::json& object);

    bool operator==(const RLMUsageSnapshot&) const = default;
};

}  // namespace vask
