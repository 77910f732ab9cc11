#include "chat/chat_helper_runner.h"

namespace vask {

RLMHelperResult EngineChatHelperRunner::runTurn(RLMTurnAttempt::TurnInputs inputs,
                                                const RLMTurnRetry::Refresh& refresh,
                                                RLMUsageAccumulator& usageAccumulator,
                                                const RLMTurnAttempt::RunCallbacks& callbacks,
                                                std::stop_token stop) const {
    // Once the databases are staged the helper is about to think: the turn says so.
    RLMTurnAttempt::RunCallbacks withStaging = callbacks;
    withStaging.onStaged = [&progress = callbacks.onProgress] {
        if (progress) {
            progress("Thinking\u2026");
        }
    };
    return RLMTurnRetry::runWithAuthRetry(attempt_, std::move(inputs), refresh, usageAccumulator,
                                          withStaging, std::move(stop));
}

ChatHelperRunnerFactory EngineChatHelperRunner::factory(Environment env, Settings settings) {
    return [env = std::move(env), settings = std::move(settings)](
               PersonaContextHostFactory personaFactory) -> std::shared_ptr<ChatHelperRunner> {
        RLMTurnAttempt::Settings attemptSettings = settings.attempt;
        attemptSettings.personaContextHostFactory = std::move(personaFactory);
        return std::make_shared<EngineChatHelperRunner>(
            RLMTurnAttempt(RLMHelperRunner(env, settings.runner),
                           RLMFilePrefetch(settings.prefetch), std::move(attemptSettings)));
    };
}

}  // namespace vask
