#include "relay/billing_info.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/text.h"

namespace vask {

std::string ManagedBillingInfo::planDisplayName() const {
    // Only blanks and tabs are trimmed: the relay's names never carry other padding.
    const auto first = tierDisplayName.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "Vask";
    }
    const auto last = tierDisplayName.find_last_not_of(" \t");
    auto name = tierDisplayName.substr(first, last - first + 1);
    if (text::toLower(name).starts_with("vask")) {
        return name;
    }
    return "Vask " + name;
}

std::optional<std::string> ManagedBillingInfo::priceDisplay() const {
    if (!priceAmountCents) {
        return std::nullopt;
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "$%.2f", static_cast<double>(*priceAmountCents) / 100.0);
    std::string display = buffer;
    if (priceInterval == "month") {
        display += "/month";
    } else if (priceInterval == "year") {
        display += "/year";
    }
    return display;
}

int ManagedBillingInfo::usagePercentDisplay() const {
    if (!percentageUsed) {
        return 0;
    }
    const double fraction = *percentageUsed / 100.0;
    // NaN fails every comparison; it shows as nothing used rather than as garbage.
    if (!(fraction > 0)) {
        return 0;
    }
    return static_cast<int>(std::round(std::min(fraction, 1.0) * 100.0));
}

}  // namespace vask
