#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>

#include "engine/rlm_helper_error.h"
#include "engine/rlm_helper_runner.h"
#include "platform/child_spawn.h"
#include "platform/unique_fd.h"
#include "support/eventually.h"
#include "support/process_state.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

namespace fs = std::filesystem;
using Case = RLMHelperError::Case;

void touch(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "x";
}

template <typename F>
Case errorCaseOf(F&& f) {
    try {
        f();
    } catch (const RLMHelperError& e) {
        return e.errorCase();
    }
    ADD_FAILURE() << "no RLMHelperError";
    return Case::emptyOutput;
}

RLMHelperRunner::Settings settingsWith(std::optional<fs::path> resources, Environment launch = {}) {
    RLMHelperRunner::Settings settings;
    settings.relayServiceHost = "relay.example";
    settings.bundleResourceDirectory = std::move(resources);
    settings.launchEnvironment = [launch] { return launch; };
    return settings;
}

TEST(HelperLaunchTest, ChoosesTheVariant) {
    test::TempDir dir;
    touch(dir / "rlm" / "deno");

    const RLMHelperRunner blankCommand({{"VASK_RLM_HELPER_CMD", " \n\t"}},
                                       settingsWith(dir.path()));
    EXPECT_TRUE(std::holds_alternative<RLMHelperRunner::Deno>(blankCommand.helperCommand()));
    EXPECT_EQ(blankCommand.resourceRoot(), (dir / "rlm").string());

    const RLMHelperRunner shell(
        {{"VASK_RLM_HELPER_CMD", "  run-it --now \n"}, {"VASK_RLM_RESOURCE_ROOT", "  "}},
        settingsWith(std::nullopt));
    EXPECT_EQ(shell.helperCommand(),
              RLMHelperRunner::HelperCommand(RLMHelperRunner::Shell{"run-it --now"}));
    EXPECT_EQ(shell.resourceRoot(), "");

    EXPECT_EQ(errorCaseOf([] { RLMHelperRunner({}, settingsWith(std::nullopt)); }),
              Case::missingBundledHelper);
    test::TempDir empty;
    EXPECT_EQ(errorCaseOf([&] { RLMHelperRunner({}, settingsWith(empty.path())); }),
              Case::missingBundledHelper);
}

// A helper named by the developer gets the application's environment but for the relay key,
// which reaches it inside its request: Vask's addresses and names are its to read.
TEST(HelperLaunchTest, ShellEnvironment) {
    const Environment kept = {{"PATH", "/usr/bin"},
                              {"CORVANE_ORG_TOKEN", "token"},
                              {"VASK_CLOUD_BASE_URL", "https://account.example"},
                              {"VASK_RELAY_BASE_URL", "https://relay.example"},
                              {"VASK_RELAY_TOKEN", "token"},
                              {"VASK_KEYCHAIN_SERVICE", "ai.ternwick.Vask.dev"},
                              {"VASK_RLM_RESOURCE_ROOT", "/inherited"}};
    Environment inherited = kept;
    inherited["CORVANE_API_KEY"] = "secret";
    const RLMHelperRunner noRoot({{"VASK_RLM_HELPER_CMD", "helper"}},
                                 settingsWith(std::nullopt, inherited));
    const auto plan = noRoot.launchPlan("/db/shadow.db", std::nullopt, "");
    EXPECT_EQ(plan.executable, "/bin/zsh");
    EXPECT_EQ(plan.arguments, (std::vector<std::string>{"-lc", "helper"}));
    EXPECT_EQ(plan.environment, kept);
    EXPECT_FALSE(plan.usesEventChannel);

    const RLMHelperRunner blankRoot(
        {{"VASK_RLM_HELPER_CMD", "helper"}, {"VASK_RLM_RESOURCE_ROOT", " "}},
        settingsWith(std::nullopt, inherited));
    EXPECT_EQ(blankRoot.launchPlan("/db/shadow.db", std::nullopt, "").environment, kept);

    test::TempDir root;
    const RLMHelperRunner withRoot(
        {{"VASK_RLM_HELPER_CMD", "helper"}, {"VASK_RLM_RESOURCE_ROOT", root.path().string()}},
        settingsWith(std::nullopt, inherited));
    const auto env = withRoot.launchPlan("/db/shadow.db", std::nullopt, "").environment;
    EXPECT_EQ(env.at("VASK_RLM_RESOURCE_ROOT"), root.path().string());
    EXPECT_EQ(env.at("DYLD_FRAMEWORK_PATH"), (root / "python").string());
    EXPECT_FALSE(env.contains("DENO_DIR"));
    EXPECT_FALSE(env.contains("CORVANE_API_KEY"));
}

