// Runs of the real process machinery against the stand-in helper (tools/stand-in-helper), in both
// launch variants: the bundled one (the stand-in placed as rlm/deno, with the event channel) and
// a shell command through /bin/zsh.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <cstring>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "engine/cancellation_error.h"
#include "engine/rlm_helper_error.h"
#include "engine/rlm_helper_runner.h"
#include "helper_resources.h"
#include "support/log_capture.h"
#include "support/process_state.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Case = RLMHelperError::Case;

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Waits for a condition that a child process brings about; fails after a generous bound rather
// than hanging the suite.
template <typename Predicate>
bool eventually(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

json event(json e) {
    return {{"event", std::move(e)}};
}

class HelperProcessRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::makeHelperResources(dir.path());
        fs::create_directories(dir / "db");
        std::ofstream(dir / "db" / "shadow.db") << "";
    }

    void TearDown() override { ::unsetenv("TMPDIR"); }

    RLMHelperRunner bundled(RLMProcessTimeouts timeouts = {}) {
        return RLMHelperRunner({}, settings(timeouts));
    }

    RLMHelperRunner shell(RLMProcessTimeouts timeouts = {}) {
        return RLMHelperRunner(
            {{"VASK_RLM_HELPER_CMD", std::string("'") + VASK_STAND_IN_HELPER + "'"}},
            settings(timeouts));
    }

    RLMHelperRunner::Settings settings(RLMProcessTimeouts timeouts) {
        RLMHelperRunner::Settings s;
        s.relayServiceHost = "relay.example";
        s.bundleResourceDirectory = dir / "resources";
        s.timeouts = timeouts;
        const std::string scenario = (dir / "scenario.json").string();
        s.launchEnvironment = [scenario] {
            auto env = processEnvironment();
            env["VASK_TEST_RLM_SCENARIO"] = scenario;
            env["CORVANE_API_KEY"] = "sk-secret";
            return env;
        };
        return s;
    }

    void scenario(json steps) {
        std::ofstream(dir / "scenario.json")
            << json{{"record_dir", (dir / "record").string()}, {"steps", std::move(steps)}}.dump();
        fs::create_directories(dir / "record");
    }

    std::string run(const RLMHelperRunner& runner, std::string_view request = "{\"q\":1}",
                    RLMHelperRunner::RunCallbacks callbacks = {}, std::stop_token stop = {}) {
        return runner.runProcess(request, (dir / "db" / "shadow.db").string(), std::nullopt,
                                 "http://127.0.0.1:9000", callbacks, stop);
    }

    // The helper error of a run, or a test failure.
    std::optional<RLMHelperError> failure(const RLMHelperRunner& runner) {
        try {
            run(runner);
        } catch (const RLMHelperError& e) {
            return e;
        }
        ADD_FAILURE() << "the run succeeded";
        return std::nullopt;
    }

    json recorded(const std::string& file, int attempt = 1) {
        return json::parse(readText(dir / "record" / std::to_string(attempt) / file));
    }

    bool stagedCacheRemoved() {
        const auto copies = dir / "cache" / "vask-relay-cache";
        return fs::is_empty(dir / "tmp") && (!fs::exists(copies) || fs::is_empty(copies));
    }

    test::TempDir dir;
};

