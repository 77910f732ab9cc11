#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/crypto.h"
#include "records/sqlite_session_store.h"
#include "support/bench_sessions.h"

namespace vask {
namespace {

namespace fs = std::filesystem;

struct Fixture {
    fs::path folder;
    std::vector<ChatSession> sessions;

    explicit Fixture(int count)
        : folder(fs::temp_directory_path() / ("vask-records-bench-" + randomUUID())),
          sessions(bench::sessions(count)) {
        SQLiteSessionStore(path()).saveSessions(sessions);
    }
    ~Fixture() { fs::remove_all(folder); }
    Fixture(const Fixture&) = delete;
    Fixture& operator=(const Fixture&) = delete;

    fs::path path() const { return folder / "sessions.db"; }
};

void BM_SaveUnchanged(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    SQLiteSessionStore store(fixture.path());
    for (auto _ : state) {
        store.saveSessions(fixture.sessions);
    }
}

void BM_SaveOneMessageChanged(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    SQLiteSessionStore store(fixture.path());
    int round = 0;
    for (auto _ : state) {
        fixture.sessions[0].messages[10].text = "edited " + std::to_string(++round);
        store.saveSessions(fixture.sessions);
    }
}

void BM_Load(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    SQLiteSessionStore store(fixture.path());
    for (auto _ : state) {
        benchmark::DoNotOptimize(store.loadSessions());
    }
}

BENCHMARK(BM_SaveUnchanged)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveOneMessageChanged)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Load)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vask
