#pragma once

#include <string_view>

namespace vask::PopoverHandoff {

// How the turn ended that a deferred hand-off waited for.
enum class TurnOutcome { committed, usageLimitReached, failed };

// The name logged for a cancelling outcome.
constexpr std::string_view logName(TurnOutcome outcome) {
    switch (outcome) {
        case TurnOutcome::committed:
            return "committed";
        case TurnOutcome::usageLimitReached:
            return "usage_limit_reached";
        case TurnOutcome::failed:
            break;
    }
    return "failed";
}

}  // namespace vask::PopoverHandoff
