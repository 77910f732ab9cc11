#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "chat/chat_helper_runner.h"

namespace vask::test {

// Runs each turn by a script the test gives; records the inputs of every turn.
class FakeChatHelperRunner final : public ChatHelperRunner {
  public:
    using Script = std::function<RLMHelperResult(
        const RLMTurnAttempt::TurnInputs&, const RLMTurnRetry::Refresh&, RLMUsageAccumulator&,
        const RLMHelperRunner::RunCallbacks&, std::stop_token)>;

    RLMHelperResult runTurn(RLMTurnAttempt::TurnInputs inputs,
                            const RLMTurnRetry::Refresh& refresh,
                            RLMUsageAccumulator& usageAccumulator,
                            const RLMHelperRunner::RunCallbacks& callbacks,
                            std::stop_token stop) const override;

    void setScript(Script script);
    // A script answering `answer` at once.
    static Script answering(std::string answer);
    std::vector<RLMTurnAttempt::TurnInputs> inputs() const;

  private:
    mutable std::mutex mutex_;
    Script script_ = answering("An answer.");
    mutable std::vector<RLMTurnAttempt::TurnInputs> inputs_;
};

}  // namespace vask::test