// The bundled helper is Vask's program: it gets the variables the runtime reads and its own,
// and may read only those; the user's session bus, display and Vask's settings stay behind.
TEST(HelperLaunchTest, TheBundledHelperGetsAnExplicitEnvironment) {
    test::TempDir dir;
    touch(dir / "rlm" / "deno");
    touch(dir / "rlm" / "deno-cache" / "npm" / "file");
    const Environment inherited = {{"HOME", "/home/me"},
                                   {"PATH", "/usr/bin"},
                                   {"LC_TIME", "de_DE.UTF-8"},
                                   {"HTTPS_PROXY", "http://proxy:3128"},
                                   {"XDG_CACHE_HOME", (dir / "cache").string()},
                                   {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/run/user/1000/bus"},
                                   {"DISPLAY", ":0"},
                                   {"VASK_LOG_FILE", "/tmp/vask.log"},
                                   {"VASK_RLM_HELPER_CMD", "  "},
                                   {"CORVANE_API_KEY", "secret"}};
    const RLMHelperRunner bundled(inherited, settingsWith(dir.path(), inherited));
    auto plan = bundled.launchPlan((dir / "shadow.db").string(), std::nullopt, "");
    std::vector<std::string> names;
    for (const auto& entry : plan.environment) {
        names.push_back(entry.first);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"DENO_DIR", "DENO_DISABLE_NODE_SHIM",
                                               "DENO_EXTRA_STDIO_FDS", "DENO_NO_UPDATE_CHECK",
                                               "HOME", "HTTPS_PROXY", "LC_TIME", "PATH",
                                               "ZENDREL_RELAY_EVENT_FD"}));
    EXPECT_EQ(plan.arguments[7],
              "--allow-env=DENO_DIR,DENO_DISABLE_NODE_SHIM,DENO_EXTRA_STDIO_FDS,"
              "DENO_NO_UPDATE_CHECK,HOME,HTTPS_PROXY,LC_TIME,PATH,ZENDREL_RELAY_EVENT_FD");
    fs::remove_all(plan.stagedCache->directory);
}

TEST(HelperLaunchTest, BundledPythonEnvironment) {
    test::TempDir root;
    const fs::path versions = root / "python" / "Python.framework" / "Versions";
    for (const char* name : {"3.9", "3.12", "Current"}) {
        fs::create_directories(versions / name);
    }
    fs::create_directories(root / "vendor");
    fs::create_directories(root / "python" / "site-packages");

    Environment env = {{"PYTHONHOME", "/mine"}};
    RLMHelperRunner::applyBundledPythonEnv(root.path().string(), env);
    EXPECT_EQ(env.at("PYTHONHOME"), "/mine");
    EXPECT_EQ(env.at("DYLD_LIBRARY_PATH"), versions.string() + "/3.12/lib");
    EXPECT_EQ(env.at("PYTHONPATH"),
              (root / "vendor").string() + ":" + (root / "python" / "site-packages").string());

    Environment bare;
    test::TempDir nothing;
    RLMHelperRunner::applyBundledPythonEnv(nothing.path().string(), bare);
    EXPECT_EQ(bare, (Environment{{"DYLD_FRAMEWORK_PATH", (nothing / "python").string()}}));

    Environment deno = {{"DENO_DIR", "/inherited"}};
    RLMHelperRunner::configureDenoEnvironment("/no/such/cache", deno);
    EXPECT_EQ(deno.at("DENO_DIR"), "/no/such/cache");
    EXPECT_EQ(deno.at("ZENDREL_RELAY_EVENT_FD"), "3");
}

