#include "chat/chat_helper_runner.h"

namespace vask {

RLMHelperResult EngineChatHelperRunner::runTurn(RLMHelperRunner::TurnInputs inputs,
                                                const RLMTurnRetry::Refresh& refresh,
                                                RLMUsageAccumulator& usageAccumulator,
                                                const RLMHelperRunner::RunCallbacks& callbacks,
                                                std::stop_token stop) const {
    return RLMTurnRetry::runWithAuthRetry(runner_, std::move(inputs), refresh, usageAccumulator,
                                          callbacks, std::move(stop));
}

ChatHelperRunnerFactory EngineChatHelperRunner::factory(Environment env,
                                                        RLMHelperRunner::Settings settings) {
    return [env = std::move(env), settings = std::move(settings)](
               PersonaContextHostFactory personaFactory) -> std::shared_ptr<ChatHelperRunner> {
        RLMHelperRunner::Settings turnSettings = settings;
        turnSettings.personaContextHostFactory = std::move(personaFactory);
        return std::make_shared<EngineChatHelperRunner>(
            RLMHelperRunner(env, std::move(turnSettings)));
    };
}

}  // namespace vask
