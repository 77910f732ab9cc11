#include "engine/rlm_turn_attempt.h"

#include "engine/cancellation_error.h"
#include "engine/rlm_helper_error.h"
#include "engine/rlm_response_decoder.h"
#include "engine/rlm_sandbox_staging.h"

namespace vask {
namespace fs = std::filesystem;

namespace {

// Removes the staged folder and stops the persona endpoint when the attempt ends, however.
class AttemptCleanup {
  public:
    AttemptCleanup() = default;
    AttemptCleanup(const AttemptCleanup&) = delete;
    AttemptCleanup& operator=(const AttemptCleanup&) = delete;
    ~AttemptCleanup() {
        if (persona) {
            persona->cancel();
        }
        if (staged) {
            staged->cleanup();
        }
    }

    std::optional<RLMSandboxStaging::StagedDatabases> staged;
    std::unique_ptr<PersonaContextHost> persona;
};

std::string requestedPromptProfile(const std::optional<AppConfig>& config) {
    return config && config->rlmPromptProfile ? *config->rlmPromptProfile : "compact";
}

std::int64_t maxOutputChars(const std::optional<AppConfig>& config) {
    const std::int64_t value =
        config && config->rlmMaxOutputChars ? *config->rlmMaxOutputChars : 10000;
    return std::max<std::int64_t>(value, 1);
}

}  // namespace

RLMHelperResult RLMTurnAttempt::run(const TurnInputs& inputs, const RunCallbacks& callbacks,
                                    std::stop_token stop) const {
    std::error_code ignored;
    if (!fs::exists(inputs.dbPath, ignored)) {
        throw RLMHelperError::plain(RLMHelperError::Case::shadowDBMissing);
    }
    const ModelRoutingPolicy& policy =
        settings_.routingPolicyOverride ? *settings_.routingPolicyOverride : inputs.managedPolicy;
    const RouteCredentials routeCredentials{inputs.credentials.apiKey,
                                            inputs.credentials.customerToken};
    const ModelRoute rootRoute = policy.validatedRoute(ModelRole::root, routeCredentials);
    const ModelRoute subcallRoute = policy.validatedRoute(ModelRole::subcall, routeCredentials);
    std::optional<ModelRoute> visionRoute;
    if (inputs.fileAccessEnabled) {
        visionRoute = policy.validatedRoute(ModelRole::vision, routeCredentials);
    }
    // The turn's stop is requested only when the application quits (or its chat goes away).
    prefetch_.prefetchFilesIfNeeded(inputs.question, inputs.dbPath, inputs.credentials, visionRoute,
                                    stop);
    if (stop.stop_requested()) {
        throw CancellationError();
    }

    AttemptCleanup cleanup;
    cleanup.staged = RLMSandboxStaging::stageDatabasesForSandbox(
        inputs.dbPath, inputs.contactsDbPath, inputs.memoryDbPath, inputs.memoryPrincipal,
        inputs.memoryStore.get(), inputs.conversationSessions, inputs.sessionDbPath,
        inputs.activeSessionID);
    const auto& staged = *cleanup.staged;
    if (callbacks.onStaged) {
        callbacks.onStaged();
    }

    try {
        if (!settings_.personaContextHostFactory) {
            throw Error("no persona context host");
        }
        cleanup.persona = settings_.personaContextHostFactory(inputs.dbPath);
    } catch (const std::exception& e) {
        logger_.warning("persona_context_host_unavailable", {{"error", e.what()}});
    }

    HostRequest request;
    request.apiKey = inputs.credentials.apiKey;
    request.customerToken = inputs.credentials.customerToken;
    request.authType = HostRequest::authTypeFor(inputs.credentials);
    request.question = inputs.question;
    request.dbPath = staged.dbPath;
    request.contactsDbPath = staged.contactsDbPath;
    request.memoryDbPath = staged.memoryDbPath;
    request.rootModel = rootRoute.requestedModel();
    request.subcallModel = subcallRoute.requestedModel();
    request.promptProfile =
        requestedPromptProfile(settings_.loadConfig ? settings_.loadConfig() : std::nullopt);
    request.maxOutputChars =
        maxOutputChars(settings_.loadConfig ? settings_.loadConfig() : std::nullopt);
    if (!inputs.conversation.empty()) {
        request.conversationMessages = inputs.conversation;
    }
    if (!inputs.artifacts.empty()) {
        request.conversationArtifacts = inputs.artifacts;
    }
    if (!inputs.artifactManifests.empty()) {
        request.conversationArtifactManifests = inputs.artifactManifests;
    } else if (!inputs.artifacts.empty()) {
        ChatMessage carrier;
        carrier.artifacts = inputs.artifacts;
        request.conversationArtifactManifests = SessionArtifactManifest::fromMessages({carrier});
    }
    request.fileAccessEnabled = inputs.fileAccessEnabled;
    if (cleanup.persona) {
        request.personaContextEndpoint = cleanup.persona->endpoint();
        request.personaContextToken = cleanup.persona->token();
    }

    const RLMUsageObservabilityContext usageContext{
        RLMUsageObservability::bundleValue(settings_.appVersion),
        RLMUsageObservability::bundleValue(settings_.appBuild),
        RLMUsageObservability::selectedPreset(rootRoute, subcallRoute),
        RLMUsageObservability::routingMode(rootRoute, subcallRoute, request.authType),
        request.promptProfile,
        "chat",
        std::string(rawValue(request.authType)),
    };
    // Ill-formed UTF-8 in the question or a path is sent as U+FFFD rather than failing the turn.
    const std::string encoded =
        request.toJson().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    logger_.info("rlm_helper_start", request.startLogMetadata());

    const std::string output = runner_.runProcess(encoded, staged.dbPath, staged.contactsDbPath,
                                                  request.personaContextEndpoint, callbacks, stop);
    return RLMResponseDecoder::decodeResponse(output, usageContext);
}

}  // namespace vask
