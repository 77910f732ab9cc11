#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/bundle_resources.h"
#include "engine/file_prefetch_service.h"
#include "engine/helper_process_lifecycle.h"
#include "engine/host_request.h"
#include "engine/persona_context_host.h"
#include "engine/relay_event_collector.h"
#include "engine/rlm_credentials.h"
#include "engine/rlm_helper_result.h"
#include "engine/rlm_usage_observability.h"
#include "foundation/config_manager.h"
#include "foundation/structured_logger.h"
#include "memory/memory_principal.h"
#include "memory/memory_store.h"
#include "platform/environment.h"
#include "platform/file_lock.h"
#include "records/chat_session.h"
#include "relay/model_routing_policy.h"

namespace vask {

// Starts and runs the RLM helper: either a developer's shell command (VASK_RLM_HELPER_CMD) or the
// Deno runtime shipped in the bundle's "rlm" folder, which also gets a private copy of the
// shipped module cache, a permission-limited command line and the relay event channel on
// descriptor 3.
class RLMHelperRunner {
  public:
    struct Shell {
        std::string command;
        bool operator==(const Shell&) const = default;
    };
    struct Deno {
        std::filesystem::path denoURL;
        std::filesystem::path relayPath;
        std::filesystem::path sourcesPath;
        std::filesystem::path denoDir;
        bool operator==(const Deno&) const = default;
    };
    using HelperCommand = std::variant<Shell, Deno>;

    // The writable copy of the Deno cache for one run; removing `directory` removes it. The
    // folder is marked as in use for as long as `inUse` lives, so that a later run never takes
    // it for one left behind by a crash.
    struct StagedDenoCache {
        std::filesystem::path cache;
        std::filesystem::path directory;
        std::shared_ptr<FileLock> inUse;
    };

    // How much of each output stream a run keeps. Far above any real answer; what lies beyond is
    // read and dropped.
    struct OutputLimits {
        std::size_t stdoutBytes = 64 * 1024 * 1024;
        std::size_t stderrBytes = 1024 * 1024;
    };

    // What the composition root supplies besides the environment.
    struct Settings {
        // Host of the relay service; the Deno helper may reach it and nothing else but the
        // persona endpoint.
        std::string relayServiceHost;
        std::optional<std::filesystem::path> bundleResourceDirectory =
            vask::bundleResourceDirectory();
        RLMProcessTimeouts timeouts;
        OutputLimits outputLimits;
        // Timers of the watchdog; the system scheduler when null.
        Scheduler* scheduler = nullptr;
        // The environment a run starts from, read at each run; the process's own when empty.
        std::function<Environment()> launchEnvironment;

        // Routes of every turn when set; otherwise each turn's managed preset policy.
        std::optional<ModelRoutingPolicy> routingPolicyOverride;
        // config.json afresh at each call; nothing when it cannot be loaded.
        std::function<std::optional<AppConfig>()> loadConfig;
        // The file-access settings for a vision model (the configuration manager's).
        std::function<FileAccessConfig(std::optional<std::string>)> fileAccessConfig;
        FilePrefetchServiceFactory filePrefetchServiceFactory;
        std::chrono::milliseconds prefetchTimeLimit{10000};
        PersonaContextHostFactory personaContextHostFactory;
        // The application's version and build, as the usage event reports them.
        std::optional<std::string> appVersion;
        std::optional<std::string> appBuild;
    };

    // What a run's folder holds on to until cleanup: the mark that keeps a later staging from
    // taking the folder for one left behind by a crash, and a connection to the live shadow
    // database that keeps its write-ahead log and index in place under the staged links.
    class SandboxLease;

    // The databases of one run in its private folder. `cleanup` removes that folder and
    // nothing else, then lets go of the live shadow database.
    struct StagedDatabases {
        std::string dbPath;
        std::optional<std::string> contactsDbPath;
        std::optional<std::string> memoryDbPath;
        std::optional<std::string> sessionDbPath;
        std::filesystem::path directory;
        std::shared_ptr<SandboxLease> lease;

        // Never fails; errors are ignored.
        void cleanup() const;
    };

    // Everything one turn attempt needs from the chat.
    struct TurnInputs {
        RLMCredentials credentials;
        std::string question;
        std::vector<HostConversationMessage> conversation;
        std::vector<SessionArtifactManifest> artifactManifests;
        std::vector<SessionArtifact> artifacts;
        // Used when the runner has no routing override.
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

    // Callbacks of one run, called on the event reader's thread while the run goes on.
    struct RunCallbacks {
        std::function<void(const std::string&)> onProgress;
        std::function<void(const std::string&)> onReasoning;
        std::function<void(const ZendrelExecutionEvent&)> onExecutionEvent;
        std::function<void(const RLMUsageSnapshot&)> onUsageProgress;
    };

