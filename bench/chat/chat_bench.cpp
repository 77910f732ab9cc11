#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <stdlib.h>

#include <cstdlib>
#include <fstream>

#include <nlohmann/json.hpp>

#include "chat/chat_view_model.h"
#include "engine/helper_resources.h"
#include "engine/rlm_sandbox_staging.h"
#include "platform/environment.h"
#include "platform/manual_executor.h"
#include "platform/user_defaults.h"
#include "platform/worker_pool.h"
#include "records/sqlite_session_store.h"
#include "sample-chatdb/sample_chat_db.h"
#include "store/shadow_sync.h"
#include "support/bench_sessions.h"
#include "support/streaming_chat.h"

namespace vask {
namespace {

namespace fs = std::filesystem;

struct Fixture {
    fs::path folder =
        fs::temp_directory_path() / ("vask-chat-bench-" + Uuid::random().lowercaseString());
    std::vector<ChatSession> sessions;

    explicit Fixture(int count) : sessions(bench::sessions(count)) {
        fs::create_directories(folder);
        SQLiteSessionStore(path()).saveSessions(sessions);
    }
    ~Fixture() { fs::remove_all(folder); }
    Fixture(const Fixture&) = delete;
    Fixture& operator=(const Fixture&) = delete;

    fs::path path() const { return folder / "sessions.db"; }

