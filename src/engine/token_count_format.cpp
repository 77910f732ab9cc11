#include "engine/token_count_format.h"

#include <unicode/locid.h>
#include <unicode/numberformatter.h>

namespace vask::TokenCountFormat {
namespace {

icu::Locale localeFor(std::string_view id) {
    return id.empty() ? icu::Locale::getDefault() : icu::Locale(std::string(id).c_str());
}

std::string toUtf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

}  // namespace

std::string exact(std::int64_t count, std::string_view locale) {
    UErrorCode status = U_ZERO_ERROR;
    const auto formatted = icu::number::NumberFormatter::withLocale(localeFor(locale))
                               .grouping(UNUM_GROUPING_AUTO)
                               .formatInt(count, status)
                               .toString(status);
    // ICU fails only on resource exhaustion; plain digits still say the right thing.
    return U_SUCCESS(status) ? toUtf8(formatted) : std::to_string(count);
}

std::string compact(std::int64_t count, std::string_view locale) {
    if (count < 1000) {
        return exact(count, locale);
    }
    const bool millions = count >= 999950;
    const double quotient = static_cast<double>(count) / (millions ? 1000000.0 : 1000.0);
    UErrorCode status = U_ZERO_ERROR;
    const auto formatted = icu::number::NumberFormatter::withLocale(localeFor(locale))
                               .grouping(UNUM_GROUPING_AUTO)
                               .precision(icu::number::Precision::minMaxFraction(0, 1))
                               .roundingMode(UNUM_ROUND_HALFEVEN)
                               .formatDouble(quotient, status)
                               .toString(status);
    const std::string number =
        U_SUCCESS(status) ? toUtf8(formatted) : std::to_string(static_cast<std::int64_t>(quotient));
    return number + (millions ? "m" : "k");
}

}  // namespace vask::TokenCountFormat