TEST_F(HelperProcessRunTest, OutcomesOfTheProcess) {
    struct Outcome {
        std::string name;
        json steps;
        std::optional<std::string> output;
        std::optional<Case> errorCase;
        std::string message;
        std::int32_t code = 0;
    };
    const std::vector<Outcome> outcomes = {
        {"answer is trimmed",
         {{{"read_stdin", "all"}}, {{"stdout", "\n  {\"answer\": \"hi\"} \n"}}},
         "{\"answer\": \"hi\"}",
         std::nullopt,
         "",
         0},
        {"stderr beside an answer is ignored",
         {{{"stderr", "warning\n"}}, {{"stdout", "ok"}}},
         "ok",
         std::nullopt,
         "",
         0},
        {"boom",
         {{{"stderr", "  boom\n"}}, {{"exit", 3}}},
         std::nullopt,
         Case::processFailure,
         "RLM helper failed: boom",
         3},
        {"silent failure",
         {{{"exit", 1}}},
         std::nullopt,
         Case::processFailure,
         "RLM helper failed with exit code 1.",
         1},
        {"invalid UTF-8 on stderr reads as empty",
         {{{"stderr", "x"}}, {{"stdout_hex", "ff fe"}}, {{"exit", 2}}},
         std::nullopt,
         Case::processFailure,
         "RLM helper failed: x",
         2},
        {"killed by SIGKILL",
         {{{"kill_self", 9}}},
         std::nullopt,
         Case::processFailure,
         "RLM helper failed with exit code 137.",
         137},
        {"blank output",
         {{{"stdout", " \n\t\n"}}},
         std::nullopt,
         Case::emptyOutput,
         "RLM helper returned no output.",
         0},
        {"invalid UTF-8 output",
         {{{"stdout_hex", "7b c3 28 7d"}}},
         std::nullopt,
         Case::emptyOutput,
         "RLM helper returned no output.",
         0},
    };
    for (const auto& variant : {"bundled", "shell"}) {
        for (const auto& o : outcomes) {
            scenario(o.steps);
            const auto runner = std::string(variant) == "bundled" ? bundled() : shell();
            try {
                const auto output = run(runner);
                EXPECT_EQ(output, o.output) << variant << ": " << o.name;
            } catch (const RLMHelperError& e) {
                EXPECT_EQ(e.errorCase(), o.errorCase) << variant << ": " << o.name;
                EXPECT_EQ(std::string(e.what()), o.message) << variant << ": " << o.name;
                EXPECT_EQ(e.code(), o.code) << variant << ": " << o.name;
            }
            EXPECT_TRUE(stagedCacheRemoved()) << variant << ": " << o.name;
        }
    }
}

TEST_F(HelperProcessRunTest, OutputPastItsLimitIsDroppedAndTheRunEnds) {
    constexpr std::size_t limit = 256 * 1024;
    struct Row {
        std::string name;
        json steps;
        Case error;
        std::size_t keptStderr;
    };
    const std::vector<Row> rows = {
        {"flooded standard output",
         {{{"stdout_repeat", {{"text", "x"}, {"count", 4 * limit}}}}},
         Case::decodeFailure,
         0},
        {"flooded standard error",
         {{{"stderr_repeat", {{"text", "\u00e9"}, {"count", 2 * limit}}}}, {{"exit", 1}}},
         Case::processFailure,
         limit},
        {"standard error cut inside a character reads as empty",
         {{{"stderr", "a"}},
          {{"stderr_repeat", {{"text", "\u00e9"}, {"count", limit}}}},
          {{"exit", 1}}},
         Case::processFailure,
         0},
    };
    for (const auto& row : rows) {
        scenario(row.steps);
        auto s = settings({});
        s.outputLimits = {limit, limit};
        const RLMHelperRunner runner({}, s);
        try {
            run(runner);
            ADD_FAILURE() << row.name << ": succeeded";
        } catch (const RLMHelperError& e) {
            EXPECT_EQ(e.errorCase(), row.error) << row.name;
            if (row.error == Case::processFailure) {
                EXPECT_EQ(e.detail().size(), row.keptStderr) << row.name;
            }
            EXPECT_LT(std::string(e.what()).size(), 2100u) << row.name;
        }
    }
}

TEST_F(HelperProcessRunTest, StderrIsLoggedOnlyWhenThereIsSome) {
    test::LogCapture logs;
    scenario({{{"stderr", "  boom\n"}}, {{"exit", 3}}});
    failure(bundled());
    const auto events = logs->events("rlm_helper_stderr");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].metadata.at("stderr_bytes"), "4");
    EXPECT_EQ(events[0].metadata.at("exit_code"), "3");

    logs->clear();
    scenario({{{"exit", 1}}});
    failure(bundled());
    EXPECT_FALSE(logs->contains("rlm_helper_stderr"));
}

