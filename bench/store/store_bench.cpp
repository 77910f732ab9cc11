// Synchronisation benchmarks over sample Messages databases, measured against SQLite copying the
// same kind of rows into the same shadow schema by INSERT ... SELECT.

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "busy-processor/busy_processor.h"
#include "platform/log_sink.h"
#include "sample-chatdb/sample_chat_db.h"
#include "store/chat_db_reader.h"
#include "store/shadow_db.h"
#include "store/shadow_sync.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "typedstream-writer/attributed_body.h"

namespace {

namespace fs = std::filesystem;
using Seconds = std::chrono::duration<double>;

constexpr std::int64_t chatsPerSample = 500;
constexpr std::uint64_t sampleSeed = 1;

// A folder for this run's sample databases, removed at exit. The path outlives static
// destruction, so the exit handler can still use it.
const fs::path& workFolder() {
    static const fs::path* const folder = [] {
        std::string pattern = (fs::temp_directory_path() / "vask-bench-store-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        auto* path = new fs::path(pattern);
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(workFolder(), ignored);
        });
        return path;
    }();
    return *folder;
}

// The sample Messages database of `messages` rows, built once per run.
const fs::path& sampleChatDB(std::int64_t messages) {
    static std::map<std::int64_t, fs::path> built;
    auto it = built.find(messages);
    if (it == built.end()) {
        const auto path = workFolder() / ("chat-" + std::to_string(messages) + ".db");
        vask::sample::buildSampleChatDB(path, {messages, chatsPerSample, sampleSeed});
        it = built.emplace(messages, path).first;
    }
    return it->second;
}

void removeDatabase(const fs::path& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        fs::remove(path.string() + suffix);
    }
}

struct ChildRun {
    double seconds = 0;
    double cpuSeconds = 0;  // user and system, all threads of the child
    double memoryGrowthMiB = 0;
};

double cpuSecondsOf(const rusage& usage) {
    auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// CPU time of the calling thread (user and system).
double threadCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A figure of /proc/self/status ("VmRSS", "VmHWM") in KiB.
long statusKiB(std::string_view field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

// Runs one synchronisation in a child process and measures how far its peak resident memory
// rose above where it started (the pages it shares with this process are not its own).
ChildRun syncInChild(const fs::path& chatDB, const fs::path& shadowDB) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        return {-1, 0};
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        // The heap this process inherits holds what the benchmark freed (its own synchronisations
        // of the history), already resident: reused, it would hide the run's allocations.
        ::malloc_trim(0);
        {
            std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak to the current size
        }
        const long before = statusKiB("VmRSS");
        long growth = -1;
        try {
            vask::ShadowSync(chatDB, shadowDB).performSync();
            growth = statusKiB("VmHWM") - before;
        } catch (...) {
            growth = -1;
        }
        [[maybe_unused]] const auto written = ::write(pipeFds[1], &growth, sizeof growth);
        std::_Exit(growth < 0 ? 1 : 0);
    }
    ::close(pipeFds[1]);
    long growth = -1;
    [[maybe_unused]] const auto read = ::read(pipeFds[0], &growth, sizeof growth);
    ::close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    ChildRun run;
    run.seconds = Seconds(std::chrono::steady_clock::now() - start).count();
    run.cpuSeconds = cpuSecondsOf(usage);
    run.memoryGrowthMiB = static_cast<double>(growth) / 1024.0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        run.seconds = -1;
    }
    return run;
}

