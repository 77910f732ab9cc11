// From a message written to the Messages database to the same message found by a search of the
// shadow database, through the whole automatic path: the folder watcher, the view model's run
// on the worker, and the incremental copy into a shadow database of a 1,000,000-message history.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/manual_executor.h"
#include "platform/user_defaults.h"
#include "platform/worker_pool.h"
#include "sample-chatdb/sample_chat_db.h"
#include "shell/shadow_sync_view_model.h"
#include "store/chat_db_reader.h"
#include "store/shadow_db.h"
#include "store/shadow_sync.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::int64_t historySize = 1000000;

// The history and its shadow copy, built once and kept between runs of the benchmark.
fs::path cachedFolder() {
    const fs::path folder = fs::path(VASK_BENCH_CACHE_DIR) / "shell-sync-1m";
    const auto done = folder / "complete";
    if (!fs::exists(done)) {
        fs::remove_all(folder);
        fs::create_directories(folder / "Messages");
        fs::create_directories(folder / "support");
        vask::sample::buildSampleChatDB(folder / "Messages" / "chat.db",
                                        {.messages = historySize, .chats = 200, .seed = 3});
        vask::ShadowSync(folder / "Messages" / "chat.db", folder / "support" / "shadow.db")
            .performSync();
        std::ofstream(done) << "1\n";
    }
    return folder;
}

// One new message, the way the Messages app stores it: the row and its chat link in one commit.
void writeMessage(const fs::path& chatDB, const std::string& guid, const std::string& text) {
    auto db = vask::SQLiteConnection::open(chatDB, vask::SQLiteSupport::OpenMode::readWriteCreate);
    db.inImmediateTransaction([&] {
        vask::SQLiteStatement insert(
            db.get(),
            "INSERT INTO message (guid, text, date, is_from_me, handle_id) "
            "VALUES (?, ?, (SELECT MAX(date) FROM message) + 1000000000, 1, 0)");
        insert.bind(1, guid).bind(2, text).run();
        vask::SQLiteStatement join(db.get(),
                                   "INSERT INTO chat_message_join (chat_id, message_id) "
                                   "VALUES ((SELECT MIN(ROWID) FROM chat), ?)");
        join.bind(1, std::int64_t{sqlite3_last_insert_rowid(db.get())}).run();
    });
}

void BM_ChangeToSearchable(benchmark::State& state) {
    const auto folder = cachedFolder();
    const auto chatDB = folder / "Messages" / "chat.db";
    vask::InMemoryDefaults defaults;
    vask::ManualExecutor main;
    vask::WorkerPool worker(1);
    auto viewModel = vask::ShadowSyncViewModel::make({
        .supportDirectory = [&] { return folder / "support"; },
        .chatDBPath = chatDB,
        .defaults = defaults,
        .fileAccessEnabledKey = "fileAccessEnabled",
        .keepMessagesPreference = [] { return std::optional<int>(); },
        .main = main,
        .worker = worker,
        .scheduler = vask::Scheduler::system(),
    });
    // The first run catches up and starts the watcher.
    viewModel->syncIfPossible();
    main.runUntil([&] { return viewModel->syncGeneration.get() == 1; }, 600s);
    vask::ShadowSync reader(chatDB, folder / "support" / "shadow.db");

    std::vector<double> ms;
    const auto stamp = std::chrono::system_clock::now().time_since_epoch().count();
    int serial = 0;
    for (auto _ : state) {
        state.PauseTiming();
        // Quiet well beyond the watcher's batching window (the write's own later events are
        // delivered one window after the first), so each change is reported the moment it lands.
        main.runUntil([] { return false; }, 2500ms);
        const std::string token =
            "zqxbench" + std::to_string(stamp) + "n" + std::to_string(++serial);
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        writeMessage(chatDB, "bench-" + token, "latency probe " + token);
        bool found = false;
        while (!found) {
            main.runUntilIdle();
            found = !reader.search(token, 1).empty();
            if (!found) {
                std::this_thread::sleep_for(1ms);
            }
        }
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    state.counters["p50_ms"] = ms[ms.size() / 2];
    state.counters["p95_ms"] = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
    state.counters["history"] = static_cast<double>(viewModel->messageCount.get());
    main.runUntil([&] { return !viewModel->isSyncing.get(); }, 60s);
}
BENCHMARK(BM_ChangeToSearchable)->Iterations(100)->Unit(benchmark::kMillisecond);

// The steps of a run that finds nothing new, each on its own: where a change's latency goes.
void BM_RunStep(benchmark::State& state) {
    const auto folder = cachedFolder();
    const auto chatDB = folder / "Messages" / "chat.db";
    const auto shadowDB = folder / "support" / "shadow.db";
    vask::ShadowSync sync(chatDB, shadowDB);
    for (auto _ : state) {
        switch (state.range(0)) {
            case 0:
                benchmark::DoNotOptimize(sync.performSync());
                break;
            case 1:
                benchmark::DoNotOptimize(sync.messageCount());
                break;
            case 2:
                benchmark::DoNotOptimize(vask::ChatDBReader(chatDB).oldestMessageDate());
                break;
            default:
                vask::ShadowDB(shadowDB, vask::ShadowDB::OpenMode::readWrite).dropFileCacheSchema();
                break;
        }
    }
    static constexpr const char* names[] = {"performSync", "messageCount", "oldestMessageDate",
                                            "dropFileCacheSchema"};
    state.SetLabel(names[state.range(0)]);
}
BENCHMARK(BM_RunStep)->DenseRange(0, 3)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace
