#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/rlm_usage_snapshot.h"
#include "records/chat_token_usage.h"

namespace vask {

// Merges the live snapshots and the terminal usage of every run of one chat turn. Shared between
// the event reader (record) and the turn's task (settled, usage); each call is atomic.
class RLMUsageAccumulator {
  public:
    // The turn's aggregate after taking `snapshot` in; a stale or repeated sequence is dropped.
    ChatTokenUsage record(const RLMUsageSnapshot& snapshot);
    // Files the terminal usage of the run that just ended and returns the turn's aggregate. A run
    // is known by the snapshots recorded since the previous settlement; one that sent none is
    // filed on its own, never over an earlier run's settlement.
    std::optional<ChatTokenUsage> settled(const std::optional<RLMTokenUsage>& rootUsage,
                                          const std::optional<RLMTokenUsage>& subcallUsage);
    std::optional<ChatTokenUsage> usage() const;

  private:
    ChatTokenUsage aggregateLocked() const;

    mutable std::mutex mutex_;
    std::map<std::string, RLMUsageSnapshot> snapshotsByRunID_;
    std::map<std::string, ChatTokenUsage> settlementsByRunID_;
    std::vector<ChatTokenUsage> unscopedSettlements_;
    // The run of the latest snapshot recorded since the last settlement.
    std::optional<std::string> unsettledRunID_;
};

// What the chat view shows of the running turn's usage.
struct RLMUsageDisclosure {
    std::string questionID;
    std::string sessionID;
    std::optional<ChatTokenUsage> usage;

    bool operator==(const RLMUsageDisclosure&) const = default;
};

}  // namespace vask
