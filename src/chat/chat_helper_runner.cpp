#include "chat/chat_helper_runner.h"

#include "platform/error.h"

namespace vask {

namespace {

// The progress callback of the attempt running on this thread. The engine starts the persona
// endpoint on the attempt's own thread once the databases are staged, which is where the turn
// tells the user that the helper is about to think.
thread_local const std::function<void(const std::string&)>* attemptProgress = nullptr;

class AttemptProgressScope {
  public:
    explicit AttemptProgressScope(const std::function<void(const std::string&)>& progress)
        : previous_(attemptProgress) {
        attemptProgress = &progress;
    }
    ~AttemptProgressScope() { attemptProgress = previous_; }
    AttemptProgressScope(const AttemptProgressScope&) = delete;
    AttemptProgressScope& operator=(const AttemptProgressScope&) = delete;

  private:
    const std::function<void(const std::string&)>* previous_;
};

}  // namespace

RLMHelperResult EngineChatHelperRunner::runTurn(RLMTurnAttempt::TurnInputs inputs,
                                                const RLMTurnRetry::Refresh& refresh,
                                                RLMUsageAccumulator& usageAccumulator,
                                                const RLMTurnAttempt::RunCallbacks& callbacks,
                                                std::stop_token stop) const {
    const AttemptProgressScope scope(callbacks.onProgress);
    return RLMTurnRetry::runWithAuthRetry(attempt_, std::move(inputs), refresh, usageAccumulator,
                                          callbacks, std::move(stop));
}

ChatHelperRunnerFactory EngineChatHelperRunner::factory(Environment env, Settings settings) {
    return [env = std::move(env), settings = std::move(settings)](
               PersonaContextHostFactory personaFactory) -> std::shared_ptr<ChatHelperRunner> {
        RLMTurnAttempt::Settings attemptSettings = settings.attempt;
        attemptSettings.personaContextHostFactory =
            [personaFactory = std::move(personaFactory)](
                const std::string& shadowDBPath) -> std::unique_ptr<PersonaContextHost> {
            if (attemptProgress && *attemptProgress) {
                (*attemptProgress)("Thinking\u2026");
            }
            if (!personaFactory) {
                throw Error("no persona context host");
            }
            return personaFactory(shadowDBPath);
        };
        return std::make_shared<EngineChatHelperRunner>(
            RLMTurnAttempt(RLMHelperRunner(env, settings.runner),
                           RLMFilePrefetch(settings.prefetch), std::move(attemptSettings)));
    };
}

}  // namespace vask
