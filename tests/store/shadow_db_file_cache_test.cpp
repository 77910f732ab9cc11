#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "platform/file_io.h"
#include "store/shadow_db.h"
#include "store_test_helpers.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using Case = ShadowDB::Error::Case;
using test::openFile;
using test::queryInt;

ShadowDB writer(const std::filesystem::path& path) {
    ShadowDB db(path, ShadowDB::OpenMode::readWrite);
    db.createSchemaIfNeeded();
    return db;
}

bool hasTable(ShadowDB& db, std::string_view name) {
    const auto tables = db.listTables();
    return std::find(tables.begin(), tables.end(), name) != tables.end();
}

FileCacheEntry entry(std::string path, std::string text) {
    return {.path = std::move(path),
            .contentMarkdown = std::move(text),
            .fileHash = "h1",
            .parsedAt = 1700000000123,
            .parseModel = "",
            .parseMethod = "text",
            .pageCount = 3,
            .tokenCost = 0};
}

// FTS5's own check that the external-content index holds exactly the rows' words; throws on a
// mismatch.
void checkIndex(const std::filesystem::path& path, const std::string& table) {
    openFile(path).execute("INSERT INTO " + table + "(" + table +
                           ", rank) VALUES ('integrity-check', 1)");
}

std::int64_t matches(const std::filesystem::path& path, const std::string& table,
                     const std::string& query) {
    auto db = openFile(path);
    SQLiteStatement statement(db.get(),
                              "SELECT COUNT(*) FROM " + table + " WHERE " + table + " MATCH ?");
    statement.bind(1, query).step();
    return statement.columnInt64(0);
}

TEST(ShadowFileCache, UpsertUpdatesInPlaceAndKeepsTheIndexExact) {
    test::TempDir dir;
    const auto path = dir / "shadow.db";
    auto db = writer(path);
    db.createFileCacheSchemaIfNeeded();
    EXPECT_EQ(db.fetchFileCache("/docs/a.md"), std::nullopt);

    db.upsertFileCache(entry("/docs/a.md", "first apricot"));
    const auto rowid = queryInt(path, "SELECT rowid FROM file_cache WHERE path = '/docs/a.md'");
    auto second = entry("/docs/a.md", "second banana");
    second.fileHash = "h2";
    second.parseModel = "vision-1";
    second.pageCount = 2147483647;
    second.tokenCost = -1;
    db.upsertFileCache(second);

    EXPECT_EQ(db.fetchFileCache("/docs/a.md"), second);
    EXPECT_EQ(queryInt(path, "SELECT COUNT(*) FROM file_cache"), 1);
    EXPECT_EQ(queryInt(path, "SELECT rowid FROM file_cache"), rowid);
    EXPECT_EQ(matches(path, "file_cache_fts", "apricot"), 0);
    EXPECT_EQ(matches(path, "file_cache_fts", "banana"), 1);
    checkIndex(path, "file_cache_fts");
}

TEST(ShadowFileCache, IncompleteRowsAreNoEntry) {
    test::TempDir dir;
    const auto path = dir / "shadow.db";
    auto db = writer(path);
    db.createFileCacheSchemaIfNeeded();
    // Rows written by another tool, each missing one of the columns an entry needs.
    openFile(path).execute(
        "INSERT INTO file_cache (path, content_md, file_hash, parse_model, parse_method) VALUES "
        "('/no-model', 'x', 'h', NULL, 'text'), ('/no-hash', 'x', NULL, '', 'text'), "
        "('/no-text', NULL, 'h', '', 'text'), ('/no-method', 'x', 'h', '', NULL), "
        "('/bare', 'x', 'h', '', 'text')");
    for (const auto* missing : {"/no-model", "/no-hash", "/no-text", "/no-method"}) {
        EXPECT_EQ(db.fetchFileCache(missing), std::nullopt) << missing;
    }
    // Numeric columns left NULL read as zero.
    const auto bare = db.fetchFileCache("/bare");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->parsedAt, 0);
    EXPECT_EQ(bare->pageCount, 0);
}

