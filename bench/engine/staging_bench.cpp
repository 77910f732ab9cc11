// Staging time of one helper run: contacts and sessions databases of 10 and 100 MB, and a memory
// database of 10,000 associations for the asking account.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "engine/rlm_sandbox_staging.h"
#include "store/shadow_db.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"

namespace vask {
namespace {

namespace fs = std::filesystem;

// A database of roughly `megabytes` MB in rollback-journal mode (as the sessions file is).
void fillDatabase(const fs::path& path, std::int64_t megabytes) {
    auto db = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate);
    db.execute("CREATE TABLE IF NOT EXISTS filler(id INTEGER PRIMARY KEY, body TEXT)");
    db.inImmediateTransaction([&] {
        SQLiteStatement insert(db.get(), "INSERT INTO filler(body) VALUES (?)");
        const std::string body(4000, 'x');
        for (std::int64_t i = 0; i < megabytes * 256; ++i) {
            insert.bind(1, body).run();
            insert.reset();
        }
    });
}

struct Fixture {
    fs::path root =
        fs::temp_directory_path() / ("vask-staging-bench-" + std::to_string(::getpid()));
    fs::path shadow = root / "shadow.db";
    fs::path contacts = root / "contacts.db";
    fs::path sessions = root / "sessions.db";
    fs::path memory = root / "memory.db";
    std::shared_ptr<MemoryStore> store;
    MemoryPrincipal principal = *MemoryPrincipal::make("bench");

    explicit Fixture(std::int64_t megabytes) {
        fs::remove_all(root);
        fs::create_directories(root);
        ShadowDB(shadow).createSchemaIfNeeded();
        fillDatabase(contacts, megabytes);
        fillDatabase(sessions, megabytes);
        store = std::make_shared<MemoryStore>(memory, MemoryStoreChanges::make());
        std::vector<MemoryMutation> none;
        for (int i = 0; i < 10000; ++i) {
            store->createAssociation(principal, "term " + std::to_string(i),
                                     "definition of term " + std::to_string(i),
                                     MemoryProvenance::explicitlySaved, Uuid::random(), i);
        }
    }
    ~Fixture() { fs::remove_all(root); }
};

void BM_StageDatabases(benchmark::State& state) {
    const Fixture fixture(state.range(0));
    for (auto _ : state) {
        const auto staged = RLMSandboxStaging::stageDatabasesForSandbox(
            fixture.shadow.string(), fixture.contacts.string(), fixture.memory.string(),
            fixture.principal, fixture.store.get(), {}, fixture.sessions.string(), "S1");
        benchmark::DoNotOptimize(staged.dbPath);
        staged.cleanup();
    }
}
BENCHMARK(BM_StageDatabases)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace vask
