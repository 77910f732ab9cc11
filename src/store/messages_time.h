#pragma once

#include <chrono>
#include <cstdint>

#include "platform/clock.h"

namespace vask {

// The Messages database counts time in nanoseconds since 2001-01-01 00:00:00 UTC; this is that
// moment in Unix seconds.
inline constexpr std::int64_t messagesEpochUnixSeconds = 978307200;
inline constexpr std::int64_t nanosecondsPerSecond = 1000000000;

// Whole Unix seconds of a Messages time (integer division, as the shadow database's
// timestamp_unix column computes it).
constexpr std::int64_t unixSecondsOfMessagesTime(std::int64_t messagesNanoseconds) {
    return messagesNanoseconds / nanosecondsPerSecond + messagesEpochUnixSeconds;
}

// The current wall time in whole Unix seconds, the fraction dropped.
inline std::int64_t nowUnixSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               Clock::system().now().time_since_epoch())
        .count();
}

}  // namespace vask