std::vector<std::string> args(const std::string& db, const std::optional<std::string>& contacts,
                              const std::string& endpoint) {
    return RLMHelperRunner::denoArgs("/r/relay.ts", "/r/sources", "/r", "/c/deno-cache", db,
                                     contacts, endpoint, "relay.example",
                                     {"DENO_DIR", "ZENDREL_RELAY_EVENT_FD"});
}

TEST(HelperLaunchTest, DenoArguments) {
    test::TempDir dir;
    const std::string db = (dir / "shadow.db").string();
    touch(db);
    const auto list = args(db, "nil", "http://127.0.0.1:8123/persona?x=1");
    ASSERT_EQ(list.size(), 11u);
    EXPECT_EQ(list[0], "run");
    EXPECT_EQ(list[2], "--lock=/c/deno-cache/deno.lock");
    EXPECT_EQ(list[4], "--allow-net=relay.example,127.0.0.1:8123");
    EXPECT_EQ(list[5], "--allow-read=/r,/c/deno-cache," + dir.path().string());
    // The database path is its own resolved form: each sidecar appears once.
    EXPECT_EQ(list[6], "--allow-write=" + db + "-wal," + db + "-shm");
    EXPECT_EQ(list[7], "--allow-env=DENO_DIR,ZENDREL_RELAY_EVENT_FD");
    EXPECT_EQ(list[10], "vask_rlm.pyodide_adapter");

    EXPECT_EQ(args(db, "", "")[4], "--allow-net=relay.example");
    const auto withContacts = args(db, (dir / "contacts.db").string(), "");
    EXPECT_EQ(withContacts[6], "--allow-write=" + db + "-wal," + db + "-shm," +
                                   (dir / "contacts.db-wal").string() + "," +
                                   (dir / "contacts.db-shm").string());

    for (const std::string endpoint :
         {"http://127.0.0.1/persona", "http://localhost:8123", "https://127.0.0.1:8123",
          "HTTP://127.0.0.1:8123", "http://127.0.0.2:8123", "127.0.0.1:8123", "not a url"}) {
        try {
            args(db, std::nullopt, endpoint);
            ADD_FAILURE() << endpoint;
        } catch (const RLMHelperError& e) {
            EXPECT_EQ(e.errorCase(), Case::invalidPersonaContextEndpoint);
            EXPECT_EQ(e.detail(), endpoint);
        }
    }
}

TEST(HelperLaunchTest, WriteListFollowsTheResolvedDatabaseFolder) {
    test::TempDir dir;
    touch(dir / "real" / "shadow.db");
    fs::create_directory_symlink(dir / "real", dir / "link");
    const std::string db = (dir / "link" / "shadow.db").string();
    const auto real = fs::canonical(dir / "real").string();
    EXPECT_EQ(args(db, std::nullopt, "")[6], "--allow-write=" + db + "-wal," + db + "-shm," + real +
                                                 "/shadow.db-wal," + real + "/shadow.db-shm");
}

