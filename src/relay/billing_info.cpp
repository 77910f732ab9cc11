#include "relay/billing_info.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

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

namespace {

// "/month", "/year" or nothing.
std::string intervalSuffix(const std::optional<std::string>& interval) {
    if (interval == "month") {
        return "/month";
    }
    if (interval == "year") {
        return "/year";
    }
    return {};
}

// The amount's exact decimal digits, "-2.50" for -250 cents: integer digits only, never a
// conversion of a fraction.
std::string decimalOfCents(std::int64_t cents) {
    const std::uint64_t magnitude =
        cents < 0 ? 0 - static_cast<std::uint64_t>(cents) : static_cast<std::uint64_t>(cents);
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, magnitude / 100).ptr;
    const auto remainder = static_cast<char>(magnitude % 100);
    std::string decimal = cents < 0 ? "-" : "";
    decimal.append(digits, end);
    decimal += '.';
    decimal += static_cast<char>('0' + remainder / 10);
    decimal += static_cast<char>('0' + remainder % 10);
    return decimal;
}

}  // namespace

std::optional<std::string> ManagedBillingInfo::priceDisplay(const std::string& locale) const {
    // The C locale names no language (ICU would read it as en_US_POSIX, "$ 9.99").
    if (!priceAmountCents || locale.empty() || locale == "C" || locale == "POSIX") {
        return priceDisplay();
    }
    // Dollars, written the way the user's language writes amounts, as the dates beside it are.
    if (auto amount = text::currencyText(decimalOfCents(*priceAmountCents), "USD", locale)) {
        return *amount + intervalSuffix(priceInterval);
    }
    return priceDisplay();
}

std::optional<std::string> ManagedBillingInfo::priceDisplay() const {
    if (!priceAmountCents) {
        return std::nullopt;
    }
    // Dollars and cents always, whatever numeric locale the process runs under.
    return "$" + decimalOfCents(*priceAmountCents) + intervalSuffix(priceInterval);
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
