#include "engine/rlm_helper_runner.h"

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <system_error>
#include <thread>

#include "engine/cancellation_error.h"
#include "engine/in_use_folder.h"
#include "engine/relay_event_collector.h"
#include "engine/resolved_path.h"
#include "engine/rlm_helper_error.h"
#include "foundation/application_secrets.h"
#include "platform/child_pipe_workers.h"
#include "platform/child_spawn.h"
#include "platform/crypto.h"
#include "platform/text.h"
#include "platform/url.h"

namespace vask {
namespace fs = std::filesystem;

namespace {

std::string parentOf(const std::string& path) {
    return fs::path(path).parent_path().string();
}

std::string optionalText(const std::optional<std::int64_t>& value) {
    return value ? std::to_string(*value) : "absent";
}

// Removes a run's staged Deno cache when the run ends, whatever the outcome.
class StagedCacheRemoval {
  public:
    explicit StagedCacheRemoval(std::optional<RLMHelperRunner::StagedDenoCache> staged)
        : staged_(std::move(staged)) {}
    ~StagedCacheRemoval() {
        if (staged_) {
            std::error_code ignored;
            fs::remove_all(staged_->directory, ignored);
        }
    }
    StagedCacheRemoval(const StagedCacheRemoval&) = delete;
    StagedCacheRemoval& operator=(const StagedCacheRemoval&) = delete;

  private:
    std::optional<RLMHelperRunner::StagedDenoCache> staged_;
};

// The folder, in the user's cache folder, holding one private copy of the module cache per run.
constexpr std::string_view relayCacheFolderName = "vask-relay-cache";

// Vask's own folder for the copies: never a shared temporary folder, where another user could
// hold its lock or plant entries.
fs::path relayCacheParent(const Environment& env) {
    if (const auto cache = xdgCacheHome(env)) {
        return *cache / relayCacheFolderName;
    }
    if (const auto data = xdgDataHome(env)) {
        return *data / relayCacheFolderName;
    }
    throw fs::filesystem_error("no home folder for the module cache copy",
                               std::make_error_code(std::errc::no_such_file_or_directory));
}

int exitCodeOf(int status) {
    const int signalBits = status & 0x7f;
    return signalBits != 0 ? (signalBits | 128) : ((status >> 8) & 0xff);
}

std::string utf8OrEmpty(std::string bytes) {
    return text::isValidUtf8(bytes) ? std::move(bytes) : std::string();
}

}  // namespace

RLMHelperRunner::RLMHelperRunner(const Environment& env, Settings settings)
    : environment_(env), settings_(std::move(settings)) {
    const auto trimmedValue = [&](const char* name) -> std::optional<std::string> {
        const auto it = env.find(name);
        if (it == env.end()) {
            return std::nullopt;
        }
        return std::string(text::trimmed(it->second));
    };
    if (const auto command = trimmedValue("VASK_RLM_HELPER_CMD"); command && !command->empty()) {
        helperCommand_ = Shell{*command};
        resourceRoot_ = trimmedValue("VASK_RLM_RESOURCE_ROOT");
        return;
    }
    if (!settings_.bundleResourceDirectory) {
        throw RLMHelperError::plain(RLMHelperError::Case::missingBundledHelper);
    }
    const fs::path root = *settings_.bundleResourceDirectory / "rlm";
    std::error_code error;
    if (!fs::exists(fs::symlink_status(root / "deno", error))) {
        throw RLMHelperError::plain(RLMHelperError::Case::missingBundledHelper);
    }
    helperCommand_ = Deno{root / "deno", root / "relay.ts", root / "sources", root / "deno-cache"};
    resourceRoot_ = root.string();
}

RLMHelperRunner::StagedDenoCache RLMHelperRunner::stageDenoCache(const fs::path& denoDir,
                                                                 const Environment& env) {
    const auto status = fs::symlink_status(denoDir);
    if (!fs::exists(status)) {
        throw fs::filesystem_error("cannot read the bundled module cache", denoDir,
                                   std::make_error_code(std::errc::no_such_file_or_directory));
    }
    if (status.type() != fs::file_type::directory) {
        throw RLMHelperError::plain(RLMHelperError::Case::invalidBundledRelayCache);
    }
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(denoDir)) {
        names.insert(entry.path().filename().string());
    }
    if (names != std::set<std::string>{"npm"}) {
        throw RLMHelperError::plain(RLMHelperError::Case::invalidBundledRelayCache);
    }
    // Copies whose run is gone (left by a crash) are removed on the way.
    auto folder = InUseFolder::create(
        relayCacheParent(env), std::to_string(::getpid()) + "-" + randomUUID(),
        [](const fs::path& candidate) { return !candidate.filename().string().starts_with("."); },
        [](const fs::path&, const std::error_code& removal) {
            if (!removal) {
                StructuredLogger("rlm-helper").warning("stale_relay_cache_removed");
            }
        });
    const fs::path temp = folder.path;
    try {
        fs::permissions(temp, fs::perms::owner_all, fs::perm_options::replace);
        fs::copy(denoDir, temp / "deno-cache", fs::copy_options::recursive);
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(temp, ignored);
        throw;
    }
    return {temp / "deno-cache", temp, std::make_shared<FileLock>(std::move(folder.lock))};
}

