// One turn attempt: from the question to a decoded result, and the file prefetch before it.
#include <atomic>

#include "engine/cancellation_error.h"
#include "engine/rlm_helper_error.h"
#include "engine/rlm_helper_runner.h"
#include "platform/text.h"

namespace vask {
namespace fs = std::filesystem;

namespace {

bool presentAndNotBlank(const std::optional<std::string>& value) {
    return value && !text::trimmed(*value).empty();
}

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

    std::optional<RLMHelperRunner::StagedDatabases> staged;
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

bool RLMHelperRunner::prefetchFilesIfNeeded(const std::string& prompt, const std::string& dbPath,
                                            const RLMCredentials& credentials,
                                            const std::optional<ModelRoute>& visionRoute) const {
    if (!visionRoute) {
        return false;
    }
    const auto visionModel = visionRoute->requestedModel();
    const std::string promptChars = std::to_string(text::graphemeCount(prompt));
    logger_.info("file_prefetch_starting",
                 {{"vision_model", visionModel.value_or("tier_default")},
                  {"has_credentials", presentAndNotBlank(credentials.apiKey) ||
                                              presentAndNotBlank(credentials.customerToken)
                                          ? "true"
                                          : "false"},
                  {"auth_type",
                   presentAndNotBlank(credentials.customerToken) ? "customer_token" : "api_key"},
                  {"prompt_chars", promptChars}});
    const FileAccessConfig config = settings_.fileAccessConfig
                                        ? settings_.fileAccessConfig(visionModel)
                                        : FileAccessConfig::defaults(visionModel);
    logger_.info("file_prefetch_config",
                 {{"scopes_count", std::to_string(config.allowedScopes.size())},
                  {"vision_mode", std::string(toString(config.useVision))},
                  {"max_files", std::to_string(config.maxFiles)}});

    std::unique_ptr<FilePrefetchService> service;
    try {
        if (!settings_.filePrefetchServiceFactory) {
            throw Error("file access is not available");
        }
        service = settings_.filePrefetchServiceFactory(dbPath, credentials.apiKey,
                                                       credentials.customerToken, config);
    } catch (const std::exception& e) {
        logger_.error("file_prefetch_failed", {{"error", e.what()}});
        return false;
    }

    // The prefetch is not bound to the turn: only the time limit stops it, and then only
    // between files, so what was cached before the limit stays cached. The limit's task may
    // already be running when it is cancelled below, so what it touches is owned with it.
    struct Limit {
        std::stop_source source;
        std::atomic<bool> reached{false};
    };
    const auto limit = std::make_shared<Limit>();
    Scheduler& scheduler = settings_.scheduler ? *settings_.scheduler : Scheduler::system();
    const auto timer = scheduler.after(settings_.prefetchTimeLimit, [limit] {
        limit->reached = true;
        limit->source.request_stop();
    });
    const std::int64_t cached = service->prefetch(prompt, limit->source.get_token());
    timer.cancel();
    const bool limitReached = limit->reached;
    if (limitReached) {
        logger_.warning("file_prefetch_timeout", {{"prompt_chars", promptChars}});
        return false;
    }
    logger_.info("file_prefetch_completed",
                 {{"cached", std::to_string(cached)}, {"prompt_chars", promptChars}});
    return true;
}

RLMHelperResult RLMHelperRunner::run(const TurnInputs& inputs, const RunCallbacks& callbacks,
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
    prefetchFilesIfNeeded(inputs.question, inputs.dbPath, inputs.credentials, visionRoute);
    if (stop.stop_requested()) {
        throw CancellationError();
    }

    AttemptCleanup cleanup;
    cleanup.staged = stageDatabasesForSandbox(inputs.dbPath, inputs.contactsDbPath,
                                              inputs.memoryDbPath, inputs.memoryPrincipal,
                                              inputs.memoryStore.get(), inputs.conversationSessions,
                                              inputs.sessionDbPath, inputs.activeSessionID);
    const StagedDatabases& staged = *cleanup.staged;

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

    const std::string output = runProcess(encoded, staged.dbPath, staged.contactsDbPath,
                                          request.personaContextEndpoint, callbacks, stop);
    return decodeResponse(output, usageContext);
}

}  // namespace vask
