// Staging time of one helper run: a shadow database of 1,000,000 messages (linked, never
// copied), contacts and sessions databases of 10 and 100 MB, and a memory database of 10,000
// associations for the asking account.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "engine/rlm_sandbox_staging.h"
#include "records/sqlite_session_store.h"
#include "store/shadow_db.h"
#include "store/shadow_message.h"
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

// A shadow database of `count` short messages, written in batches as a sync writes them.
void fillShadow(const fs::path& path, int count) {
    ShadowDB db(path);
    db.createSchemaIfNeeded();
    std::vector<ShadowMessage> batch;
    for (int n = 0; n < count; ++n) {
        ShadowMessage message;
        message.guid = "g-" + std::to_string(n);
        message.chatId = "chat-" + std::to_string(n % 500);
        message.sender = "+1555000" + std::to_string(n % 97);
        message.text = "message number " + std::to_string(n) + " about lunch, the lease and plans";
        message.timestamp = static_cast<std::int64_t>(n) * 1000000000LL;
        batch.push_back(std::move(message));
        if (batch.size() == 5000) {
            db.insertBatch(batch);
            batch.clear();
        }
    }
    db.insertBatch(batch);
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
        fillShadow(shadow, 1000000);
        fillDatabase(contacts, megabytes);
        // A real sessions file, so that staging marks its copy, grown to size by a filler table.
        SQLiteSessionStore(sessions).saveSessions({ChatSession{"S1", {}, {}, "t", 0, {}, false}});
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
BENCHMARK(BM_StageDatabases)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(5);

// The parts of a staging, each on its own: one online-backup copy of 100 MB (0) and the
// sanitized memory copy (2).
void BM_StagingParts(benchmark::State& state) {
    const fs::path root =
        fs::temp_directory_path() / ("vask-staging-parts-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    fillDatabase(root / "source.db", 100);
    auto store = std::make_shared<MemoryStore>(root / "memory.db", MemoryStoreChanges::make());
    const auto principal = *MemoryPrincipal::make("bench");
    for (int i = 0; i < 10000; ++i) {
        store->createAssociation(principal, "term " + std::to_string(i),
                                 "definition of term " + std::to_string(i),
                                 MemoryProvenance::explicitlySaved, Uuid::random(), i);
    }
    for (auto _ : state) {
        fs::remove_all(root / "out");
        fs::create_directories(root / "out");
        const std::string out = (root / "out" / "copy.db").string();
        switch (state.range(0)) {
            case 0:
                RLMSandboxStaging::snapshotDatabase((root / "source.db").string(), out);
                break;
            default:
                store->snapshot((root / "out" / "raw.db").string());
                RLMSandboxStaging::createSanitizedMemorySnapshot((root / "out" / "raw.db").string(),
                                                                 out, principal);
                break;
        }
    }
    fs::remove_all(root);
}
BENCHMARK(BM_StagingParts)->Arg(0)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace vask