std::vector<std::string> RLMHelperRunner::denoArgs(
    const std::string& relayPath, const std::string& sourcesPath, const std::string& resourceRoot,
    const std::string& denoCachePath, const std::string& dbPath,
    const std::optional<std::string>& contactsDbPath, const std::string& personaContextEndpoint,
    const std::string& relayServiceHost, const std::vector<std::string>& environmentNames) {
    const std::string resolvedDbFolder = parentOf(realpathOrSame(dbPath));
    const std::vector<std::string> readList = {resourceRoot,     realpathOrSame(resourceRoot),
                                               denoCachePath,    realpathOrSame(denoCachePath),
                                               parentOf(dbPath), resolvedDbFolder};

    std::vector<std::string> writeList;
    std::vector<std::string> databases = {dbPath};
    if (contactsDbPath) {
        databases.push_back(*contactsDbPath);
    }
    for (const auto& path : databases) {
        if (path.empty() || path == "nil") {
            continue;
        }
        const std::string name = fs::path(path).filename().string();
        const std::string resolved = std::string(resolvedDbFolder).append("/").append(name);
        writeList.insert(writeList.end(),
                         {path + "-wal", path + "-shm", resolved + "-wal", resolved + "-shm"});
    }

    std::vector<std::string> networkList = {relayServiceHost};
    if (!personaContextEndpoint.empty()) {
        const auto url = Url::parse(personaContextEndpoint);
        // Only a loopback endpoint on an explicit port: anything else would widen what the
        // helper may reach.
        if (!url || !personaContextEndpoint.starts_with("http:") || url->scheme() != "http" ||
            url->host() != "127.0.0.1" || !url->port()) {
            throw RLMHelperError::invalidPersonaContextEndpoint(personaContextEndpoint);
        }
        networkList.push_back("127.0.0.1:" + std::to_string(*url->port()));
    }

    const auto joined = [](const std::vector<std::string>& values) {
        std::string out;
        for (std::size_t i = 0; i < values.size(); ++i) {
            out += (i == 0 ? "" : ",") + values[i];
        }
        return out;
    };
    return {"run", "--cached-only", "--lock=" + (fs::path(denoCachePath) / "deno.lock").string(),
            "--frozen", "--allow-net=" + joined(networkList),
            "--allow-read=" + joined(dedupe(readList)),
            "--allow-write=" + joined(dedupe(writeList)),
            // The variables of its environment, by name; never every variable.
            "--allow-env=" + joined(environmentNames), relayPath, sourcesPath,
            "vask_rlm.pyodide_adapter"};
}

