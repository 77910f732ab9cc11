#pragma once

#include <cstddef>
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
#include "engine/helper_process_lifecycle.h"
#include "engine/rlm_usage_snapshot.h"
#include "engine/zendrel_execution_event.h"
#include "foundation/structured_logger.h"
#include "platform/environment.h"
#include "platform/file_lock.h"

namespace vask {

// The helper process of one attempt: launches the RLM helper, either a developer's shell command
// (VASK_RLM_HELPER_CMD) or the Deno runtime shipped in the bundle's "rlm" folder (which also gets
// a private copy of the shipped module cache, a permission-limited command line and the relay
// event channel on descriptor 3), and runs it under the watchdog. The whole turn attempt around
// it is RLMTurnAttempt.
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
        std::size_t stdoutBytes = std::size_t{64} * 1024 * 1024;
        std::size_t stderrBytes = std::size_t{1024} * 1024;
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
    };

    // Callbacks of one run, called on the event reader's thread while the run goes on (but
    // onStaged).
    struct RunCallbacks {
        std::function<void(const std::string&)> onProgress;
        std::function<void(const std::string&)> onReasoning;
        std::function<void(const ZendrelExecutionEvent&)> onExecutionEvent;
        std::function<void(const RLMUsageSnapshot&)> onUsageProgress;
        // A turn attempt's: on the attempt's own thread once the databases are staged, before
        // the persona endpoint starts and the helper launches.
        std::function<void()> onStaged;
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

    // The first step of a run. The caller owns the staged cache of the result.
    LaunchPlan launchPlan(const std::string& dbPath,
                          const std::optional<std::string>& contactsDbPath,
                          const std::string& personaContextEndpoint) const;

    // Copies the bundled cache into a new private folder of "vask-relay-cache" in the user's
    // cache folder (of `env`; the data folder when there is none), 0700, first removing the
    // copies that crashed runs left there. Never waits on a lock.
    static StagedDenoCache stageDenoCache(const std::filesystem::path& denoDir,
                                          const Environment& env);
    static std::vector<std::string> denoArgs(
        const std::string& relayPath, const std::string& sourcesPath,
        const std::string& resourceRoot, const std::string& denoCachePath,
        const std::string& dbPath, const std::optional<std::string>& contactsDbPath,
        const std::string& personaContextEndpoint, const std::string& relayServiceHost,
        const std::vector<std::string>& environmentNames);
    // Of `inherited`, what the bundled runtime reads: home, search path, temporary folder,
    // locale, time zone, proxies and certificate stores (and the stand-in helper's scenario, for
    // tests). Not the user's session (its bus, its
    // display) nor Vask's own variables: the bundled helper is Vask's, not the user's command.
    static Environment bundledHelperEnvironment(const Environment& inherited);
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