    // Executable, arguments after it and environment of one run; for the Deno variant the staged
    // cache that the run removes at its end.
    struct LaunchPlan {
        std::filesystem::path executable;
        std::vector<std::string> arguments;
        Environment environment;
        std::optional<StagedDenoCache> stagedCache;
        bool usesEventChannel = false;
    };

    // Throws RLMHelperError::missingBundledHelper when neither variant is available.
    RLMHelperRunner(const Environment& env, Settings settings);

    const HelperCommand& helperCommand() const { return helperCommand_; }
    const std::optional<std::string>& resourceRoot() const { return resourceRoot_; }
    const Environment& environment() const { return environment_; }
    const RLMProcessTimeouts& timeouts() const { return settings_.timeouts; }
    void setTimeouts(RLMProcessTimeouts timeouts) { settings_.timeouts = timeouts; }

    // Runs the helper once: writes `requestData` to its standard input and returns its standard
    // output, trimmed. Blocks until the helper and everything in its process group are gone.
    // Throws RLMHelperError, CancellationError when `stop` is requested, std::system_error when
    // the spawn fails, std::filesystem::filesystem_error when the cache cannot be staged.
    std::string runProcess(std::string_view requestData, const std::string& dbPath,
                           const std::optional<std::string>& contactsDbPath,
                           const std::string& personaContextEndpoint, const RunCallbacks& callbacks,
                           std::stop_token stop = {}) const;

    // One turn attempt: routes, file prefetch, staging, persona endpoint, request, helper run and
    // decoding. The staged folder is removed and the persona endpoint cancelled on every exit.
    // Throws RLMHelperError, ModelRoutingError, CancellationError, std::system_error or
    // std::filesystem::filesystem_error.
    RLMHelperResult run(const TurnInputs& inputs, const RunCallbacks& callbacks,
                        std::stop_token stop = {}) const;

    // Caches the user's files for the question before staging, within the prefetch time limit.
    // True when a prefetch ran to its end in time; false without a vision route.
    bool prefetchFilesIfNeeded(const std::string& prompt, const std::string& dbPath,
                               const RLMCredentials& credentials,
                               const std::optional<ModelRoute>& visionRoute) const;

    // The helper's standard output as a result, or the RLMHelperError it stands for. Writes
    // exactly one "rlm_token_usage" event.
    static RLMHelperResult decodeResponse(std::string_view output,
                                          const RLMUsageObservabilityContext& usageContext);

    // Stages the databases of a run into a new private folder beside the shadow database
    // (".vask-rlm-sandbox/<UUID>", 0700), first removing folders that earlier runs left behind.
    // Throws std::filesystem::filesystem_error when the folder or the shadow link cannot be made.
    static StagedDatabases stageDatabasesForSandbox(
        const std::string& dbPath, const std::optional<std::string>& contactsDbPath,
        const std::optional<std::string>& memoryDbPath,
        const std::optional<MemoryPrincipal>& memoryPrincipal, MemoryStore* memoryStore,
        const std::vector<ChatSession>& conversationSessions,
        const std::optional<std::string>& sessionDbPath,
        const std::optional<std::string>& activeSessionID);
    // Online backup straight from the live file (the contacts database), never a copy of its
    // files: a copy taken while a sync writes can mix two states. Throws RLMHelperError.
    static void snapshotDatabase(const std::string& source, const std::string& destination);
    // Online backup straight from the live file, waiting while it is busy. Throws RLMHelperError.
    static void snapshotOwnedDatabase(const std::string& source, const std::string& destination);
    // The principal's active associations in a fresh read-only file; returns how many.
    // Throws RLMHelperError or std::filesystem::filesystem_error.
    static std::int64_t createSanitizedMemorySnapshot(const std::string& rawPath,
                                                      const std::string& destination,
                                                      const MemoryPrincipal& principal);
    static const StructuredLogger& stagingLogger();

    // The first step of a run. The caller owns the staged cache of the result.
    LaunchPlan launchPlan(const std::string& dbPath,
                          const std::optional<std::string>& contactsDbPath,
                          const std::string& personaContextEndpoint) const;

    // Copies the bundled cache into a new private folder of the temporary directory, first
    // removing the copies that crashed runs left there.
    static StagedDenoCache stageDenoCache(const std::filesystem::path& denoDir);
    static std::vector<std::string> denoArgs(
        const std::string& relayPath, const std::string& sourcesPath,
        const std::string& resourceRoot, const std::string& denoCachePath,
        const std::string& dbPath, const std::optional<std::string>& contactsDbPath,
        const std::string& personaContextEndpoint, const std::string& relayServiceHost);
    static void configureDenoEnvironment(const std::string& cachePath, Environment& env);
    static void applyBundledPythonEnv(const std::string& resourceRoot, Environment& env);
    static std::vector<std::string> dedupe(const std::vector<std::string>& values);

  private:
    HelperCommand helperCommand_;
    std::optional<std::string> resourceRoot_;
    Environment environment_;
    Settings settings_;
    StructuredLogger logger_{"rlm-helper"};
};

}  // namespace vask
