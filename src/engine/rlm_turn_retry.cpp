#include "engine/rlm_turn_retry.h"

#include "engine/rlm_helper_error.h"
#include "foundation/structured_logger.h"

namespace vask {

RLMHelperResult RLMTurnRetry::runWithAuthRetry(const RLMTurnAttempt& attempt,
                                               RLMTurnAttempt::TurnInputs inputs,
                                               const Refresh& refresh,
                                               RLMUsageAccumulator& usageAccumulator,
                                               const RLMTurnAttempt::RunCallbacks& callbacks,
                                               std::stop_token stop) {
    try {
        return attempt.run(inputs, callbacks, stop);
    } catch (const RLMHelperError& error) {
        if (error.errorCase() != RLMHelperError::Case::unauthorized ||
            !inputs.credentials.customerToken) {
            throw;
        }
        auto refreshed = refresh(inputs.credentials.customerToken);
        if (!refreshed) {
            throw;
        }
        usageAccumulator.settled(error.usage().rootUsage, error.usage().subcallUsage);
        StructuredLogger("chat").info("chat_auth_refreshed_retry");
        inputs.credentials = std::move(*refreshed);
    }
    return attempt.run(inputs, callbacks, stop);
}

}  // namespace vask