TEST(HelperLaunchTest, StagesOnlyAPlainCacheHoldingNpm) {
    test::TempDir dir;
    const Environment env{{"XDG_CACHE_HOME", (dir / "cache").string()}};
    const auto cacheWith = [&](const std::string& name, std::vector<std::string> entries) {
        const fs::path cache = dir / name;
        fs::create_directories(cache);
        for (const auto& entry : entries) {
            touch(cache / entry / "file");
        }
        return cache;
    };
    for (const auto& cache : {cacheWith("extra", {"npm", "gen"}), cacheWith("no-npm", {"gen"}),
                              cacheWith("empty", {})}) {
        EXPECT_EQ(errorCaseOf([&] { RLMHelperRunner::stageDenoCache(cache, env); }),
                  Case::invalidBundledRelayCache)
            << cache;
    }
    const auto good = cacheWith("good", {"npm"});
    fs::create_directory_symlink(good, dir / "linked");
    EXPECT_EQ(errorCaseOf([&] { RLMHelperRunner::stageDenoCache(dir / "linked", env); }),
              Case::invalidBundledRelayCache);
    EXPECT_THROW(RLMHelperRunner::stageDenoCache(dir / "missing", env), fs::filesystem_error);

    const mode_t umask = ::umask(0);  // the folders are private whatever the umask
    const auto first = RLMHelperRunner::stageDenoCache(good, env);
    const auto second = RLMHelperRunner::stageDenoCache(good, env);
    ::umask(umask);
    EXPECT_NE(first.directory, second.directory);
    EXPECT_EQ(first.directory.parent_path(), dir / "cache" / "vask-relay-cache");
    EXPECT_TRUE(fs::exists(first.cache / "npm" / "file"));
    for (const auto& folder : {dir / "cache", first.directory.parent_path(), first.directory}) {
        EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << folder;
    }
    fs::remove_all(first.directory);
    fs::remove_all(second.directory);
}

// The copies live in Vask's own folder: the shared temporary folder is neither locked, waited on
// nor swept, so another user holding a lock there (or entries named like ours) changes nothing.
TEST(HelperLaunchTest, CacheCopiesLeftByCrashedRunsAreSweptButLiveOnesAndOthersKept) {
    test::TempDir dir;
    fs::create_directories(dir / "tmp");
    ::setenv("TMPDIR", (dir / "tmp").c_str(), 1);
    const Environment env{{"XDG_CACHE_HOME", (dir / "cache").string()}};
    touch(dir / "bundle" / "npm" / "file");
    const auto parent = dir / "cache" / "vask-relay-cache";
    const auto crashed = parent / "999999999-0A3F0C2E-0000-4000-8000-000000000001";
    touch(crashed / "deno-cache" / "npm" / "file");
    const auto inTemp = dir / "tmp" / "vask-relay-cache-0A3F0C2E-0000-4000-8000-000000000002";
    touch(inTemp / "deno-cache" / "npm" / "file");

    // Locks held elsewhere, as another process would hold them, on every folder involved.
    std::vector<UniqueFd> held;
    for (const auto& folder : {dir / "tmp", dir / "cache", parent}) {
        held.emplace_back(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_EQ(::flock(held.back().get(), LOCK_EX | LOCK_NB), 0) << folder;
    }
    auto staging = std::async(std::launch::async, [&] {
        const auto live = RLMHelperRunner::stageDenoCache(dir / "bundle", env);
        const auto next = RLMHelperRunner::stageDenoCache(dir / "bundle", env);
        return std::pair(live, next);
    });
    const bool returned = staging.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    held.clear();
    EXPECT_TRUE(returned) << "staging waited on a lock held by someone else";
    const auto [live, next] = staging.get();
    EXPECT_FALSE(fs::exists(crashed));
    EXPECT_TRUE(fs::exists(live.cache / "npm" / "file"));
    EXPECT_TRUE(fs::exists(inTemp / "deno-cache" / "npm" / "file"));
    fs::remove_all(live.directory);
    fs::remove_all(next.directory);
    ::unsetenv("TMPDIR");
}

// A parent that is not Vask's own is refused rather than used.
TEST(HelperLaunchTest, CacheCopiesGoOnlyToAFolderOfOurOwn) {
    test::TempDir dir;
    touch(dir / "bundle" / "npm" / "file");
    fs::create_directories(dir / "elsewhere");
    fs::create_directories(dir / "cache");
    fs::create_directory_symlink(dir / "elsewhere", dir / "cache" / "vask-relay-cache");
    const Environment env{{"XDG_CACHE_HOME", (dir / "cache").string()}};
    EXPECT_THROW(RLMHelperRunner::stageDenoCache(dir / "bundle", env), Error);
    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));

    // A shared folder (sticky, open to all) is never narrowed, even by its owner.
    fs::remove(dir / "cache" / "vask-relay-cache");
    fs::create_directories(dir / "cache" / "vask-relay-cache");
    fs::permissions(dir / "cache" / "vask-relay-cache", fs::perms::all | fs::perms::sticky_bit);
    EXPECT_THROW(RLMHelperRunner::stageDenoCache(dir / "bundle", env), Error);
    EXPECT_EQ(fs::status(dir / "cache" / "vask-relay-cache").permissions(),
              fs::perms::all | fs::perms::sticky_bit);

    fs::permissions(dir / "cache" / "vask-relay-cache", fs::perms::all);
    const auto staged = RLMHelperRunner::stageDenoCache(dir / "bundle", env);
    EXPECT_EQ(fs::status(dir / "cache" / "vask-relay-cache").permissions(), fs::perms::owner_all);
    fs::remove_all(staged.directory);
}