Environment RLMHelperRunner::bundledHelperEnvironment(const Environment& inherited) {
    static constexpr std::string_view kNames[] = {
        "HOME",
        "PATH",
        "TMPDIR",
        "LANG",
        "LANGUAGE",
        "TZ",
        "HTTP_PROXY",
        "HTTPS_PROXY",
        "NO_PROXY",
        "ALL_PROXY",
        "http_proxy",
        "https_proxy",
        "no_proxy",
        "all_proxy",
        "SSL_CERT_FILE",
        "SSL_CERT_DIR",
        "DENO_CERT",
        // What the stand-in helper put in the bundle's place acts out (tests and end-to-end
        // runs); the shipped relay does not read it.
        "VASK_TEST_RLM_SCENARIO",
    };
    Environment kept;
    for (const auto& [name, value] : inherited) {
        if (name.starts_with("LC_") ||
            std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames)) {
            kept.emplace(name, value);
        }
    }
    return kept;
}

void RLMHelperRunner::configureDenoEnvironment(const std::string& cachePath, Environment& env) {
    env["DENO_DIR"] = realpathOrSame(cachePath);
    env["DENO_NO_UPDATE_CHECK"] = "1";
    env["DENO_DISABLE_NODE_SHIM"] = "1";
    env["DENO_EXTRA_STDIO_FDS"] = "3";
    env["ZENDREL_RELAY_EVENT_FD"] = "3";
}

