#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "engine/relay_event_collector.h"
#include "engine/rlm_helper_runner.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A bundled helper layout with the stand-in as its runtime, and a scenario file beside it.
class StandInBundle {
  public:
    StandInBundle() {
        std::string pattern = (fs::temp_directory_path() / "vask-bench-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
        const fs::path rlm = root_ / "resources" / "rlm";
        fs::create_directories(rlm / "sources");
        fs::create_directories(rlm / "deno-cache" / "npm" / "registry.npmjs.org");
        std::ofstream(rlm / "deno-cache" / "npm" / "registry.npmjs.org" / "pkg.json") << "{}";
        std::ofstream(rlm / "relay.ts") << "";
        fs::create_symlink(VASK_STAND_IN_HELPER, rlm / "deno");
        std::ofstream(root_ / "shadow.db") << "";
    }
    ~StandInBundle() { fs::remove_all(root_); }

    void scenario(const json& steps) const {
        std::ofstream(root_ / "scenario.json") << json{{"steps", steps}}.dump();
    }

    vask::RLMHelperRunner runner(const vask::Environment& env = {}) const {
        vask::RLMHelperRunner::Settings settings;
        settings.relayServiceHost = "relay.example";
        settings.bundleResourceDirectory = root_ / "resources";
        const std::string scenarioPath = (root_ / "scenario.json").string();
        settings.launchEnvironment = [scenarioPath] {
            auto launch = vask::processEnvironment();
            launch["VASK_TEST_RLM_SCENARIO"] = scenarioPath;
            return launch;
        };
        return vask::RLMHelperRunner(env, settings);
    }

    std::string dbPath() const { return (root_ / "shadow.db").string(); }

  private:
    fs::path root_;
};

// Launch to result of a helper that answers at once: staging the module cache, spawning,
// pipes, watchdog, reaping and the group kill. The bundled variant (arg 0) and a shell command
// through zsh (arg 1).
void BM_LaunchToResult(benchmark::State& state) {
    const StandInBundle bundle;
    bundle.scenario(json::array({{{"read_stdin", "all"}}, {{"stdout", "{\"answer\":\"ok\"}"}}}));
    const vask::Environment env =
        state.range(0) == 0 ? vask::Environment{}
                            : vask::Environment{{"VASK_RLM_HELPER_CMD", VASK_STAND_IN_HELPER}};
    const auto runner = bundle.runner(env);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            runner.runProcess("{\"question\":\"hi\"}", bundle.dbPath(), std::nullopt, "", {}));
    }
}
BENCHMARK(BM_LaunchToResult)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Event lines per second through descriptor 3, the collector and the lifecycle, end to end.
void BM_EventThroughput(benchmark::State& state) {
    const StandInBundle bundle;
    const auto count = state.range(0);
    bundle.scenario(
        json::array({{{"event_repeat",
                       {{"event", {{"type", "progress"}, {"status", "Searching messages"}}},
                        {"count", count}}}},
                     {{"stdout", "ok"}}}));
    const auto runner = bundle.runner();
    std::int64_t seen = 0;
    vask::RLMHelperRunner::RunCallbacks callbacks;
    callbacks.onProgress = [&seen](const std::string&) { ++seen; };
    for (auto _ : state) {
        runner.runProcess("{}", bundle.dbPath(), std::nullopt, "", callbacks);
    }
    if (seen != count * static_cast<std::int64_t>(state.iterations())) {
        state.SkipWithError("lost events");
    }
    state.SetItemsProcessed(seen);
}
BENCHMARK(BM_EventThroughput)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

// Line splitting and parsing alone, without the process: usage snapshots, the heaviest event.
void BM_CollectorUsageEvents(benchmark::State& state) {
    const json role = {{"input_tokens", 100},
                       {"output_tokens", 50},
                       {"total_tokens", 150},
                       {"cache_read_tokens", 0},
                       {"cache_creation_tokens", 0},
                       {"requests", 1},
                       {"successes", 1},
                       {"complete", true}};
    const json usage = {{"type", "usage_progress"},
                        {"version", 6},
                        {"run_id", "r"},
                        {"seq", 1},
                        {"boundary", "root"},
                        {"kind", "resolved"},
                        {"persistence_class", "transient"},
                        {"depth", 0},
                        {"root", role},
                        {"subcall", role},
                        {"unattributed", {{"total_tokens", 0}}},
                        {"total_tokens", 300}};
    std::string chunk;
    for (int i = 0; i < 1000; ++i) {
        chunk += usage.dump() + "\n";
    }
    std::int64_t seen = 0;
    vask::RelayEventCollector::Callbacks callbacks;
    callbacks.onUsageProgress = [&seen](const vask::RLMUsageSnapshot&) { ++seen; };
    vask::RelayEventCollector collector(callbacks);
    for (auto _ : state) {
        collector.append(chunk);
    }
    state.SetItemsProcessed(seen);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunk.size()));
}
BENCHMARK(BM_CollectorUsageEvents);

}  // namespace
