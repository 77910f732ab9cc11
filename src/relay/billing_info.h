#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "platform/clock.h"

namespace vask {

// A signed-in account's plan and usage window. Money in cents, cost in microcents.
struct ManagedBillingInfo {
    std::string tierCode;
    std::string tierDisplayName;
    std::optional<std::int64_t> priceAmountCents;
    std::optional<std::string> priceInterval;
    std::optional<Clock::WallTime> currentPeriodEnd;
    std::optional<std::int64_t> spendLimitCents;
    std::optional<std::int64_t> spendRemainingMicrocents;
    std::int64_t totalCostMicrocents = 0;
    std::optional<double> percentageUsed;
    bool isLow = false;
    std::optional<Clock::WallTime> windowEnd;
    std::int64_t requests = 0;

    bool operator==(const ManagedBillingInfo&) const = default;

    // "Vask" for a blank name; names that already start with the product word stay as they are.
    std::string planDisplayName() const;
    // "$19.99/month", "$19.99/year" or "$19.99"; nothing without a price.
    std::optional<std::string> priceDisplay() const;
    // The price as `locale` writes amounts (an ICU locale id such as "de_DE": "9,99 $/month");
    // the fixed form above for an empty one.
    std::optional<std::string> priceDisplay(const std::string& locale) const;
    // 0 to 100, rounded half away from zero.
    int usagePercentDisplay() const;
};

// A developer account's prepaid balance.
struct DeveloperBillingInfo {
    std::int64_t balanceCents = 0;
    std::string balanceFormatted;
    std::string currency;
    std::int64_t lowBalanceThresholdCents = 0;

    bool operator==(const DeveloperBillingInfo&) const = default;
};

using BillingInfo = std::variant<ManagedBillingInfo, DeveloperBillingInfo>;

}  // namespace vask
