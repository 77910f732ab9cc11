#pragma once

#include <functional>
#include <memory>
#include <stop_token>

#include "engine/persona_context_host.h"
#include "engine/rlm_file_prefetch.h"
#include "engine/rlm_helper_runner.h"
#include "engine/rlm_turn_attempt.h"
#include "engine/rlm_turn_retry.h"
#include "engine/rlm_usage_accumulator.h"
#include "platform/environment.h"

namespace vask {

// How the chat runs the helper for one turn: one attempt, and after an unauthorised reply of an
// account with a customer token one refresh (through `refresh`) and one more attempt. Blocking:
// called on a worker. Implementations remove whatever the turn staged before returning.
class ChatHelperRunner {
  public:
    virtual ~ChatHelperRunner() = default;
    virtual RLMHelperResult runTurn(RLMTurnAttempt::TurnInputs inputs,
                                    const RLMTurnRetry::Refresh& refresh,
                                    RLMUsageAccumulator& usageAccumulator,
                                    const RLMTurnAttempt::RunCallbacks& callbacks,
                                    std::stop_token stop) const = 0;
};

// The helper runner of a chat, given the persona endpoint each turn starts. Throws when no
// helper can be found.
using ChatHelperRunnerFactory =
    std::function<std::shared_ptr<ChatHelperRunner>(PersonaContextHostFactory)>;

// The engine's runner behind the chat's interface.
class EngineChatHelperRunner final : public ChatHelperRunner {
  public:
    // What the engine's turn attempt is built from: the runner's, the file prefetch's and the
    // attempt's own settings.
    struct Settings {
        RLMHelperRunner::Settings runner;
        RLMFilePrefetch::Settings prefetch;
        RLMTurnAttempt::Settings attempt;
    };

    explicit EngineChatHelperRunner(RLMTurnAttempt attempt) : attempt_(std::move(attempt)) {}

    RLMHelperResult runTurn(RLMTurnAttempt::TurnInputs inputs,
                            const RLMTurnRetry::Refresh& refresh,
                            RLMUsageAccumulator& usageAccumulator,
                            const RLMTurnAttempt::RunCallbacks& callbacks,
                            std::stop_token stop) const override;

    // A factory building the engine's turn attempt over `env` and `settings`, with the persona
    // endpoint factory it is given.
    static ChatHelperRunnerFactory factory(Environment env, Settings settings);

  private:
    RLMTurnAttempt attempt_;
};

}  // namespace vask