// The environment variable that makes the test binary, started again by the test below, the
// application that gets killed: it names what to start, one argument a line. After
// `throughTheRunner`, the one line left is a helper command run as a turn runs it.
constexpr const char* treeVictimVariable = "VASK_TEST_TREE_VICTIM";
constexpr const char* throughTheRunner = "through the helper runner";

TEST(HelperLaunchTest, TreeVictimStartsAHelperAndWaits) {
    const char* command = std::getenv(treeVictimVariable);
    if (command == nullptr) {
        GTEST_SKIP() << "runs only when started by AKilledApplicationTakesTheWholeHelperTreeAlong";
    }
    std::vector<std::string> arguments;
    std::istringstream lines(command);
    for (std::string line; std::getline(lines, line);) {
        arguments.push_back(line);
    }
    if (arguments.front() == throughTheRunner) {
        const RLMHelperRunner runner({{"VASK_RLM_HELPER_CMD", arguments.at(1)}},
                                     settingsWith(std::nullopt, {{"PATH", "/usr/bin:/bin"}}));
        runner.runProcess("{}", "", std::nullopt, "", {});
        return;
    }
    ProcessGroupWatch watch;
    ChildSpawn spawn;
    spawn.program = arguments.front();
    spawn.arguments = {arguments.begin() + 1, arguments.end()};
    spawn.ownProcessGroup = true;
    spawn.diesWithStarter = true;
    spawn.groupWatch = &watch;
    spawnChild(spawn);
    ::pause();
}