TEST_F(HelperProcessRunTest, BundledLaunchGetsItsArgumentsEnvironmentAndPrivateCache) {
    const std::string request = R"({"question":"who?"})";
    scenario({{{"read_stdin", "all"}}, {{"record", true}}, {{"stdout", "ok"}}});
    EXPECT_EQ(run(bundled(), request), "ok");

    const auto argv = recorded("argv.json");
    ASSERT_EQ(argv.size(), 12u);
    EXPECT_EQ(argv[0], (dir / "resources" / "rlm" / "deno").string());
    EXPECT_EQ(argv[1], "run");
    EXPECT_EQ(argv[5], "--allow-net=relay.example,127.0.0.1:9000");
    EXPECT_EQ(argv[9], (dir / "resources" / "rlm" / "relay.ts").string());
    EXPECT_EQ(argv[11], "vask_rlm.pyodide_adapter");

    const auto env = recorded("env.json");
    EXPECT_FALSE(env.contains("CORVANE_API_KEY"));
    EXPECT_EQ(env["ZENDREL_RELAY_EVENT_FD"], "3");
    EXPECT_EQ(env["DENO_EXTRA_STDIO_FDS"], "3");
    const std::string denoDir = env["DENO_DIR"];
    EXPECT_TRUE(denoDir.starts_with(fs::canonical(dir / "cache").string() + "/vask-relay-cache/"))
        << denoDir;
    EXPECT_EQ(recorded("deno_dir.json"),
              (json{"npm", "npm/registry.npmjs.org", "npm/registry.npmjs.org/pkg.json"}));
    EXPECT_EQ(readText(dir / "record" / "1" / "fd3"), "pipe");
    EXPECT_EQ(readText(dir / "record" / "1" / "request"), request);
    EXPECT_FALSE(fs::exists(denoDir));
    EXPECT_TRUE(stagedCacheRemoved());
}

TEST_F(HelperProcessRunTest, ShellLaunchHasNoEventChannel) {
    scenario({{{"record", true}}, {{"stdout", "ok"}}});
    EXPECT_EQ(run(shell()), "ok");
    const auto env = recorded("env.json");
    EXPECT_FALSE(env.contains("CORVANE_API_KEY"));
    EXPECT_FALSE(env.contains("DENO_DIR"));
    EXPECT_FALSE(env.contains("ZENDREL_RELAY_EVENT_FD"));
    EXPECT_EQ(readText(dir / "record" / "1" / "fd3"), "closed");
}

TEST_F(HelperProcessRunTest, EventsReachTheCallbacksInOrder) {
    test::LogCapture logs;
    const json code = {{"type", "code"}, {"version", 6},   {"run_id", "r"},     {"seq", 1},
                       {"depth", 0},     {"iteration", 1}, {"code", "print(1)"}};
    json code7 = code;
    code7["version"] = 7;
    json usage = {{"type", "usage_progress"},
                  {"version", 6},
                  {"run_id", "r"},
                  {"seq", 1},
                  {"boundary", "root"},
                  {"kind", "partial"},
                  {"persistence_class", "transient"},
                  {"depth", 0},
                  {"root",
                   {{"input_tokens", 5},
                    {"output_tokens", 5},
                    {"total_tokens", 10},
                    {"cache_read_tokens", 0},
                    {"cache_creation_tokens", 0},
                    {"requests", 1},
                    {"successes", 1},
                    {"complete", false}}},
                  {"subcall",
                   {{"input_tokens", 0},
                    {"output_tokens", 0},
                    {"total_tokens", 0},
                    {"cache_read_tokens", 0},
                    {"cache_creation_tokens", 0},
                    {"requests", 0},
                    {"successes", 0},
                    {"complete", false}}},
                  {"unattributed", {{"total_tokens", 0}}},
                  {"total_tokens", 10}};
    json invalidUsage = usage;
    invalidUsage["seq"] = 0;
    scenario({
        event({{"type", "startup"}, {"engine_version", "9.1"}, {"runner_protocol", 2}}),
        {{"event_raw", "{\"type\":\"progress\",\"sta"}},
        {{"sleep_ms", 20}},
        {{"event_raw", "tus\":\"Searching\"}\nnot json\n{\"type\":\"nobody-knows\"}\n"}},
        event({{"type", "reasoning_delta"}, {"text", "thinking"}}),
        event(code),
        event(code7),
        event(code7),
        event(invalidUsage),
        event(usage),
        {{"event_raw", "{\"type\":\"progress\",\"status\":\"never\"}"}},
        {{"stdout", "done"}},
    });
    std::vector<std::string> progress;
    std::vector<std::string> reasoning;
    std::vector<ZendrelExecutionEvent> executions;
    std::vector<RLMUsageSnapshot> snapshots;
    RLMHelperRunner::RunCallbacks callbacks{
        [&](const std::string& s) { progress.push_back(s); },
        [&](const std::string& s) { reasoning.push_back(s); },
        [&](const ZendrelExecutionEvent& e) { executions.push_back(e); },
        [&](const RLMUsageSnapshot& s) { snapshots.push_back(s); },
        {}};
    EXPECT_EQ(run(bundled(), "{}", callbacks), "done");
    EXPECT_EQ(progress, (std::vector<std::string>{"Searching"}));
    EXPECT_EQ(reasoning, (std::vector<std::string>{"thinking"}));
    ASSERT_EQ(executions.size(), 1u);
    EXPECT_EQ(executions[0].position.runID, "r");
    ASSERT_EQ(snapshots.size(), 1u);
    EXPECT_EQ(snapshots[0].totalTokens, 10);

    const auto unsupported = logs->events("rlm_trace_abi_version_unsupported");
    ASSERT_EQ(unsupported.size(), 1u);
    EXPECT_EQ(unsupported[0].metadata.at("actual"), "7");
    EXPECT_EQ(unsupported[0].metadata.at("expected"), "6");
    const auto startup = logs->events("rlm_engine_startup");
    ASSERT_EQ(startup.size(), 1u);
    EXPECT_EQ(startup[0].metadata.at("engine_version"), "9.1");
    EXPECT_EQ(startup[0].metadata.at("runner_protocol"), "2");
    EXPECT_EQ(startup[0].metadata.at("provider_protocol"), "absent");
}

