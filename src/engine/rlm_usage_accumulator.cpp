#include "engine/rlm_usage_accumulator.h"

namespace vask {

ChatTokenUsage RLMUsageAccumulator::record(const RLMUsageSnapshot& snapshot) {
    std::lock_guard lock(mutex_);
    const auto existing = snapshotsByRunID_.find(snapshot.runID);
    if (existing == snapshotsByRunID_.end() || existing->second.sequence < snapshot.sequence) {
        snapshotsByRunID_.insert_or_assign(snapshot.runID, snapshot);
        unsettledRunID_ = snapshot.runID;
    }
    return aggregateLocked();
}

std::optional<ChatTokenUsage> RLMUsageAccumulator::settled(
    const std::optional<RLMTokenUsage>& rootUsage,
    const std::optional<RLMTokenUsage>& subcallUsage) {
    const auto terminal = ChatTokenUsage::terminal(rootUsage, subcallUsage);
    std::lock_guard lock(mutex_);
    if (terminal) {
        if (unsettledRunID_) {
            settlementsByRunID_.insert_or_assign(*unsettledRunID_, *terminal);
        } else {
            unscopedSettlements_.push_back(*terminal);
        }
    }
    unsettledRunID_.reset();
    if (snapshotsByRunID_.empty() && unscopedSettlements_.empty()) {
        return terminal;
    }
    return aggregateLocked();
}

std::optional<ChatTokenUsage> RLMUsageAccumulator::usage() const {
    std::lock_guard lock(mutex_);
    if (snapshotsByRunID_.empty() && unscopedSettlements_.empty()) {
        return std::nullopt;
    }
    return aggregateLocked();
}

ChatTokenUsage RLMUsageAccumulator::aggregateLocked() const {
    std::vector<ChatTokenUsage> usages;
    usages.reserve(snapshotsByRunID_.size() + unscopedSettlements_.size());
    for (const auto& [runID, snapshot] : snapshotsByRunID_) {
        const auto settlement = settlementsByRunID_.find(runID);
        if (settlement != settlementsByRunID_.end()) {
            usages.push_back(ChatTokenUsage::live(snapshot.root, snapshot.subcall,
                                                  snapshot.unattributedTokens, settlement->second));
        } else {
            usages.push_back(ChatTokenUsage{snapshot.kind, snapshot.root, snapshot.subcall,
                                            snapshot.unattributedTokens, snapshot.totalTokens});
        }
    }
    usages.insert(usages.end(), unscopedSettlements_.begin(), unscopedSettlements_.end());
    return ChatTokenUsage::aggregating(usages);
}

}  // namespace vask