void RLMHelperRunner::applyBundledPythonEnv(const std::string& resourceRoot, Environment& env) {
    const fs::path pythonDir = fs::path(resourceRoot) / "python";
    const fs::path versionsDir = pythonDir / "Python.framework" / "Versions";
    std::optional<std::string> versionHome;
    std::error_code error;
    std::vector<std::string> names;
    for (fs::directory_iterator it(versionsDir, error), end; !error && it != end;
         it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    if (!error) {
        std::sort(names.begin(), names.end());
        for (const auto& name : names) {
            if (name != "Current" && name.find('.') != std::string::npos) {
                versionHome = versionsDir.string() + "/" + name;
                break;
            }
        }
    }
    env.try_emplace("DYLD_FRAMEWORK_PATH", pythonDir.string());
    if (versionHome) {
        env.try_emplace("DYLD_LIBRARY_PATH", *versionHome + "/lib");
        env.try_emplace("PYTHONHOME", *versionHome);
    }
    if (!env.contains("PYTHONPATH")) {
        std::string path;
        for (const fs::path& candidate :
             {fs::path(resourceRoot) / "vask-rlm/src", fs::path(resourceRoot) / "vendor",
              pythonDir / "site-packages"}) {
            if (fs::exists(candidate, error)) {
                path += (path.empty() ? "" : ":") + candidate.string();
            }
        }
        if (!path.empty()) {
            env["PYTHONPATH"] = path;
        }
    }
}

std::vector<std::string> RLMHelperRunner::dedupe(const std::vector<std::string>& values) {
    std::vector<std::string> result;
    std::set<std::string> seen;
    for (const auto& value : values) {
        if (seen.insert(value).second) {
            result.push_back(value);
        }
    }
    return result;
}

RLMHelperRunner::LaunchPlan RLMHelperRunner::launchPlan(
    const std::string& dbPath, const std::optional<std::string>& contactsDbPath,
    const std::string& personaContextEndpoint) const {
    LaunchPlan plan;
    plan.environment =
        settings_.launchEnvironment ? settings_.launchEnvironment() : processEnvironment();
    // The relay key travels only inside the request, never through the helper's environment;
    // Vask's other variables (the relay's and the account's addresses, the keychain's service
    // name) are the helper's to read, unlike a child that runs for the user.
    plan.environment.erase(std::string(relayApiKeyVariable));

    if (const auto* shell = std::get_if<Shell>(&helperCommand_)) {
        plan.executable = "/bin/zsh";
        plan.arguments = {"-lc", shell->command};
        if (resourceRoot_ && !resourceRoot_->empty()) {
            plan.environment["VASK_RLM_RESOURCE_ROOT"] = *resourceRoot_;
            applyBundledPythonEnv(*resourceRoot_, plan.environment);
        }
        return plan;
    }

    const auto& deno = std::get<Deno>(helperCommand_);
    auto staged = stageDenoCache(deno.denoDir, plan.environment);
    plan.environment = bundledHelperEnvironment(plan.environment);
    configureDenoEnvironment(staged.cache.string(), plan.environment);
    std::vector<std::string> names;
    for (const auto& entry : plan.environment) {
        names.push_back(entry.first);
    }
    try {
        plan.arguments =
            denoArgs(deno.relayPath.string(), deno.sourcesPath.string(), resourceRoot_.value_or(""),
                     staged.cache.string(), dbPath, contactsDbPath, personaContextEndpoint,
                     settings_.relayServiceHost, names);
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(staged.directory, ignored);
        throw;
    }
    plan.executable = deno.denoURL;
    plan.stagedCache = std::move(staged);
    plan.usesEventChannel = true;
    return plan;
}

std::string RLMHelperRunner::runProcess(std::string_view requestData, const std::string& dbPath,
                                        const std::optional<std::string>& contactsDbPath,
                                        const std::string& personaContextEndpoint,
                                        const RunCallbacks& callbacks, std::stop_token stop) const {
    Scheduler& scheduler = settings_.scheduler ? *settings_.scheduler : Scheduler::system();
    const auto lifecycle = HelperProcessLifecycle::make(settings_.timeouts, scheduler);
    const PipeAbandonment abandonPipes;
    std::stop_callback onCancel(stop, [&lifecycle, &abandonPipes] {
        if (const auto pid = lifecycle->stop(HelperProcessTerminationReason::cancelled)) {
            lifecycle->terminate(*pid);
        }
        abandonPipes.signal();
    });

    auto plan = launchPlan(dbPath, contactsDbPath, personaContextEndpoint);
    const StagedCacheRemoval removal(std::move(plan.stagedCache));

    auto stdinPipe = Pipe::make();
    auto stdoutPipe = Pipe::make();
    auto stderrPipe = Pipe::make();
    std::optional<Pipe> eventPipe;
    if (plan.usesEventChannel) {
        eventPipe = Pipe::make();
    }

    const StructuredLogger& logger = logger_;
    RelayEventCollector collector(RelayEventCollector::Callbacks{
        callbacks.onProgress,
        callbacks.onReasoning,
        callbacks.onExecutionEvent,
        callbacks.onUsageProgress,
        [&logger](std::int64_t version) {
            logger.warning("rlm_trace_abi_version_unsupported",
                           {{"expected", "6"}, {"actual", std::to_string(version)}});
        },
        [&logger](const RLMEngineStartup& startup) {
            logger.info("rlm_engine_startup",
                        {{"engine_version", startup.engineVersion},
                         {"runner_protocol", optionalText(startup.runnerProtocol)},
                         {"provider_protocol", optionalText(startup.providerProtocol)}});
        },
        [&lifecycle](const std::string& type) { lifecycle->record(type); },
    });

    // Whatever the helper starts (through a wrapper script or a command list) ends with this
    // process, a kill -9 included, not only the helper itself.
    ProcessGroupWatch groupWatch;
    ChildSpawn spawn;
    spawn.program = plan.executable;
    spawn.arguments = plan.arguments;
    spawn.environment = environmentBlock(plan.environment);
    spawn.standard = {stdinPipe.readEnd.get(), stdoutPipe.writeEnd.get(),
                      stderrPipe.writeEnd.get()};
    if (eventPipe) {
        spawn.passed = {eventPipe->writeEnd.get()};
    }
    // The helper works where Vask was started, as it always has.
    std::error_code noFolder;
    spawn.workingFolder = fs::current_path(noFolder);
    if (noFolder) {
        spawn.workingFolder = "/";
    }
    spawn.ownProcessGroup = true;
    spawn.diesWithStarter = true;
    spawn.groupWatch = &groupWatch;
    const pid_t pid = spawnChild(spawn);
    // The child's ends are the child's alone: an end kept here would keep its pipe open.
    stdinPipe.readEnd.reset();
    stdoutPipe.writeEnd.reset();
    stderrPipe.writeEnd.reset();
    if (eventPipe) {
        eventPipe->writeEnd.reset();
    }
    lifecycle->install(pid);
    lifecycle->startWatchdog();
    // The watchdog bounds the helper; this bounds what it leaves holding the pipes.
    const auto turnEnds = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(settings_.timeouts.wholeTurn));

    ChildOutputDrain stdoutDrain(std::move(stdoutPipe.readEnd), settings_.outputLimits.stdoutBytes,
                                 abandonPipes, "rlm-helper");
    ChildOutputDrain stderrDrain(std::move(stderrPipe.readEnd), settings_.outputLimits.stderrBytes,
                                 abandonPipes, "rlm-helper");
    std::optional<ChildOutputDrain> eventDrain;
    if (eventPipe) {
        // Events are handed on as they come; none is kept.
        eventDrain.emplace(std::move(eventPipe->readEnd), 0, abandonPipes, "rlm-helper",
                           [&collector](std::string_view chunk) { collector.append(chunk); });
    }
    ChildInputWriter writer(std::move(stdinPipe.writeEnd), requestData, abandonPipes);

    // The helper's end is waited for without reaping it: its group is ended first, while its
    // unreaped leader keeps the group's id from being another's.
    siginfo_t ended{};
    int waitedFor = 0;
    do {
        waitedFor = ::waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT);
    } while (waitedFor == -1 && errno == EINTR);
    lifecycle->finished();
    groupWatch.end();
    int status = 0;
    pid_t waited = 0;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited == -1 && errno == EINTR);
    const int waitError = waited == -1 ? errno : 0;

    // A process that left the helper's group can keep the pipes open for ever: the turn's
    // limit covers them too.
    const bool pipesEnded = stdoutDrain.waitUntil(turnEnds) && stderrDrain.waitUntil(turnEnds) &&
                            (!eventDrain || eventDrain->waitUntil(turnEnds)) &&
                            writer.waitUntil(turnEnds);
    if (!pipesEnded) {
        abandonPipes.signal();
    }
    const int requestFailure = writer.failure();
    std::string stdoutBytes = stdoutDrain.takeData();
    const std::string stderrBytes = stderrDrain.takeData();
    if (eventDrain) {
        eventDrain->join();
    }

    if (waitError != 0) {
        // The child's outcome is unknown (someone else reaped it); never report it as success.
        throw std::system_error(waitError, std::generic_category(), "waitpid");
    }
    const int exitCode = exitCodeOf(status);
    if (requestFailure != 0 && requestFailure != ECANCELED) {
        // A helper that closed its input (or ended) before it read all of its request is the
        // helper's doing, never Vask's end: told here, and its answer or failure stands as given.
        logger_.warning("rlm_helper_request_unread", {{"exit_code", std::to_string(exitCode)},
                                                      {"error", std::strerror(requestFailure)}});
    }
    const std::string stderrText(text::trimmed(utf8OrEmpty(stderrBytes)));
    const bool stdoutOverflowed = stdoutDrain.overflowed();
    const std::string stdoutText = utf8OrEmpty(std::move(stdoutBytes));

    if (const auto reason = lifecycle->reason()) {
        if (*reason == HelperProcessTerminationReason::timeout) {
            throw RLMHelperError::plain(RLMHelperError::Case::executionTimeout);
        }
        throw CancellationError();
    }
    if (!pipesEnded) {
        throw RLMHelperError::plain(RLMHelperError::Case::executionTimeout);
    }
    if (exitCode != 0) {
        if (!stderrText.empty()) {
            logger_.error("rlm_helper_stderr",
                          {{"exit_code", std::to_string(exitCode)},
                           {"stderr_bytes", std::to_string(stderrText.size())}});
        }
        throw RLMHelperError::processFailure(exitCode, stderrText);
    }
    if (stdoutOverflowed) {
        // Only part of the response was kept; it cannot be read as one.
        throw RLMHelperError::decodeFailure("the response is larger than " +
                                            std::to_string(settings_.outputLimits.stdoutBytes) +
                                            " bytes");
    }
    std::string output(text::trimmed(stdoutText));
    if (output.empty()) {
        throw RLMHelperError::plain(RLMHelperError::Case::emptyOutput);
    }
    return output;
}

}  // namespace vask