TEST_F(HelperProcessRunTest, NoProgressLimitAppliesOnlyWhileCodeRuns) {
    const RLMProcessTimeouts tight{0.05, 60, 0.05};
    // Long model calls without code: the no-progress limit does not apply.
    scenario({event({{"type", "progress"}, {"status", "thinking"}}),
              {{"sleep_ms", 300}},
              {{"stdout", "answered"}}});
    EXPECT_EQ(run(bundled(tight)), "answered");

    scenario({event({{"type", "code"}}), {{"hang", true}}});
    const auto stalled = failure(bundled(tight));
    ASSERT_TRUE(stalled);
    EXPECT_EQ(stalled->errorCase(), Case::executionTimeout);

    // Without any "code" event only the whole-turn limit stops a silent helper.
    scenario({{{"hang", true}}});
    const auto whole = failure(bundled({0.05, 0.2, 0.05}));
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->errorCase(), Case::executionTimeout);
    EXPECT_TRUE(stagedCacheRemoved());
}

TEST_F(HelperProcessRunTest, AHelperIgnoringSigtermIsKilledAfterTheGrace) {
    scenario({{{"ignore_sigterm", true}}, {{"stdout", "late answer"}}, {{"hang", true}}});
    const auto stopped = failure(bundled({1, 0.1, 0.1}));
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->errorCase(), Case::executionTimeout);
}

TEST_F(HelperProcessRunTest, AGrandchildInTheGroupIsGoneAfterTheRun) {
    const std::string pidFile = (dir / "grandchild.pid").string();
    scenario({{{"spawn_grandchild", pidFile}}, {{"stdout", "ok"}}});
    EXPECT_EQ(run(shell()), "ok");
    const pid_t grandchild = std::stoi(readText(pidFile));
    EXPECT_TRUE(eventually([&] { return test::processGone(grandchild); }));
}

TEST_F(HelperProcessRunTest, ADaemonHoldingThePipesEndsTheRunAtTheTurnLimit) {
    // The daemon leaves the helper's group, so nothing kills it, and it keeps standard input,
    // output and error and the event pipe open. A request larger than the pipe buffer keeps the
    // writer waiting on it as well.
    const std::string pidFile = (dir / "daemon.pid").string();
    scenario({{{"spawn_daemon", pidFile}}, {{"stdout", "answer"}}, {{"exit", 0}}});
    const RLMProcessTimeouts timeouts{60, 1, 2};
    const std::string request(1024 * 1024, ' ');
    for (const auto& runner : {bundled(timeouts), shell(timeouts)}) {
        try {
            run(runner, request);
            ADD_FAILURE() << "the run succeeded";
        } catch (const RLMHelperError& e) {
            EXPECT_EQ(e.errorCase(), Case::executionTimeout);
        }
        ::kill(std::stoi(readText(pidFile)), SIGKILL);
    }
}