// SQLite alone: the rows whose text sits in the text column, mapped in SQL as far as SQL can
// (no body decoding, no handle normalisation), inserted into the same schema with its
// full-text triggers.
struct BaselineRun {
    double seconds = 0;
    double cpuSeconds = 0;
    std::int64_t rows = 0;
};
BaselineRun insertSelectBaseline(const fs::path& chatDB, const fs::path& shadowDB) {
    removeDatabase(shadowDB);
    {
        vask::ShadowDB shadow(shadowDB);
        shadow.createSchemaIfNeeded();
    }
    auto db =
        vask::SQLiteConnection::open(shadowDB, vask::SQLiteSupport::OpenMode::readWriteCreate);
    vask::SQLiteSupport::configureWriter(db.get(), vask::SQLiteSupport::SynchronousMode::normal,
                                         false);
    // The same connection settings as the shadow database's own writers.
    db.execute(
        "PRAGMA recursive_triggers = ON; PRAGMA cache_size = -32768; PRAGMA temp_store = MEMORY");
    vask::SQLiteStatement attach(db.get(), "ATTACH DATABASE ? AS source");
    attach.bind(1, chatDB.string()).run();
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = threadCpuSeconds();
    db.inImmediateTransaction([&] {
        db.execute(R"(INSERT OR REPLACE INTO messages
(guid, chat_id, chat_name, sender, text, timestamp, is_from_me, is_group,
 recipient_handle, has_attachments, attachment_types, content_hash)
SELECT m.guid, IFNULL(c.guid, 'unknown'), c.display_name,
       CASE WHEN m.is_from_me THEN 'me' ELSE IFNULL(lower(h.id), 'unknown') END,
       m.text, m.date, m.is_from_me != 0, IFNULL(c.style, 0) = 43,
       CASE WHEN m.is_from_me AND IFNULL(c.style, 0) != 43 THEN h.id END, 0, NULL,
       substr(hex(m.guid), 1, 16)
FROM source.message m
LEFT JOIN source.handle h ON m.handle_id = h.ROWID
LEFT JOIN source.chat_message_join cmj ON m.ROWID = cmj.message_id
LEFT JOIN source.chat c ON cmj.chat_id = c.ROWID
WHERE m.text IS NOT NULL AND m.text != ''
ORDER BY m.ROWID)");
    });
    const double seconds = Seconds(std::chrono::steady_clock::now() - start).count();
    const double cpuSeconds = threadCpuSeconds() - cpuStart;
    vask::SQLiteStatement count(db.get(), "SELECT COUNT(*) FROM messages");
    count.step();
    return {seconds, cpuSeconds, count.columnInt64(0)};
}