TEST(ShadowFileCache, ErasureMovesThroughTheThreeStates) {
    test::TempDir dir;
    const auto path = dir / "shadow.db";
    auto db = writer(path);

    // Absent -> erased: the marker table is made and marked even with no cache to drop.
    db.dropFileCacheSchema();
    EXPECT_EQ(queryInt(path, "SELECT COUNT(*) FROM privacy_erasure_state WHERE id = 1"), 1);
    const auto erasedSchema = db.schemaVersion();
    // Erased again: nothing further happens (no drop, no vacuum).
    db.dropFileCacheSchema();
    EXPECT_EQ(db.schemaVersion(), erasedSchema);

    // Erased -> present: the marker goes, the cache starts empty.
    db.createFileCacheSchemaIfNeeded();
    EXPECT_FALSE(hasTable(db, "privacy_erasure_state"));
    EXPECT_EQ(db.fetchFileCache("/anything"), std::nullopt);
    db.upsertFileCache(entry("/secret.pdf", "confidential salary figures"));

    // Present -> erased: tables gone, their text gone from the file and the log.
    db.dropFileCacheSchema();
    for (const auto* table : {"file_cache", "file_cache_fts", "file_cache_fts_data"}) {
        EXPECT_FALSE(hasTable(db, table)) << table;
    }
    EXPECT_EQ(queryInt(path, "SELECT COUNT(*) FROM privacy_erasure_state"), 1);
    for (const auto& file : {path, std::filesystem::path(path.string() + "-wal")}) {
        const auto bytes = readFileIfExists(file);
        EXPECT_EQ(bytes.value_or("").find("confidential"), std::string::npos) << file;
    }
    EXPECT_THROW(db.fetchFileCache("/secret.pdf"), ShadowDB::Error);
}

TEST(ShadowFileCache, InterruptedErasureIsRepeated) {
    test::TempDir dir;
    const auto path = dir / "shadow.db";
    auto db = writer(path);
    // The marker row exists but a cache table survived (a crash between the drops and the
    // marker of an earlier build, or a table recreated by hand): erase again.
    db.dropFileCacheSchema();
    openFile(path).execute("CREATE TABLE file_cache (path TEXT PRIMARY KEY, content_md TEXT)");
    db.dropFileCacheSchema();
    EXPECT_FALSE(hasTable(db, "file_cache"));
    EXPECT_EQ(queryInt(path, "SELECT COUNT(*) FROM privacy_erasure_state"), 1);
}

TEST(ShadowFileCache, ErasureRewritesTheDatabaseThroughATemporaryFile) {
    // VACUUM builds the new database in the temporary store: in memory it would be a second
    // copy of the whole database. A file there shows up as a file made in SQLite's temporary
    // folder (and unlinked at once) once the copy outgrows its cache.
    test::TempDir dir;
    const auto path = dir / "shadow.db";
    const auto temporary = dir / "tmp";
    std::filesystem::create_directories(temporary);
    writer(path).createFileCacheSchemaIfNeeded();
    // More than the writer's cache, which VACUUM gives its temporary database too: a smaller
    // copy would never leave the cache.
    openFile(path).execute(
        "CREATE TABLE bulk (b BLOB);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 40) "
        "INSERT INTO bulk SELECT randomblob(1024 * 1024) FROM n;");
    auto db = writer(path);
    db.upsertFileCache(entry("/a.txt", "some text"));

    char* previous = sqlite3_temp_directory;
    sqlite3_temp_directory = sqlite3_mprintf("%s", temporary.c_str());
    const int watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watcher, 0);
    ASSERT_GE(inotify_add_watch(watcher, temporary.c_str(), IN_CREATE), 0);
    db.dropFileCacheSchema();
    alignas(inotify_event) char buffer[4096];
    const auto read = ::read(watcher, buffer, sizeof buffer);
    ::close(watcher);
    sqlite3_free(sqlite3_temp_directory);
    sqlite3_temp_directory = previous;

    EXPECT_GT(read, 0) << "no temporary file was made";
    EXPECT_FALSE(hasTable(db, "file_cache"));
    // The writer's staging goes back to memory: a write still works after the erasure.
    db.insertBatch({test::shadowMessage("g1", "after the erasure")});
    EXPECT_EQ(db.messageCount(), 1);
}