// A helper started through a wrapper script or a command list is not the process that the
// parent-death signal reaches: it must still end when the application is killed, whether the
// group is started alone or by the helper runner as every turn starts it.
TEST(HelperLaunchTest, AKilledApplicationTakesTheWholeHelperTreeAlong) {
    test::TempDir dir;
    const auto helper = dir / "helper";
    const auto wrapper = dir / "wrapper";
    // Helpers that reach for their group's watch: one signals its group with a signal the
    // helper and its child ignore, one kills every other process of its group. Each leads its
    // group (the turn's command is the script alone) and writes its pid and its child's, whole.
    const auto signalling = dir / "signalling";
    const auto killing = dir / "killing";
    std::ofstream(helper) << "#!/bin/sh\necho $$ > \"$1\"\nexec sleep 300\n";
    std::ofstream(wrapper) << "#!/bin/sh\n" << helper.string() << " \"$@\"\n";
    const std::string writePids = "echo $$ $child > \"$out.tmp\"; mv \"$out.tmp\" \"$out\"\n";
    std::ofstream(signalling)
        << "#!/bin/sh\nout=$1\ntrap '' USR1\nsleep 300 & child=$!\nkill -USR1 0\n"
        << writePids << "exec sleep 300\n";
    std::ofstream(killing) << "#!/bin/sh\nout=$1\nsleep 300 & child=$!\n"
                           << "for f in /proc/[0-9]*/stat; do\n"
                           << "  read -r s < \"$f\" || continue; set -- ${s##*) }\n"
                           << "  p=${f#/proc/}; p=${p%/stat}\n"
                           << "  [ \"$3\" = $$ ] && [ $p != $$ ] && [ $p != $child ] && "
                              "kill -KILL $p\n"
                           << "done\n"
                           << writePids << "exec sleep 300\n";
    // And one stops its whole group, one stops every other child of Vask's (the watch).
    const auto groupStopping = dir / "group-stopping";
    const auto watchStopping = dir / "watch-stopping";
    std::ofstream(groupStopping) << "#!/bin/sh\nout=$1\nsleep 300 & child=$!\n"
                                 << writePids << "kill -STOP 0\n";
    std::ofstream(watchStopping) << "#!/bin/sh\nout=$1\nsleep 300 & child=$!\n"
                                 << "for f in /proc/[0-9]*/stat; do\n"
                                 << "  read -r s < \"$f\" || continue; set -- ${s##*) }\n"
                                 << "  p=${f#/proc/}; p=${p%/stat}\n"
                                 << "  [ \"$2\" = $PPID ] && [ $p != $$ ] && kill -STOP $p\n"
                                 << "done\n"
                                 << writePids << "exec sleep 300\n";
    for (const auto& script :
         {helper, wrapper, signalling, killing, groupStopping, watchStopping}) {
        fs::permissions(script, fs::perms::owner_all);
    }
    const auto pidFile = (dir / "helper.pid").string();
    struct Start {
        const char* name;
        std::vector<std::string> command;
    };
    const std::vector<Start> cases = {
        {"a wrapper script", {wrapper.string(), pidFile}},
        {"a command list", {"/bin/sh", "-c", helper.string() + " " + pidFile + "; true"}},
        {"a helper command of a turn",
         {throughTheRunner, helper.string() + " " + pidFile + "; true"}},
        {"a helper that signals its group (kill -USR1 0)",
         {throughTheRunner, signalling.string() + " " + pidFile}},
        {"a helper that kills every other process of its group",
         {throughTheRunner, killing.string() + " " + pidFile}},
        {"a helper that stops its group (kill -STOP 0)",
         {throughTheRunner, groupStopping.string() + " " + pidFile}},
        {"a helper that stops its group's watch",
         {throughTheRunner, watchStopping.string() + " " + pidFile}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(pidFile);
        std::string command;
        for (const auto& argument : c.command) {
            command += argument + "\n";
        }
        std::vector<std::string> environment = {std::string(treeVictimVariable) + "=" + command};
        for (char** entry = environ; *entry != nullptr; ++entry) {
            environment.emplace_back(*entry);
        }
        std::vector<char*> envp;
        for (auto& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        std::string self = "/proc/self/exe";
        std::string filter = "--gtest_filter=HelperLaunchTest.TreeVictimStartsAHelperAndWaits";
        const std::vector<char*> argv = {self.data(), filter.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t application = -1;
        ASSERT_EQ(::posix_spawn(&application, "/proc/self/exe", &actions, nullptr, argv.data(),
                                envp.data()),
                  0);
        posix_spawn_file_actions_destroy(&actions);
        std::vector<pid_t> pids;
        const bool started = test::eventually([&] {
            std::ifstream in(pidFile);
            pids.clear();
            for (pid_t pid = 0; in >> pid;) {
                pids.push_back(pid);
            }
            return !pids.empty();
        });
        ::kill(application, SIGKILL);
        ::waitpid(application, nullptr, 0);
        ASSERT_TRUE(started);
        EXPECT_TRUE(test::eventually([&] {
            return std::all_of(pids.begin(), pids.end(),
                               [](pid_t pid) { return test::processGone(pid); });
        })) << "the helper or its child outlived the killed application";
        for (const pid_t pid : pids) {
            ::kill(pid, SIGKILL);
        }
    }
}

TEST(HelperLaunchTest, DedupeKeepsFirstOccurrences) {
    EXPECT_EQ(RLMHelperRunner::dedupe({"b", "a", "b", "c", "a"}),
              (std::vector<std::string>{"b", "a", "c"}));
}

}  // namespace
}  // namespace vask
