#include "records/record_date.h"

#include <cmath>
#include <cstdint>

namespace vask::record_date {
namespace {

using Nanoseconds = std::chrono::nanoseconds;

constexpr std::int64_t nanosecondsPerSecond = 1'000'000'000;
// 2001-01-01 00:00:00 UTC in seconds since 1970.
constexpr std::int64_t referenceEpochUnixSeconds = 978'307'200;
// About 250 years either way: with the 2001 offset added this still fits 64-bit nanoseconds.
constexpr double largestSeconds = 8.0e9;

Nanoseconds sinceUnixEpoch(RecordDate date) {
    return std::chrono::duration_cast<Nanoseconds>(date.time_since_epoch());
}

// Whole seconds and the nanoseconds past them are converted apart: a double near 10^9 seconds
// cannot hold nanoseconds, but its whole part is exact and the fraction rounds only once.
double seconds(std::int64_t nanoseconds) {
    std::int64_t whole = nanoseconds / nanosecondsPerSecond;
    std::int64_t rest = nanoseconds % nanosecondsPerSecond;
    if (rest < 0) {
        whole -= 1;
        rest += nanosecondsPerSecond;
    }
    return static_cast<double>(whole) +
           static_cast<double>(rest) / static_cast<double>(nanosecondsPerSecond);
}

std::optional<std::int64_t> nanoseconds(double value) {
    if (!std::isfinite(value) || std::fabs(value) > largestSeconds) {
        return std::nullopt;
    }
    const double whole = std::floor(value);
    const double fraction = value - whole;
    return static_cast<std::int64_t>(whole) * nanosecondsPerSecond +
           std::llround(fraction * static_cast<double>(nanosecondsPerSecond));
}

std::optional<RecordDate> dateFromUnixNanoseconds(std::optional<std::int64_t> value) {
    if (!value) {
        return std::nullopt;
    }
    return RecordDate(std::chrono::duration_cast<RecordDate::duration>(Nanoseconds(*value)));
}

}  // namespace

double referenceSeconds(RecordDate date) {
    return seconds(sinceUnixEpoch(date).count() - referenceEpochUnixSeconds * nanosecondsPerSecond);
}

std::optional<RecordDate> fromReferenceSeconds(double value) {
    auto sinceReference = nanoseconds(value);
    if (!sinceReference) {
        return std::nullopt;
    }
    return dateFromUnixNanoseconds(*sinceReference +
                                   referenceEpochUnixSeconds * nanosecondsPerSecond);
}

double unixSeconds(RecordDate date) {
    return seconds(sinceUnixEpoch(date).count());
}

std::optional<RecordDate> fromUnixSeconds(double value) {
    return dateFromUnixNanoseconds(nanoseconds(value));
}

}  // namespace vask::record_date
