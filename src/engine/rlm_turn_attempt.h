#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "engine/host_request.h"
#include "engine/persona_context_host.h"
#include "engine/rlm_credentials.h"
#include "engine/rlm_file_prefetch.h"
#include "engine/rlm_helper_result.h"
#include "engine/rlm_helper_runner.h"
#include "foundation/config_manager.h"
#include "foundation/structured_logger.h"
#include "memory/memory_principal.h"
#include "memory/memory_store.h"
#include "records/chat_session.h"
#include "relay/model_routing_policy.h"

namespace vask {

// One turn attempt, the chat's one entry into the helper: routes, file prefetch, staging,
// persona endpoint, request, helper run and decoding. The staged folder is removed and the
// persona endpoint cancelled on every exit. RLMTurnRetry adds the one retry after a refused
// sign-in.
class RLMTurnAttempt {
  public:
    // What the composition root supplies besides the runner and the prefetch.
    struct Settings {
        // Routes of every turn when set; otherwise each turn's managed preset policy.
        std::optional<ModelRoutingPolicy> routingPolicyOverride;
        // config.json afresh at each call; nothing when it cannot be loaded.
        std::function<std::optional<AppConfig>()> loadConfig;
        PersonaContextHostFactory personaContextHostFactory;
        // The application's version and build, as the usage event reports them.
        std::optional<std::string> appVersion;
        std::optional<std::string> appBuild;
    };

    // Everything one turn attempt needs from the chat.
    struct TurnInputs {
        RLMCredentials credentials;
        std::string question;
        std::vector<HostConversationMessage> conversation;
        std::vector<SessionArtifactManifest> artifactManifests;
        std::vector<SessionArtifact> artifacts;
        // Used when there is no routing override.
        ModelRoutingPolicy managedPolicy;
        bool fileAccessEnabled = false;
        std::string dbPath;
        std::optional<std::string> contactsDbPath;
        std::optional<std::string> memoryDbPath;
        std::optional<MemoryPrincipal> memoryPrincipal;
        std::shared_ptr<MemoryStore> memoryStore;
        std::vector<ChatSession> conversationSessions;
        std::optional<std::string> sessionDbPath;
        std::optional<std::string> activeSessionID;
    };

    using RunCallbacks = RLMHelperRunner::RunCallbacks;

    RLMTurnAttempt(RLMHelperRunner runner, RLMFilePrefetch prefetch, Settings settings)
        : runner_(std::move(runner)),
          prefetch_(std::move(prefetch)),
          settings_(std::move(settings)) {}

    const RLMHelperRunner& runner() const { return runner_; }
    const RLMFilePrefetch& prefetch() const { return prefetch_; }

    // Throws RLMHelperError, ModelRoutingError, CancellationError when `stop` is requested,
    // std::system_error or std::filesystem::filesystem_error. The callbacks run on the relay
    // event reader's thread.
    RLMHelperResult run(const TurnInputs& inputs, const RunCallbacks& callbacks,
                        std::stop_token stop = {}) const;

  private:
    RLMHelperRunner runner_;
    RLMFilePrefetch prefetch_;
    Settings settings_;
    StructuredLogger logger_{"rlm-helper"};
};

}  // namespace vask
