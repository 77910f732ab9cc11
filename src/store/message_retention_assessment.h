#pragma once

#include <optional>

namespace vask {

// How long the Messages app keeps history, and how that was learnt.
struct MessageRetentionAssessment {
    enum class Policy { thirtyDays = 30, oneYear = 365 };
    enum class Evidence { preference, oldestMessage };

    // Nothing for any raw value but 30 and 365.
    static std::optional<Policy> policyFromRawValue(int rawValue) noexcept;

    Policy policy;
    Evidence evidence;

    bool operator==(const MessageRetentionAssessment&) const = default;
};

}  // namespace vask
