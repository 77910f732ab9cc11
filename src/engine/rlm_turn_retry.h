#pragma once

#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "engine/rlm_turn_attempt.h"
#include "engine/rlm_usage_accumulator.h"

namespace vask {

// The chat's way of running a turn: one attempt, and after an `unauthorized` failure of an
// account with a customer token, one refresh and one more attempt. A second failure is final.
class RLMTurnRetry {
  public:
    // Given the refused customer token, refreshes it and returns the credentials rebuilt from
    // the current authentication mode, or nothing when no refresh is possible.
    using Refresh = std::function<std::optional<RLMCredentials>(const std::optional<std::string>&)>;

    static RLMHelperResult runWithAuthRetry(const RLMTurnAttempt& attempt,
                                            RLMTurnAttempt::TurnInputs inputs,
                                            const Refresh& refresh,
                                            RLMUsageAccumulator& usageAccumulator,
                                            const RLMTurnAttempt::RunCallbacks& callbacks,
                                            std::stop_token stop = {});
};

}  // namespace vask