ShadowEvent event(std::string id, std::string title) {
    ShadowEvent value;
    value.id = std::move(id);
    value.title = std::move(title);
    value.startDate = 1700000000;
    return value;
}

TEST(ShadowEvents, ReplacementKeepsTheIndexExact) {
    test::TempDir dir;
    const auto path = dir / "shadow.db";
    auto db = writer(path);

    auto full = event("e1", "Dentist appointment");
    full.endDate = 1700003600;
    full.location = "Main Street";
    full.notes = "bring forms";
    full.calendarName = "Home";
    full.isAllDay = true;
    full.recurrenceRule = "FREQ=WEEKLY";
    full.participants = "ann@example.com";
    full.createdAt = 1;
    full.modifiedAt = 2;

    struct Step {
        const char* name;
        std::vector<ShadowEvent> events;
        std::int64_t rows;
        std::vector<std::pair<const char*, std::int64_t>> matches;
    };
    const std::vector<Step> steps = {
        {"all fields", {full, event("e2", "Standup")}, 2, {{"dentist", 1}, {"forms", 1}}},
        {"same id twice: the later wins",
         {event("e3", "Lunch with Ann"), event("e3", "Dinner with Ann")},
         1,
         {{"lunch", 0}, {"dinner", 1}, {"dentist", 0}, {"standup", 0}}},
        {"empty list empties the table", {}, 0, {{"dinner", 0}}},
    };
    for (const auto& step : steps) {
        db.replaceEvents(step.events);
        EXPECT_EQ(db.eventCount(), step.rows) << step.name;
        for (const auto& [query, count] : step.matches) {
            EXPECT_EQ(matches(path, "events_fts", query), count) << step.name << ": " << query;
        }
        checkIndex(path, "events_fts");
    }

    db.replaceEvents({full});
    EXPECT_EQ(queryInt(path, "SELECT is_all_day FROM events WHERE id = 'e1'"), 1);
    EXPECT_EQ(queryInt(path, "SELECT end_date FROM events WHERE id = 'e1'"), 1700003600);
    EXPECT_EQ(queryInt(path, "SELECT COUNT(*) FROM events WHERE location IS NULL"), 0);
    db.replaceEvents({event("e9", "Bare")});
    EXPECT_EQ(queryInt(path,
                       "SELECT COUNT(*) FROM events WHERE end_date IS NULL AND location IS "
                       "NULL AND created_at IS NULL AND is_all_day = 0"),
              1);
}

TEST(ShadowEvents, FailedReplacementKeepsThePreviousEvents) {
    test::TempDir dir;
    const auto path = dir / "shadow.db";
    auto db = writer(path);
    db.replaceEvents({event("keep-1", "Quarterly review"), event("keep-2", "Yoga")});
    openFile(path).execute(
        "CREATE TRIGGER refuse_poison BEFORE INSERT ON events WHEN new.title = 'poison' "
        "BEGIN SELECT RAISE(ABORT, 'poisoned event'); END");

    try {
        db.replaceEvents({event("new-1", "Fresh"), event("new-2", "poison")});
        FAIL() << "no error";
    } catch (const ShadowDB::Error& error) {
        EXPECT_EQ(error.kind(), Case::insertFailed);
        EXPECT_NE(error.message().find("poisoned event"), std::string::npos);
    }
    EXPECT_EQ(db.eventCount(), 2);
    EXPECT_EQ(matches(path, "events_fts", "quarterly"), 1);
    EXPECT_EQ(matches(path, "events_fts", "fresh"), 0);
    checkIndex(path, "events_fts");
    // The connection is usable again: the failed transaction was rolled back.
    db.replaceEvents({event("new-3", "After")});
    EXPECT_EQ(db.eventCount(), 1);
}

}  // namespace
}  // namespace vask