// Initial synchronisation of a whole sample database, beside SQLite's own copy of its text rows.
void BM_InitialSync(benchmark::State& state) {
    const auto& chatDB = sampleChatDB(state.range(0));
    const auto shadowDB = workFolder() / "initial-shadow.db";
    const auto baselineDB = workFolder() / "baseline-shadow.db";
    std::int64_t written = 0;
    for (auto _ : state) {
        removeDatabase(shadowDB);
        const auto run = syncInChild(chatDB, shadowDB);
        if (run.seconds < 0) {
            state.SkipWithError("synchronisation failed");
            return;
        }
        state.SetIterationTime(run.seconds);
        written = vask::ShadowSync(chatDB, shadowDB).messageCount();
        const auto baseline = insertSelectBaseline(chatDB, baselineDB);
        const auto messages = static_cast<double>(written);
        const auto baselineRows = static_cast<double>(baseline.rows);
        state.counters["messages_written"] = messages;
        state.counters["sync_msgs_per_s"] = messages / run.seconds;
        state.counters["sync_cpu_s"] = run.cpuSeconds;
        state.counters["sync_peak_rss_growth_MiB"] = run.memoryGrowthMiB;
        state.counters["baseline_rows"] = baselineRows;
        state.counters["baseline_rows_per_s"] = baselineRows / baseline.seconds;
        state.counters["baseline_cpu_s"] = baseline.cpuSeconds;
        state.counters["time_ratio_per_row"] =
            (run.seconds / messages) / (baseline.seconds / baselineRows);
        // The same in CPU time, which other work on the machine moves less.
        state.counters["cpu_ratio_per_row"] =
            (run.cpuSeconds / messages) / (baseline.cpuSeconds / baselineRows);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_InitialSync)
    ->Arg(100000)
    ->Arg(300000)
    ->Arg(1000000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The same two started together, as they would meet on a machine that runs other work: the
// synchronisation in its child process, SQLite's copy on a thread of this one. The ratios are
// what each took per row while the other ran.
void BM_InitialSyncBesideCopy(benchmark::State& state) {
    const auto& chatDB = sampleChatDB(state.range(0));
    const auto shadowDB = workFolder() / "together-shadow.db";
    const auto baselineDB = workFolder() / "together-baseline-shadow.db";
    for (auto _ : state) {
        removeDatabase(shadowDB);
        auto baselineRun = std::async(std::launch::async,
                                      [&] { return insertSelectBaseline(chatDB, baselineDB); });
        const auto run = syncInChild(chatDB, shadowDB);
        const auto baseline = baselineRun.get();
        if (run.seconds < 0) {
            state.SkipWithError("synchronisation failed");
            return;
        }
        state.SetIterationTime(run.seconds);
        const auto messages =
            static_cast<double>(vask::ShadowSync(chatDB, shadowDB).messageCount());
        const auto baselineRows = static_cast<double>(baseline.rows);
        state.counters["messages_written"] = messages;
        state.counters["sync_cpu_s"] = run.cpuSeconds;
        state.counters["baseline_s"] = baseline.seconds;
        state.counters["baseline_cpu_s"] = baseline.cpuSeconds;
        state.counters["time_ratio_per_row"] =
            (run.seconds / messages) / (baseline.seconds / baselineRows);
        state.counters["cpu_ratio_per_row"] =
            (run.cpuSeconds / messages) / (baseline.cpuSeconds / baselineRows);
    }
}
BENCHMARK(BM_InitialSyncBesideCopy)
    ->Arg(1000000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void checkpoint(const fs::path& database) {
    vask::SQLiteConnection::open(database, vask::SQLiteSupport::OpenMode::readWriteCreate)
        .execute("PRAGMA wal_checkpoint(TRUNCATE)");
}

// A history of 1,000,000 messages and its shadow database, synchronised once per run.
std::pair<fs::path, fs::path> syncedHistory() {
    const auto& chatDB = sampleChatDB(1000000);
    const auto syncedShadow = workFolder() / "synced-1m-shadow.db";
    if (!fs::exists(syncedShadow)) {
        vask::ShadowSync(chatDB, syncedShadow).performSync();
        checkpoint(syncedShadow);
    }
    return {chatDB, syncedShadow};
}

// Working copies of a Messages database and its shadow database.
void copyPair(const std::pair<fs::path, fs::path>& from, const std::pair<fs::path, fs::path>& to) {
    removeDatabase(to.first);
    removeDatabase(to.second);
    fs::copy_file(from.first, to.first);
    fs::copy_file(from.second, to.second);
}

// Copies of the synchronised history with `chatless` messages more, synchronised while their
// chat joins were held back (in the table held_joins): all of them in chat "unknown".
std::pair<fs::path, fs::path> historyWithChatless(std::int64_t chatless, const std::string& name) {
    const std::pair<fs::path, fs::path> pair{workFolder() / (name + "-chat.db"),
                                             workFolder() / (name + "-shadow.db")};
    copyPair(syncedHistory(), pair);
    auto chatDB =
        vask::SQLiteConnection::open(pair.first, vask::SQLiteSupport::OpenMode::readWriteCreate);
    const auto before = [&] {
        vask::SQLiteStatement last(chatDB.get(), "SELECT MAX(ROWID) FROM message");
        last.step();
        return last.columnInt64(0);
    }();
    vask::sample::appendSampleMessages(pair.first, chatless, 7);
    chatDB.execute(
        "CREATE TABLE held_joins AS SELECT chat_id, message_id, message_date "
        "FROM chat_message_join WHERE message_id > " +
        std::to_string(before) +
        ";"
        "DELETE FROM chat_message_join WHERE message_id > " +
        std::to_string(before));
    chatDB = vask::SQLiteConnection();
    vask::ShadowSync(pair.first, pair.second).performSync();
    checkpoint(pair.first);
    checkpoint(pair.second);
    return pair;
}

// New messages on top of a synchronised history of 1,000,000: the plain case, and the same over
// 100,000 more messages that never get a chat join (second argument 1).
void BM_IncrementalSync(benchmark::State& state) {
    const auto newMessages = state.range(0);
    const auto base =
        state.range(1) == 0 ? syncedHistory() : historyWithChatless(100000, "never-joined-base");
    const std::pair<fs::path, fs::path> work{workFolder() / "incremental-chat.db",
                                             workFolder() / "incremental-shadow.db"};
    std::uint64_t seed = 100;
    std::int64_t written = 0;
    for (auto _ : state) {
        state.PauseTiming();
        copyPair(base, work);
        vask::sample::appendSampleMessages(work.first, newMessages, seed++);
        state.ResumeTiming();
        written += vask::ShadowSync(work.first, work.second).performSync();
    }
    state.counters["messages_written"] =
        benchmark::Counter(static_cast<double>(written), benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations() * newMessages);
}
BENCHMARK(BM_IncrementalSync)
    ->ArgNames({"new", "never_joined_100k"})
    ->Args({1000, 0})
    ->Args({1, 0})
    ->Args({1000, 1})
    ->Args({1, 1})
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

// Copies of the synchronised history of 1,000,000 where about `chatless` messages spread over all
// of it wait in chat "unknown", their chat joins held back (in the table held_joins), as if each
// had been copied before its join came. `atRandom` false: every n-th message row, the joins chat
// by chat (as a history restored one chat after another brings them: each batch of joins names
// messages from the whole history). True: messages picked at random (a fixed hash of the row id),
// their joins in random order (another), so each batch of joins names messages of every chat.
std::pair<fs::path, fs::path> historyWithSpreadChatless(std::int64_t chatless,
                                                        const std::string& name, bool atRandom) {
    const std::pair<fs::path, fs::path> pair{workFolder() / (name + "-chat.db"),
                                             workFolder() / (name + "-shadow.db")};
    copyPair(syncedHistory(), pair);
    const auto every = std::to_string(std::max<std::int64_t>(1, 1000000 / chatless));
    auto chatDB =
        vask::SQLiteConnection::open(pair.first, vask::SQLiteSupport::OpenMode::readWriteCreate);
    // The newest message keeps its joins: the last join read stays where the last run left it.
    // Multiplicative hashes of the row id, modulo a prime: fixed, and far from any order.
    const std::string picked =
        atRandom ? "(message_id * 2654435761) % 4294967291 % " + every : "message_id % " + every;
    const std::string order =
        atRandom ? "(message_id * 40503) % 1000003, message_id" : "chat_id, message_id";
    chatDB.execute(
        "CREATE TABLE held_joins AS SELECT chat_id, message_id, message_date "
        "FROM chat_message_join WHERE " +
        picked +
        " = 0 AND message_id < "
        "(SELECT MAX(message_id) FROM chat_message_join) ORDER BY " +
        order +
        ";"
        "DELETE FROM chat_message_join WHERE message_id IN "
        "(SELECT message_id FROM held_joins)");
    chatDB = vask::SQLiteConnection();
    auto shadow =
        vask::SQLiteConnection::open(pair.second, vask::SQLiteSupport::OpenMode::readWriteCreate);
    vask::SQLiteStatement attach(shadow.get(), "ATTACH DATABASE ? AS source");
    attach.bind(1, pair.first.string()).run();
    shadow.inImmediateTransaction([&] {
        shadow.execute(
            "UPDATE messages SET chat_id = 'unknown', chat_name = NULL, is_group = 0 "
            "WHERE guid IN (SELECT guid FROM source.message WHERE ROWID IN "
            "(SELECT message_id FROM source.held_joins))");
    });
    shadow.execute("DETACH DATABASE source");
    shadow = vask::SQLiteConnection();
    checkpoint(pair.first);
    checkpoint(pair.second);
    return pair;
}

// 100,000 chat joins arriving in one commit (a history downloaded while Vask runs) for messages
// already copied into chat "unknown", over a history of 1,000,000: the run that moves them into
// their chats, in a child process for its peak memory growth and CPU time. The messages are the
// newest (`spread:0`), or spread over the whole history, their joins chat by chat (`spread:1`),
// or picked at random over it, their joins in random order (`spread:2`).
void BM_LateJoinSync(benchmark::State& state) {
    const auto late = state.range(0);
    const auto base =
        state.range(1) == 0
            ? historyWithChatless(late, "late-join-base")
            : historyWithSpreadChatless(late, "late-join-spread-" + std::to_string(state.range(1)),
                                        state.range(1) == 2);
    const std::pair<fs::path, fs::path> work{workFolder() / "late-join-chat.db",
                                             workFolder() / "late-join-shadow.db"};
    for (auto _ : state) {
        copyPair(base, work);
        vask::SQLiteConnection::open(work.first, vask::SQLiteSupport::OpenMode::readWriteCreate)
            .execute(
                "INSERT INTO chat_message_join (chat_id, message_id, message_date) "
                "SELECT chat_id, message_id, message_date FROM held_joins");
        const auto run = syncInChild(work.first, work.second);
        if (run.seconds < 0) {
            state.SkipWithError("synchronisation failed");
            return;
        }
        state.SetIterationTime(run.seconds);
        state.counters["sync_cpu_s"] = run.cpuSeconds;
        state.counters["sync_peak_rss_growth_MiB"] = run.memoryGrowthMiB;
        auto shadow = vask::SQLiteConnection::open(work.second,
                                                   vask::SQLiteSupport::OpenMode::readWriteCreate);
        vask::SQLiteStatement unknown(shadow.get(),
                                      "SELECT COUNT(*) FROM messages WHERE chat_id = 'unknown'");
        unknown.step();
        state.counters["left_in_unknown"] = static_cast<double>(unknown.columnInt64(0));
        const auto chatDB =
            vask::SQLiteConnection::open(work.first, vask::SQLiteSupport::OpenMode::readOnly);
        vask::SQLiteStatement joins(chatDB.get(),
                                    "SELECT COUNT(DISTINCT message_id) FROM held_joins");
        joins.step();
        state.counters["joined_messages"] = static_cast<double>(joins.columnInt64(0));
    }
    state.SetItemsProcessed(state.iterations() * late);
}
BENCHMARK(BM_LateJoinSync)
    ->ArgNames({"joins", "spread"})
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Args({100000, 2})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// How long a stop takes to end a first synchronisation's copy: the stop comes at a different
// point of the copy in each iteration, and the time from the request to performSync's return is
// measured. `at:0`: every 150 ms from 100 ms on, inside a batch or between two. `at:1`: every
// 40 ms from the report of the 20th batch on (the last of a group where batches are grouped), so
// through the commits that follow and the checkpoints after them. The counters: the longest and
// the median of those times.
void BM_StopDuringFirstCopy(benchmark::State& state) {
    const auto& chatDB = sampleChatDB(state.range(0));
    const bool atGroupCommit = state.range(1) == 1;
    const auto shadowDB = workFolder() / "stopped-shadow.db";
    std::vector<double> latencies;
    int iteration = 0;
    for (auto _ : state) {
        removeDatabase(shadowDB);
        std::stop_source stop;
        std::chrono::steady_clock::time_point ended;
        bool cancelled = false;
        std::promise<void> groupWritten;
        const std::int64_t perGroup = std::int64_t{vask::ShadowSync::defaultBatchSize} *
                                      vask::ShadowSync::bulkBatchesPerTransaction;
        std::thread run([&] {
            try {
                vask::ShadowSync(chatDB, shadowDB)
                    .performSync(
                        [&](std::int64_t processed, std::int64_t) {
                            if (processed == perGroup) {
                                groupWritten.set_value();
                            }
                        },
                        stop.get_token());
            } catch (const vask::ShadowSyncError& error) {
                cancelled = error.kind() == vask::ShadowSyncError::Case::cancelled;
            }
            ended = std::chrono::steady_clock::now();
        });
        if (atGroupCommit) {
            groupWritten.get_future().wait();
            std::this_thread::sleep_for(std::chrono::milliseconds(40 * iteration++));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(100 + 150 * iteration++));
        }
        const auto requested = std::chrono::steady_clock::now();
        stop.request_stop();
        run.join();
        if (!cancelled) {
            state.SkipWithError("the copy ended before the stop");
            return;
        }
        const double seconds = Seconds(ended - requested).count();
        state.SetIterationTime(seconds);
        latencies.push_back(seconds * 1000);
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["stop_max_ms"] = latencies.back();
    state.counters["stop_median_ms"] = latencies[latencies.size() / 2];
}
BENCHMARK(BM_StopDuringFirstCopy)
    ->ArgNames({"messages", "at"})
    ->Args({300000, 0})
    ->Args({300000, 1})
    ->Args({2000000, 1})
    ->Iterations(12)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The log's pages not yet copied back into the database (the wal-index header's last frame,
// less the checkpoint's backfill, as SQLite's file format of the wal-index lays them out): what
// the close of the last connection copies back.
std::int64_t logPagesToCheckpoint(const fs::path& shadowDB) {
    std::ifstream shm(shadowDB.string() + "-shm", std::ios::binary);
    std::uint32_t lastFrame = 0;
    std::uint32_t backfilled = 0;
    shm.seekg(16);
    shm.read(reinterpret_cast<char*>(&lastFrame), sizeof(lastFrame));
    shm.seekg(96);
    shm.read(reinterpret_cast<char*>(&backfilled), sizeof(backfilled));
    return shm ? static_cast<std::int64_t>(lastFrame) - backfilled : 0;
}

// How long a stop takes when a first copy's log is as full as it gets (one more batch like the
// last would pass the checkpoint interval, `ShadowDB::bulkCopyCheckpointPages`): the copy ends
// at the next batch, and the close copies the log back into the database. `busy:1` pins the run
// to one processor beside three spinning threads from the stop on. Each iteration copies the
// 300,000-message sample afresh. The counters: the longest and the median stop, the log's pages
// at the stop, and the copy's seconds up to it.
void BM_StopWithFullLog(benchmark::State& state) {
    const auto& chatDB = sampleChatDB(300000);
    const bool busyCore = state.range(0) == 1;
    const auto shadowDB = workFolder() / "full-log-shadow.db";
    std::vector<double> latencies;
    std::int64_t logPages = 0;
    double copySeconds = 0;
    for (auto _ : state) {
        removeDatabase(shadowDB);
        std::stop_source stop;
        std::optional<vask::test::BusyProcessor> busy;
        std::chrono::steady_clock::time_point requested;
        std::chrono::steady_clock::time_point ended;
        bool cancelled = false;
        std::int64_t previous = 0;
        const auto start = std::chrono::steady_clock::now();
        std::thread run([&] {
            try {
                vask::ShadowSync(chatDB, shadowDB)
                    .performSync(
                        [&](std::int64_t processed, std::int64_t) {
                            if (processed == 0 || stop.stop_requested()) {
                                return;
                            }
                            const auto fill = logPagesToCheckpoint(shadowDB);
                            const auto batch = fill - previous;
                            previous = fill;
                            if (batch > 0 &&
                                fill + batch > vask::ShadowDB::bulkCopyCheckpointPages) {
                                if (busyCore) {
                                    busy.emplace();
                                    busy->pinCallingThread();
                                }
                                logPages = fill;
                                requested = std::chrono::steady_clock::now();
                                stop.request_stop();
                            }
                        },
                        stop.get_token());
            } catch (const vask::ShadowSyncError& error) {
                cancelled = error.kind() == vask::ShadowSyncError::Case::cancelled;
            }
            ended = std::chrono::steady_clock::now();
        });
        run.join();
        busy.reset();
        if (!cancelled) {
            state.SkipWithError("the log never filled");
            return;
        }
        copySeconds = Seconds(requested - start).count();
        const double seconds = Seconds(ended - requested).count();
        state.SetIterationTime(seconds);
        latencies.push_back(seconds * 1000);
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["stop_max_ms"] = latencies.back();
    state.counters["stop_median_ms"] = latencies[latencies.size() / 2];
    state.counters["log_pages"] = static_cast<double>(logPages);
    state.counters["copy_s"] = copySeconds;
}
BENCHMARK(BM_StopWithFullLog)
    ->ArgNames({"busy"})
    ->Args({0})
    ->Args({1})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Notes when the synchronisation logs a line starting with a given text (where it is), and asks
// for a stop there when told to.
class PhaseWatch : public vask::LogSink {
  public:
    explicit PhaseWatch(std::string prefix) : prefix_(std::move(prefix)) {}
    bool isEnabled(vask::LogLevel) const override { return true; }
    void write(const vask::LogRecord& record) override {
        if (record.message.starts_with(prefix_) && !reached_.exchange(true)) {
            if (stopAtOnce_) {
                stopAtOnce_->request_stop();
            }
            promise_.set_value();
        }
    }
    std::future<void> reached() { return promise_.get_future(); }
    void stopAtOnce(std::stop_source* stop) { stopAtOnce_ = stop; }

  private:
    std::string prefix_;
    std::atomic<bool> reached_{false};
    std::promise<void> promise_;
    std::stop_source* stopAtOnce_ = nullptr;
};

// A first copy of `messages` rows stopped as its closing index build starts: every row is in,
// the indexes wait. Made once per size; each iteration starts from a copy of it.
const fs::path& copiedWithoutIndexes(std::int64_t messages) {
    static std::map<std::int64_t, fs::path> made;
    auto it = made.find(messages);
    if (it == made.end()) {
        const auto path = workFolder() / ("unindexed-" + std::to_string(messages) + ".db");
        std::stop_source stop;
        auto watch = std::make_shared<PhaseWatch>("Building the indexes deferred");
        watch->stopAtOnce(&stop);
        const auto previous = vask::LogSink::install(watch);
        try {
            vask::ShadowSync(sampleChatDB(messages), path).performSync({}, stop.get_token());
        } catch (const vask::ShadowSyncError&) {
        }
        vask::LogSink::install(previous);
        it = made.emplace(messages, path).first;
    }
    return it->second;
}

// One stop of a sync run on its own thread: asked for `delay` after the log first says
// `phase`. Whether the run ended cancelled, and the seconds from the stop to its return.
struct StopOutcome {
    bool cancelled = false;
    double seconds = 0;
};
StopOutcome stopAfterPhase(const fs::path& chatDB, const fs::path& shadowDB, std::string phase,
                           std::chrono::milliseconds delay,
                           const std::function<void()>& whileInPhase = {}) {
    std::stop_source stop;
    std::chrono::steady_clock::time_point returned;
    StopOutcome outcome;
    auto watch = std::make_shared<PhaseWatch>(std::move(phase));
    auto reached = watch->reached();
    const auto previous = vask::LogSink::install(watch);
    std::thread run([&] {
        try {
            vask::ShadowSync(chatDB, shadowDB).performSync({}, stop.get_token());
        } catch (const vask::ShadowSyncError& error) {
            outcome.cancelled = error.kind() == vask::ShadowSyncError::Case::cancelled;
        }
        returned = std::chrono::steady_clock::now();
    });
    reached.wait();
    std::this_thread::sleep_for(delay);
    if (whileInPhase) {
        whileInPhase();
    }
    const auto requested = std::chrono::steady_clock::now();
    stop.request_stop();
    run.join();
    vask::LogSink::install(previous);
    outcome.seconds = Seconds(returned - requested).count();
    return outcome;
}

// The longest and the median of the stops measured, or an error where none met the run.
bool reportStops(benchmark::State& state, std::vector<double> latencies, const char* none) {
    if (latencies.empty()) {
        state.SkipWithError(none);
        return false;
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["stop_max_ms"] = latencies.back();
    state.counters["stop_median_ms"] = latencies[latencies.size() / 2];
    state.counters["stops"] = static_cast<double>(latencies.size());
    return true;
}

// How long a stop takes to end the closing index build of a first copy (the duplicates of a
// guid removed, the full-text index rebuilt, every index made, the count taken) and the move of
// late-joined messages after it. Each iteration starts from a copy whose rows are all in and
// whose indexes wait (as a quit during the build leaves it; the run takes the copy over and
// builds them) and asks for a stop 0.1 s + 0.4 s x iteration after the build starts, so the
// stops fall through every statement of the build and, once it is done, into what follows.
// The counters: the longest and the median stop, and how many stops met the build.
void BM_StopDuringClosingBuild(benchmark::State& state) {
    const auto messages = state.range(0);
    const auto& unindexed = copiedWithoutIndexes(messages);
    const auto shadowDB = workFolder() / "building-shadow.db";
    std::vector<double> latencies;
    int iteration = 0;
    int duringTheBuild = 0;
    bool ended = false;
    for (auto _ : state) {
        if (ended) {
            // The build ended before an earlier stop: no later one meets it either.
            state.SetIterationTime(0);
            continue;
        }
        state.PauseTiming();
        removeDatabase(shadowDB);
        fs::copy_file(unindexed, shadowDB);
        state.ResumeTiming();
        bool stillBuilding = false;
        const auto outcome = stopAfterPhase(
            sampleChatDB(messages), shadowDB, "Building the indexes deferred",
            std::chrono::milliseconds(100 + 400 * iteration++), [&] {
                stillBuilding =
                    !vask::ShadowDB(shadowDB, vask::ShadowDB::OpenMode::readOnly).indexesAreWhole();
            });
        if (!outcome.cancelled) {
            ended = true;
            state.SetIterationTime(0);
            continue;
        }
        duringTheBuild += stillBuilding ? 1 : 0;
        state.SetIterationTime(outcome.seconds);
        latencies.push_back(outcome.seconds * 1000);
    }
    if (reportStops(state, std::move(latencies), "the build ended before the first stop")) {
        state.counters["stops_in_build"] = duringTheBuild;
    }
}
BENCHMARK(BM_StopDuringClosingBuild)
    ->ArgNames({"messages"})
    ->Args({1000000})
    ->Args({2000000})
    ->Iterations(40)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// How long a stop takes to end the move of 100,000 late-joined messages picked at random over
// a history of 1,000,000, their joins in random order (as `BM_LateJoinSync/spread:2`): the stop
// comes 50 ms + 300 ms x iteration after the move's first batch is committed, so through the
// reads, the writes and the commits of the batches after it, until a stop comes after the run
// has ended. The counters: the longest and the median stop.
void BM_StopDuringLateJoinMove(benchmark::State& state) {
    const auto base = historyWithSpreadChatless(100000, "late-join-stop-base", true);
    const std::pair<fs::path, fs::path> work{workFolder() / "late-join-stop-chat.db",
                                             workFolder() / "late-join-stop-shadow.db"};
    std::vector<double> latencies;
    int iteration = 0;
    bool ended = false;
    for (auto _ : state) {
        if (ended) {
            state.SetIterationTime(0);
            continue;
        }
        state.PauseTiming();
        copyPair(base, work);
        vask::SQLiteConnection::open(work.first, vask::SQLiteSupport::OpenMode::readWriteCreate)
            .execute(
                "INSERT INTO chat_message_join (chat_id, message_id, message_date) "
                "SELECT chat_id, message_id, message_date FROM held_joins");
        state.ResumeTiming();
        const auto outcome = stopAfterPhase(work.first, work.second, "Moved ",
                                            std::chrono::milliseconds(50 + 300 * iteration++));
        if (!outcome.cancelled) {
            ended = true;
            state.SetIterationTime(0);
            continue;
        }
        state.SetIterationTime(outcome.seconds);
        latencies.push_back(outcome.seconds * 1000);
    }
    reportStops(state, std::move(latencies), "the move ended before the first stop");
}
BENCHMARK(BM_StopDuringLateJoinMove)
    ->Iterations(40)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Text of message bodies as the reader takes it, per body.
void BM_AttributedBodyText(benchmark::State& state) {
    auto body = vask::typedstream::AttributedBody::plain(
        "Running late, see you at the caf\u00e9 in 10 \U0001F602");
    const std::string url = "https://example.com/some/long/path?with=query";
    body.runs.front().attributes.emplace_back(std::string(vask::typedstream::kLinkAttributeName),
                                              vask::typedstream::UrlValue{url});
    const auto bytes = vask::typedstream::encodeAttributedBody(body);
    for (auto _ : state) {
        benchmark::DoNotOptimize(vask::ChatDBReader::attributedBodyText(bytes));
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_AttributedBodyText);

}  // namespace
