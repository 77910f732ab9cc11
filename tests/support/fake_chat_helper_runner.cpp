#include "support/fake_chat_helper_runner.h"

namespace vask::test {

RLMHelperResult FakeChatHelperRunner::runTurn(RLMTurnAttempt::TurnInputs inputs,
                                              const RLMTurnRetry::Refresh& refresh,
                                              RLMUsageAccumulator& usageAccumulator,
                                              const RLMHelperRunner::RunCallbacks& callbacks,
                                              std::stop_token stop) const {
    Script script;
    {
        std::lock_guard lock(mutex_);
        inputs_.push_back(inputs);
        script = script_;
    }
    return script(inputs, refresh, usageAccumulator, callbacks, std::move(stop));
}

void FakeChatHelperRunner::setScript(Script script) {
    std::lock_guard lock(mutex_);
    script_ = std::move(script);
}

FakeChatHelperRunner::Script FakeChatHelperRunner::answering(std::string answer) {
    return [answer](const auto&, const auto&, auto&, const auto&, std::stop_token) {
        RLMHelperResult result;
        result.answer = answer;
        return result;
    };
}

std::vector<RLMTurnAttempt::TurnInputs> FakeChatHelperRunner::inputs() const {
    std::lock_guard lock(mutex_);
    return inputs_;
}

}  // namespace vask::test