TEST_F(HelperProcessRunTest, ARequestTheHelperNeverReadsDoesNotHangOrCrash) {
    const std::string request(1 << 20, 'x');
    test::LogCapture logs;
    for (const auto& steps :
         {json{{{"stdout", "ok"}}}, json{{{"read_stdin", 1000}}, {{"stdout", "ok"}}}}) {
        scenario(steps);
        EXPECT_EQ(run(bundled(), request), "ok");
        EXPECT_EQ(run(shell(), request), "ok");
    }
    // The request it left unread is told as the helper's doing.
    const auto unread = logs->events("rlm_helper_request_unread");
    ASSERT_EQ(unread.size(), 4U);
    EXPECT_EQ(unread[0].metadata.at("error"), std::strerror(EPIPE));
    // A helper that streams a lot of output while the request is still being written.
    scenario({{{"stdout_repeat", {{"text", "y"}, {"count", 4 << 20}}}}, {{"read_stdin", "all"}}});
    EXPECT_EQ(run(bundled(), request).size(), 4u << 20);
}

TEST_F(HelperProcessRunTest, CancellationStopsTheHelper) {
    scenario({{{"record", true}}, {{"ignore_sigterm", true}}, {{"hang", true}}});
    std::stop_source source;
    std::thread canceller([&] {
        eventually([&] { return fs::exists(dir / "record" / "1" / "fd3"); });
        source.request_stop();
    });
    EXPECT_THROW(run(bundled({60, 60, 0.05}), "{}", {}, source.get_token()), CancellationError);
    canceller.join();
    EXPECT_TRUE(stagedCacheRemoved());

    std::stop_source early;
    early.request_stop();
    scenario({{{"stdout", "ok"}}});
    EXPECT_THROW(run(bundled(), "{}", {}, early.get_token()), CancellationError);
    EXPECT_TRUE(stagedCacheRemoved());
}

TEST_F(HelperProcessRunTest, FailuresBeforeTheSpawnLeaveNoCacheBehind) {
    scenario({{{"stdout", "ok"}}});
    const auto runner = bundled();
    EXPECT_THROW(runner.runProcess("{}", (dir / "db" / "shadow.db").string(), std::nullopt,
                                   "http://localhost:9000", {}),
                 RLMHelperError);
    EXPECT_TRUE(stagedCacheRemoved());

    fs::create_directories(dir / "resources" / "rlm" / "deno-cache" / "extra");
    try {
        run(runner);
        ADD_FAILURE() << "ran with an altered cache";
    } catch (const RLMHelperError& e) {
        EXPECT_EQ(e.errorCase(), Case::invalidBundledRelayCache);
    }
    EXPECT_TRUE(stagedCacheRemoved());
}

TEST_F(HelperProcessRunTest, AttemptsAnswerIndependentlyAndConcurrentRunsStageApart) {
    std::ofstream(dir / "scenario.json") << json{
        {"record_dir", (dir / "record").string()},
        {"attempts",
         {{{{"record", true}}, {{"sleep_ms", 200}}, {{"exit", 1}}},
          {{{"record", true}},
           {{"stdout", "second"}}}}}}.dump();
    fs::create_directories(dir / "record");
    const auto runner = bundled();
    std::optional<std::string> first;
    std::optional<std::string> second;
    std::thread other([&] {
        try {
            first = run(runner);
        } catch (const RLMHelperError&) {
        }
    });
    try {
        second = run(runner);
    } catch (const RLMHelperError&) {
    }
    other.join();
    // One of the two concurrent runs was the first attempt (exit 1), the other answered.
    EXPECT_NE(first.has_value(), second.has_value());
    EXPECT_EQ(first.value_or(second.value_or("")), "second");
    EXPECT_NE(recorded("env.json", 1)["DENO_DIR"], recorded("env.json", 2)["DENO_DIR"]);
    EXPECT_TRUE(stagedCacheRemoved());
}

}  // namespace
}  // namespace vask
