#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace vask {

// Internet date-times without fractions of seconds, the one date form on the wire and in stored
// credentials: "2026-01-31T12:00:00Z", or with a numeric offset ("2026-01-31T13:00:00+01:00").
// Anything else, a fraction of seconds included, does not parse.
std::optional<Clock::WallTime> parseISO8601(std::string_view text);

// UTC with "Z", whole seconds (a fraction is dropped, rounding toward the past).
std::string formatISO8601(Clock::WallTime time);

}  // namespace vask
