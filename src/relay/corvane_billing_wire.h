#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "relay/json_reader.h"
#include "relay/model_preset.h"

namespace vask::CorvaneBillingWire {

// Reply of customers/me/models: {"models": {"presets": [...]}}, each preset mapped into the
// stored model in the relay's order. A preset without "description" gets an empty one.
struct ModelsEnvelope {
    ModelPresetCatalog catalog;
    static ModelsEnvelope decode(const JsonReader& reader);
};

// Reply of account/balance, no envelope.
struct AccountBalance {
    std::int64_t balanceCents = 0;
    std::string balanceFormatted;
    std::string currency;
    std::int64_t lowBalanceThresholdCents = 0;
    static AccountBalance decode(const JsonReader& reader);
};

// Reply of customers/me/subscription: {"subscription": {...}}.
struct SubscriptionEnvelope {
    std::string tierCode;
    std::string tierDisplayName;
    std::optional<std::int64_t> priceAmountCents;
    std::optional<std::string> priceInterval;
    std::optional<Clock::WallTime> currentPeriodEnd;
    static SubscriptionEnvelope decode(const JsonReader& reader);
};

// Reply of customers/me/usage: {"usage": {...}}.
struct UsageEnvelope {
    std::int64_t requests = 0;
    std::int64_t tokens = 0;
    std::int64_t totalCostMicrocents = 0;
    std::optional<std::int64_t> spendLimitCents;
    std::optional<std::int64_t> spendRemainingMicrocents;
    std::optional<double> percentageUsed;
    std::optional<bool> low;
    std::optional<Clock::WallTime> windowEnd;
    static UsageEnvelope decode(const JsonReader& reader);
};

}  // namespace vask::CorvaneBillingWire