    // A main window's chat over these saved chats.
    ChatViewModel::Dependencies dependencies(MainExecutor& main, Executor& worker,
                                             UserDefaults& defaults,
                                             PresetSelection& presets) const {
        ChatViewModel::Dependencies deps{
            .main = main, .worker = worker, .defaults = defaults, .presets = presets};
        deps.shadowDBPath = (folder / "shadow.db").string();
        deps.sessionStore = std::make_shared<SQLiteSessionStore>(path());
        deps.persistsSessions = true;
        return deps;
    }
};

// Time the main executor spends committing one answer while the whole history is saved in the
// background.
void BM_CommitOnMainExecutor(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    ManualExecutor main;
    ManualExecutor worker;
    InMemoryDefaults defaults;
    PresetSelection presets{defaults};
    auto model = ChatViewModel::make(fixture.dependencies(main, worker, defaults, presets));
    // The saved chats are read first: commits save only once they are in.
    worker.runUntilIdle();
    main.runUntilIdle();
    const std::string session = model->currentSessionID.get();
    for (auto _ : state) {
        ChatMessage question = bench::sessionMessage(0, 0);
        model->commitTurn(question, Uuid::random(), "The dinner is at 7 on Saturday.", false,
                          std::nullopt, {}, std::nullopt, session);
    }
    model->flushPendingSaves();
}

// The background save of the whole history that a commit asks for.
void BM_BackgroundSave(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    SessionSaveQueue queue(std::make_shared<SQLiteSessionStore>(fixture.path()),
                           StructuredLogger("chat"));
    ChatViewModel::SessionList list;
    for (const auto& session : fixture.sessions) {
        list.push_back(std::make_shared<const ChatSession>(session));
    }
    int round = 0;
    for (auto _ : state) {
        auto changed = std::make_shared<ChatSession>(*list[0]);
        changed->messages.push_back(bench::sessionMessage(0, ++round));
        list[0] = changed;
        queue.save(list);
        queue.flush();
    }
}

// A shadow database of `messages` synchronised from a sample history, kept between runs because
// building a large one takes minutes.
fs::path sampleShadow(std::int64_t messages) {
    const fs::path folder =
        fs::temp_directory_path() / ("vask-chat-bench-shadow-" + std::to_string(messages));
    const fs::path shadow = folder / "shadow.db";
    if (!fs::exists(folder / "complete")) {
        fs::remove_all(folder);
        fs::create_directories(folder);
        sample::buildSampleChatDB(folder / "chat.db", {messages, 200, 11});
        ShadowSync(folder / "chat.db", shadow).performSync();
        fs::remove(folder / "chat.db");
        std::ofstream(folder / "complete") << "";
    }
    return shadow;
}

// From send() to the committed answer, with a helper that answers at once: everything the host
// adds around the helper (route, staging, request, process start and end, decoding, commit).
void BM_SendToCommittedAnswer(benchmark::State& state) {
    const fs::path shadow = sampleShadow(state.range(0));
    const fs::path folder =
        fs::temp_directory_path() / ("vask-chat-bench-run-" + Uuid::random().lowercaseString());
    fs::create_directories(folder / "data");
    const char* tmp = std::getenv("TMPDIR");
    const std::optional<std::string> previousTmp =
        tmp ? std::optional<std::string>(tmp) : std::nullopt;
    const fs::path resources = test::makeHelperResources(folder);
    std::ofstream(folder / "scenario.json")
        << R"({"steps":[{"read_stdin":"all"},{"respond":{"answer":"Dinner is at 7."}}]})";
    fs::create_hard_link(shadow, folder / "data" / "shadow.db");

    EngineChatHelperRunner::Settings settings;
    settings.runner.relayServiceHost = "127.0.0.1";
    settings.runner.bundleResourceDirectory = resources;
    const std::string scenario = (folder / "scenario.json").string();
    settings.runner.launchEnvironment = [scenario] {
        auto env = processEnvironment();
        env["VASK_TEST_RLM_SCENARIO"] = scenario;
        return env;
    };
    settings.attempt.loadConfig = [] { return std::optional<AppConfig>(); };

    ManualExecutor main;
    WorkerPool worker(2);
    InMemoryDefaults defaults;
    PresetSelection presets{defaults};
    ChatViewModel::Dependencies deps{
        .main = main, .worker = worker, .defaults = defaults, .presets = presets};
    deps.shadowDBPath = (folder / "data" / "shadow.db").string();
    deps.supportDirectory = [folder] { return folder / "data"; };
    deps.authModeProvider = [] { return AuthMode::managed("customer-token", "access"); };
    deps.sessionStore = std::make_shared<SQLiteSessionStore>(folder / "data" / "sessions.db");
    deps.persistsSessions = true;
    deps.helperRunnerFactory = EngineChatHelperRunner::factory({}, settings);
    deps.tierSnapshotRefreshed = std::make_shared<bool>(true);
    auto model = ChatViewModel::make(std::move(deps));

    for (auto _ : state) {
        const std::size_t before = model->transcript().size();
        model->inputText.set("when is dinner with Ana?");
        model->send();
        if (!main.runUntil([&] { return model->transcript().size() == before + 2; },
                           std::chrono::seconds(120))) {
            state.SkipWithError("no answer");
            break;
        }
        model->startNewSession();
    }
    model->flushPendingSaves();
    model.reset();
    if (previousTmp) {
        ::setenv("TMPDIR", previousTmp->c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
    fs::remove_all(folder);
}

// Staging alone, for comparison with the whole turn.
void BM_StagingOnly(benchmark::State& state) {
    const fs::path shadow = sampleShadow(state.range(0));
    const fs::path folder =
        fs::temp_directory_path() / ("vask-chat-bench-stage-" + Uuid::random().lowercaseString());
    fs::create_directories(folder);
    fs::create_hard_link(shadow, folder / "shadow.db");
    const std::vector<ChatSession> sessions{ChatSession{"S1", {}, {}, "t", 0, {}, false}};
    for (auto _ : state) {
        const auto staged = RLMSandboxStaging::stageDatabasesForSandbox(
            (folder / "shadow.db").string(), std::nullopt, std::nullopt, std::nullopt, nullptr,
            sessions, std::nullopt, std::string("S1"));
        staged.cleanup();
    }
    fs::remove_all(folder);
}

// The main executor's time for a turn that streams `range(0)` reasoning pieces of 256 bytes,
// each taken by the main executor before the next is sent (the worst case: no two pieces share
// a batch). The iteration time is the main executor's alone; `max_event_ms` is its longest
// single task.
void BM_ReasoningDeltasThroughTheModel(benchmark::State& state) {
    const auto pieces = static_cast<int>(state.range(0));
    const std::string piece = std::string(255, 'r') + "\n";
    double longest = 0;
    double total = 0;
    for (auto _ : state) {
        bench::StreamingChat chat;
        double mainSeconds = 0;
        const auto drain = [&] {
            const double seconds = bench::secondsOf([&] { chat.main.runUntilIdle(); });
            mainSeconds += seconds;
            longest = std::max(longest, seconds);
        };
        chat.runner->stream = [&](const RLMHelperRunner::RunCallbacks& callbacks) {
            for (int i = 0; i < pieces; ++i) {
                callbacks.onReasoning(piece);
                drain();
            }
        };
        chat.ask();
        drain();
        state.SetIterationTime(mainSeconds);
        total += mainSeconds;
    }
    state.counters["us_per_piece"] =
        total * 1e6 / static_cast<double>(pieces) / static_cast<double>(state.iterations());
    state.counters["max_event_ms"] = longest * 1000;
}

// Loading saved chats: the time the main executor is held while `range(0)` saved chats of 50
// messages are read (on the worker) and published.
void BM_LoadSavedChatsMainExecutorTime(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    double mainSeconds = 0;
    double workerSeconds = 0;
    for (auto _ : state) {
        ManualExecutor main;
        ManualExecutor worker;
        InMemoryDefaults defaults;
        PresetSelection presets{defaults};
        std::shared_ptr<ChatViewModel> model;
        mainSeconds += bench::secondsOf([&] {
            model = ChatViewModel::make(fixture.dependencies(main, worker, defaults, presets));
        });
        workerSeconds += bench::secondsOf([&] { worker.runUntilIdle(); });
        mainSeconds += bench::secondsOf([&] { main.runUntilIdle(); });
        if (model->sessions.get().size() != static_cast<std::size_t>(state.range(0))) {
            state.SkipWithError("not loaded");
            break;
        }
    }
    state.counters["main_ms"] =
        benchmark::Counter(mainSeconds * 1000, benchmark::Counter::kAvgIterations);
    state.counters["worker_ms"] =
        benchmark::Counter(workerSeconds * 1000, benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_ReasoningDeltasThroughTheModel)
    ->Arg(2000)
    ->Arg(8000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadSavedChatsMainExecutorTime)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SendToCommittedAnswer)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StagingOnly)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CommitOnMainExecutor)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BackgroundSave)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vask
