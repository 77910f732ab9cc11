// A stop must end each long statement of the store within a second on a loaded machine: here
// the run is pinned to one processor beside threads that keep it busy, so that it gets a fraction
// of it, as the application does beside other work. The stop comes as the statement is prepared
// (the moment an interrupt alone would be forgotten) or while it runs.

#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "busy-processor/busy_processor.h"
#include "platform/log_sink.h"
#include "sample-chatdb/sample_chat_db.h"
#include "store/chat_db_reader.h"
#include "store/shadow_db.h"
#include "store/shadow_sync.h"
#include "store/sqlite_statement.h"
#include "store_test_helpers.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// Enough rows that each statement below runs for seconds on a share of one processor, and that
// a sort chunk the size of a bulk copy's page cache takes seconds too.
constexpr int generatedRows = 800000;

// Watches the statements of every connection opened while it lives for the first whose SQL
// starts with `sql`: notes when it starts and ends, and can have a stop requested as it is
// prepared, before it starts (on the thread that prepares it).
class StatementWatch {
  public:
    // `preparing`: the authorizer's action and its first argument that the statement's
    // preparation shows.
    StatementWatch(std::string sql, int action, std::string object,
                   std::optional<std::stop_source> stopWhenPrepared)
        : sql_(std::move(sql)),
          action_(action),
          object_(std::move(object)),
          stopWhenPrepared_(std::move(stopWhenPrepared)) {
        active().store(this);
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(&StatementWatch::onOpen));
    }
    // Asks for the stop as the statement starts (on the thread that runs it), once it is
    // prepared with its values bound: for statements that other statements of the same tables
    // come before.
    StatementWatch(std::string sql, std::stop_source stopWhenStarted)
        : StatementWatch(std::move(sql), 0, {}, std::nullopt) {
        stopWhenStarted_ = std::move(stopWhenStarted);
    }
    ~StatementWatch() {
        sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&StatementWatch::onOpen));
        std::lock_guard lock(mutex());
        active().store(nullptr);
    }
    StatementWatch(const StatementWatch&) = delete;
    StatementWatch& operator=(const StatementWatch&) = delete;

    std::future<Clock::time_point> started() { return started_.get_future(); }
    std::optional<Clock::time_point> asked() const {
        std::lock_guard lock(mutex());
        return asked_;
    }
    std::optional<Clock::time_point> ended() const {
        std::lock_guard lock(mutex());
        return ended_;
    }

  private:
    static std::atomic<StatementWatch*>& active() {
        static std::atomic<StatementWatch*> watch{nullptr};
        return watch;
    }
    static std::mutex& mutex() {
        static std::mutex instance;
        return instance;
    }

    static int onOpen(sqlite3* db, const char**, const sqlite3_api_routines*) {
        sqlite3_trace_v2(db, SQLITE_TRACE_STMT | SQLITE_TRACE_PROFILE, &StatementWatch::onTrace,
                         nullptr);
        sqlite3_set_authorizer(db, &StatementWatch::onPrepare, nullptr);
        return SQLITE_OK;
    }

    static int onPrepare(void*, int action, const char* first, const char*, const char*,
                         const char*) {
        std::lock_guard lock(mutex());
        auto* watch = active().load();
        if (watch != nullptr && watch->stopWhenPrepared_ && !watch->asked_ &&
            action == watch->action_ && first != nullptr && watch->object_ == first) {
            watch->asked_ = Clock::now();
            watch->stopWhenPrepared_->request_stop();
        }
        return SQLITE_OK;
    }

    static int onTrace(unsigned event, void*, void* statement, void*) {
        const char* text = sqlite3_sql(static_cast<sqlite3_stmt*>(statement));
        std::lock_guard lock(mutex());
        auto* watch = active().load();
        if (watch == nullptr || text == nullptr ||
            !std::string_view(text).starts_with(watch->sql_)) {
            return 0;
        }
        if (event == SQLITE_TRACE_STMT && !watch->startSeen_) {
            watch->startSeen_ = true;
            watch->started_.set_value(Clock::now());
            if (watch->stopWhenStarted_) {
                watch->asked_ = Clock::now();
                watch->stopWhenStarted_->request_stop();
            }
        } else if (event == SQLITE_TRACE_PROFILE && watch->startSeen_ && !watch->ended_) {
            watch->ended_ = Clock::now();
        }
        return 0;
    }

    std::string sql_;
    int action_;
    std::string object_;
    std::optional<std::stop_source> stopWhenPrepared_;
    std::optional<std::stop_source> stopWhenStarted_;
    std::promise<Clock::time_point> started_;
    bool startSeen_ = false;
    std::optional<Clock::time_point> asked_;
    std::optional<Clock::time_point> ended_;
};

struct LongStatement {
    const char* name;
    std::string sql;
    int action;
    std::string object;
};

const LongStatement guidIndex{"the guid's unique index",
                              "CREATE UNIQUE INDEX IF NOT EXISTS idx_messages_guid_unique",
                              SQLITE_CREATE_INDEX, "idx_messages_guid_unique"};
const LongStatement fullTextRebuild{"the full-text rebuild",
                                    "INSERT INTO messages_fts(messages_fts) VALUES ('rebuild')",
                                    SQLITE_INSERT, "messages_fts"};
const LongStatement lateJoinMove{"the move into chats", "UPDATE main.messages\nSET (chat_id",
                                 SQLITE_UPDATE, "messages"};

// When the stop comes: as the statement is prepared, or this long after it starts.
using StopAt = std::optional<std::chrono::milliseconds>;

// Runs `run` (which returns true when it ended by the stop) on a thread pinned beside busy
// threads, asking for the stop as `at` says, and checks that it ended within a second of the
// stop, by the stop, while the statement ran. Returns when the statement started.
template <typename Run>
Clock::time_point expectStoppedWithinASecond(const LongStatement& statement, StopAt at,
                                             const Run& run) {
    SCOPED_TRACE(std::string(statement.name) +
                 (at ? " after " + std::to_string(at->count()) + " ms" : " as it is prepared"));
    std::stop_source quit;
    StatementWatch watch(statement.sql, statement.action, statement.object,
                         at ? std::nullopt : std::optional(quit));
    auto started = watch.started();
    test::BusyProcessor busy;
    std::atomic<bool> stopped{false};
    Clock::time_point returned;
    std::jthread worker([&] {
        EXPECT_TRUE(busy.pinCallingThread());
        stopped = run(quit.get_token());
        returned = Clock::now();
    });
    EXPECT_EQ(started.wait_for(std::chrono::minutes(2)), std::future_status::ready);
    if (started.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        ADD_FAILURE() << "the statement never started";
        quit.request_stop();
        return Clock::time_point::max();
    }
    const auto start = started.get();
    Clock::time_point asked;
    if (at) {
        std::this_thread::sleep_until(start + *at);
        asked = Clock::now();
        quit.request_stop();
    }
    worker.join();
    if (!at) {
        EXPECT_TRUE(watch.asked());
        if (!watch.asked()) {
            return start;
        }
        asked = *watch.asked();
    }
    EXPECT_TRUE(stopped) << "the run was not reported stopped";
    // The stop came before the statement ended (by the stop or not): it met the statement.
    const auto ended = watch.ended();
    EXPECT_TRUE(!ended || *ended >= asked) << "the statement ended before the stop";
    EXPECT_LT(returned - asked, std::chrono::seconds(1))
        << "the stop took " << Seconds(returned - asked).count() << " s"
        << (ended ? ", the statement " + std::to_string(Seconds(*ended - asked).count()) +
                        " s after the stop"
                  : std::string());
    return start;
}

// A bulk copy cut short as its closing build begins, `generatedRows` more appended as it would
// have: every row in, the indexes left out.
void makeCutShortCopy(const std::filesystem::path& chatDB, const std::filesystem::path& path) {
    std::stop_source quit;
    const auto previous =
        LogSink::install(std::make_shared<test::StopOnLog>(quit, "Building the indexes deferred"));
    ShadowSync sync(chatDB, path);
    sync.setDeferredIndexingThreshold(0);
    EXPECT_THROW(sync.performSync({}, quit.get_token()), ShadowSyncError);
    LogSink::install(previous);
    test::openFile(path).execute(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(generatedRows) +
        ")\nINSERT INTO messages (guid, chat_id, chat_name, sender, text, timestamp, is_from_me, "
        "is_group, recipient_handle, has_attachments, attachment_types, content_hash) "
        "SELECT upper(hex(randomblob(4)) || '-' || hex(randomblob(2)) || '-' || "
        "hex(randomblob(2)) || '-' || hex(randomblob(2)) || '-' || hex(randomblob(6))), "
        "'generated-' || (i % 500), 'Chat ' || (i % 500), '+1555' || (i % 997), "
        "'see you at ' || (i % 1000) || ' near the ' || hex(randomblob(3)) || ' ok ' || i, "
        "i * 1000000000, i % 2, 0, NULL, 0, NULL, lower(hex(randomblob(8))) FROM n");
}

bool cancelled(const std::function<void()>& run) {
    try {
        run();
    } catch (const ShadowSyncError& error) {
        return error.kind() == ShadowSyncError::Case::cancelled;
    }
    return false;
}

TEST(BusyProcessorStopTest, AStopInEachLongStatementEndsItWithinASecondAndRollsItBack) {
    test::TempDir dir;
    const auto chatDB = dir / "chat.db";
    sample::buildSampleChatDB(chatDB, {2000, 40, 7});
    const auto path = dir / "shadow.db";
    makeCutShortCopy(chatDB, path);
    const auto count = [&](const std::string& sql) {
        SQLiteStatement statement(test::openFile(path).get(), sql);
        return statement.step() ? statement.columnInt64(0) : -1;
    };
    const auto rows = count("SELECT COUNT(*) FROM messages");
    ASSERT_GT(rows, generatedRows);

    // The closing build of the copy: each stopped run rolls the build back whole, leaving the
    // copy cut short as it was, for the next run.
    // Into the guid's index, 1.5 s is about where a chunk of the bulk copy's page cache was
    // sorted; its first chunk of the build's own cache is sorted in the first tenths of a
    // second (the longest stretch of the build no stop reaches).
    for (const auto* statement : {&guidIndex, &fullTextRebuild}) {
        std::vector<StopAt> stops{StopAt{}, StopAt{std::chrono::milliseconds(1500)}};
        if (statement == &guidIndex) {
            for (const int ms : {25, 50, 100, 200}) {
                stops.emplace_back(std::chrono::milliseconds(ms));
            }
        }
        for (const StopAt at : stops) {
            expectStoppedWithinASecond(*statement, at, [&](std::stop_token stop) {
                return cancelled([&] { ShadowSync(chatDB, path).performSync({}, stop); });
            });
            EXPECT_FALSE(ShadowDB(path, ShadowDB::OpenMode::readOnly).indexesAreWhole());
        }
    }
    ShadowSync(chatDB, path).performSync();
    EXPECT_TRUE(ShadowDB(path, ShadowDB::OpenMode::readOnly).indexesAreWhole());
    EXPECT_NO_THROW(test::checkMessagesFullTextIndex(path));
    EXPECT_EQ(count("SELECT COUNT(*) FROM messages"), rows);

    // The move of messages into their chats, one batch of a tenth of the rows: a stop
    // leaves every row where it was, and the connection out of its transaction.
    std::vector<ShadowMessage> moves;
    {
        SQLiteStatement guids(
            test::openFile(path).get(),
            "SELECT guid FROM messages WHERE chat_id LIKE 'generated-%' AND rowid % 10 = 0");
        while (guids.step()) {
            ShadowMessage message;
            message.guid = guids.columnText(0);
            message.chatId = "moved";
            moves.push_back(std::move(message));
        }
    }
    const auto moved = [&] {
        return count("SELECT COUNT(*) FROM messages WHERE chat_id = 'moved'");
    };
    for (const StopAt at : {StopAt{}, StopAt{std::chrono::milliseconds(1000)}}) {
        expectStoppedWithinASecond(lateJoinMove, at, [&](std::stop_token stop) {
            ShadowDB shadow(path);
            try {
                shadow.withFileTemporaryStore(
                    [&] { shadow.moveIntoChats(moves, stop, ShadowDB::MoveFrom::anyChat); });
            } catch (const ShadowDB::Error& error) {
                return error.message() == "interrupted";
            }
            return false;
        });
        EXPECT_EQ(moved(), 0);
    }
    // Nothing was left half done: the same connection moves a message afterwards.
    ShadowDB shadow(path);
    std::stop_source quit;
    quit.request_stop();
    EXPECT_THROW(shadow.moveIntoChats(moves, quit.get_token(), ShadowDB::MoveFrom::anyChat),
                 ShadowDB::Error);
    EXPECT_EQ(shadow.moveIntoChats({moves.front()}, {}, ShadowDB::MoveFrom::anyChat), 1);
    EXPECT_EQ(moved(), 1);
}

// The Messages database: `rows` messages, each joined to the one chat; the shadow database:
// those messages copied before their joins came, and a thousand more that no join names, its
// cursors as a run left them before the joins arrived. The next run's move reads every join:
// each read runs for seconds on a share of one processor.
void makeLateJoins(const std::filesystem::path& chatDB, const std::filesystem::path& path,
                   int rows) {
    {
        auto source = test::openFile(chatDB);
        sample::createMessagesSchema(source.get());
        source.inImmediateTransaction([&] {
            source.execute("INSERT INTO chat (ROWID, guid, style) VALUES (1, 'chat-one', 45)");
            source.execute(
                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                std::to_string(rows) +
                ")\nINSERT INTO message (ROWID, guid, text, date, is_from_me, handle_id) "
                "SELECT i, 'late-' || i, 'word ' || i, i, 1, 0 FROM n");
            source.execute(
                "INSERT INTO chat_message_join (chat_id, message_id) SELECT 1, ROWID FROM message");
        });
    }
    ShadowDB shadow(path);
    shadow.createSchemaIfNeeded();
    test::openFile(path).execute(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(rows + 1000) +
        ")\nINSERT INTO messages (guid, chat_id, sender, text, timestamp, is_from_me, is_group) "
        "SELECT CASE WHEN i <= " +
        std::to_string(rows) +
        " THEN 'late-' || i ELSE 'never-' || i END, 'unknown', 'me', 'w', i, 1, 0 FROM n");
    shadow.updateSyncState(rows, rows, rows + 1000);
    shadow.updateJoinCursor({0, 0, 0, 1});
}

TEST(BusyProcessorStopTest, AStopInEachReadOfTheLateJoinMoveEndsTheRunWithinASecond) {
    test::TempDir dir;
    const auto chatDB = dir / "chat.db";
    const auto path = dir / "shadow.db";
    // Joins enough that the move's scans of them and its count run for seconds; batches of a
    // quarter of them, which its batch reads take as long.
    makeLateJoins(chatDB, path, 400000);
    const auto chatless = [&] {
        return test::queryInt(path, "SELECT COUNT(*) FROM messages WHERE chat_id = 'unknown'");
    };
    const auto before = chatless();
    const std::string joinRows =
        "SELECT j.ROWID, j.chat_id, j.message_id, m.guid\nFROM chat_message_join j\nLEFT JOIN "
        "message m ON m.ROWID = j.message_id\n";
    // Each read in the order the move makes them: a stop as it starts must end the run, not
    // only the reads after it.
    const struct {
        const char* name;
        std::string sql;
    } reads[] = {
        {"the last join", joinRows + "ORDER BY j.ROWID DESC"},
        {"the messages in several chats", "SELECT m.ROWID, m.guid, (SELECT c.guid FROM"},
        {"the count of messages without a chat",
         "SELECT COUNT(*) FROM (SELECT 1 FROM messages WHERE chat_id"},
        {"a batch of joins", joinRows + "WHERE j.ROWID > ? AND j.ROWID <= ?"},
        {"the messages without a chat among a batch's",
         "SELECT 1 FROM messages WHERE guid = ? AND chat_id = ?"},
    };
    for (const auto& read : reads) {
        SCOPED_TRACE(read.name);
        std::stop_source quit;
        StatementWatch watch(read.sql, quit);
        auto started = watch.started();
        test::BusyProcessor busy;
        std::atomic<bool> stopped{false};
        Clock::time_point returned;
        std::jthread worker([&] {
            EXPECT_TRUE(busy.pinCallingThread());
            ShadowSync sync(chatDB, path);
            sync.setBatchSize(100000);
            stopped = cancelled([&] { sync.performSync({}, quit.get_token()); });
            returned = Clock::now();
        });
        ASSERT_EQ(started.wait_for(std::chrono::minutes(2)), std::future_status::ready);
        worker.join();
        ASSERT_TRUE(watch.asked());
        EXPECT_TRUE(stopped) << "the run was not reported stopped";
        EXPECT_LT(returned - *watch.asked(), std::chrono::seconds(1))
            << "the stop took " << Seconds(returned - *watch.asked()).count() << " s";
        // Nothing was moved, nor the cursor passed over the joins.
        EXPECT_EQ(chatless(), before);
        EXPECT_EQ(ShadowDB(path, ShadowDB::OpenMode::readOnly).joinCursor(),
                  (ShadowDB::JoinCursor{0, 0, 0, 1}));
    }
}

// A damaged page in the middle of the Messages database's messages, as a disk error leaves one:
// reading it fails with "database disk image is malformed".
void damageAMessagePage(const std::filesystem::path& chatDB) {
    std::int64_t page = 0;
    std::int64_t pageSize = 0;
    {
        auto db = test::openFile(chatDB);
        db.execute("PRAGMA journal_mode = DELETE");
        SQLiteStatement leaves(db.get(),
                               "SELECT pageno FROM dbstat WHERE name = 'message' AND "
                               "pagetype = 'leaf' ORDER BY pageno");
        std::vector<std::int64_t> pages;
        while (leaves.step()) {
            pages.push_back(leaves.columnInt64(0));
        }
        ASSERT_GT(pages.size(), 2u);
        page = pages[pages.size() / 2];
        SQLiteStatement size(db.get(), "PRAGMA page_size");
        ASSERT_TRUE(size.step());
        pageSize = size.columnInt64(0);
    }
    std::fstream file(chatDB, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp((page - 1) * pageSize);
    const std::string garbage(64, '\xee');
    file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    ASSERT_TRUE(file.good());
}

// When a message starting with `prefix` was first logged.
class LogTime : public LogSink {
  public:
    explicit LogTime(std::string prefix) : prefix_(std::move(prefix)) {}
    bool isEnabled(LogLevel) const override { return true; }
    void write(const LogRecord& record) override {
        std::lock_guard lock(mutex_);
        if (!at_ && record.message.starts_with(prefix_)) {
            at_ = Clock::now();
            message_ = record.message;
        }
    }
    std::optional<Clock::time_point> at() const {
        std::lock_guard lock(mutex_);
        return at_;
    }
    std::string message() const {
        std::lock_guard lock(mutex_);
        return message_;
    }

  private:
    mutable std::mutex mutex_;
    std::string prefix_;
    std::optional<Clock::time_point> at_;
    std::string message_;
};

// A first copy that fails on a damaged page of the Messages database rebuilds the indexes it
// left out, for every row copied before, and says why it failed before it starts: a stop in
// that rebuild ends it within a second, and leaves it to the next run, which (once the damage
// is gone) finishes the copy and builds them.
TEST(BusyProcessorStopTest, AStopInTheRebuildAfterAFailedCopyEndsItWithinASecond) {
    test::TempDir dir;
    const auto chatDB = dir / "chat.db";
    sample::buildSampleChatDB(chatDB, {2000, 40, 7});
    const auto path = dir / "shadow.db";
    makeCutShortCopy(chatDB, path);
    const auto intact = dir / "intact-chat.db";
    std::filesystem::copy_file(chatDB, intact);
    damageAMessagePage(chatDB);
    // The copy cut short before it read the Messages database's messages: it reads them again,
    // up to the damaged page.
    test::openFile(path).execute("UPDATE sync_state SET last_timestamp = 0, last_rowid = 0");
    const auto rows = test::queryInt(path, "SELECT COUNT(*) FROM messages");

    for (const auto* statement : {&guidIndex, &fullTextRebuild}) {
        for (const StopAt at : {StopAt{}, StopAt{std::chrono::milliseconds(1500)}}) {
            const auto failure = std::make_shared<LogTime>("The copy failed");
            const auto previous = LogSink::install(failure);
            const auto started =
                expectStoppedWithinASecond(*statement, at, [&](std::stop_token stop) {
                    try {
                        ShadowSync(chatDB, path).performSync({}, stop);
                    } catch (const ChatDBReader::Error& error) {
                        // The copy's own failure, and the rebuild left for the next run.
                        return std::string_view(error.what()).find("malformed") !=
                                   std::string::npos &&
                               !ShadowDB(path, ShadowDB::OpenMode::readOnly).indexesAreWhole();
                    }
                    return false;
                });
            LogSink::install(previous);
            ASSERT_TRUE(failure->at()) << "the failure was not logged";
            EXPECT_LT(*failure->at(), started) << "the failure was logged after the rebuild began";
            EXPECT_NE(failure->message().find("malformed"), std::string::npos)
                << failure->message();
        }
    }
    EXPECT_EQ(test::queryInt(path, "SELECT COUNT(*) FROM messages"), rows);
    // Once the damage is gone the copy goes on, and its end builds every index.
    std::filesystem::copy_file(intact, chatDB, std::filesystem::copy_options::overwrite_existing);
    ShadowSync(chatDB, path).performSync();
    EXPECT_TRUE(ShadowDB(path, ShadowDB::OpenMode::readOnly).indexesAreWhole());
    EXPECT_NO_THROW(test::checkMessagesFullTextIndex(path));
    EXPECT_EQ(test::queryInt(path, "SELECT COUNT(*) FROM messages"), rows);
}

// The start of a run that goes on with a cut-short copy: before the copy, the run brings the
// file cache in line with the file-access setting, and with file access off and no erasure
// made yet (file access was on, or a database of an older build) that is a VACUUM of the whole
// history. A stop ends it within a second; the erasure is made again, in full, by the next run.
TEST(BusyProcessorStopTest, AStopInTheErasureBeforeAResumedCopyEndsItWithinASecond) {
    test::TempDir dir;
    const auto chatDB = dir / "chat.db";
    sample::buildSampleChatDB(chatDB, {2000, 40, 7});
    const auto path = dir / "shadow.db";
    makeCutShortCopy(chatDB, path);
    ShadowDB(path).createFileCacheSchemaIfNeeded();
    const LongStatement vacuum{"the erasure's VACUUM", "VACUUM", 0, ""};
    const auto erased = [&] {
        return test::queryInt(path,
                              "SELECT COUNT(*) FROM sqlite_master WHERE name = "
                              "'privacy_erasure_state'") == 1 &&
               test::queryInt(path, "SELECT COUNT(*) FROM privacy_erasure_state") == 1;
    };
    for (const StopAt at :
         {StopAt{std::chrono::milliseconds(0)}, StopAt{std::chrono::milliseconds(1000)}}) {
        expectStoppedWithinASecond(vacuum, at, [&](std::stop_token stop) {
            ShadowDB shadow(path);
            try {
                shadow.dropFileCacheSchema(stop);
            } catch (const ShadowDB::Error& error) {
                return error.message() == "interrupted";
            }
            return false;
        });
        EXPECT_FALSE(erased());
    }
    // A run that starts after the stop opens nothing.
    std::stop_source quit;
    quit.request_stop();
    try {
        ShadowSync(chatDB, path).performSync({}, quit.get_token());
        ADD_FAILURE() << "a stopped run ran";
    } catch (const ShadowSyncError& error) {
        EXPECT_EQ(error.kind(), ShadowSyncError::Case::cancelled);
    }
    ShadowDB(path).dropFileCacheSchema();
    EXPECT_TRUE(erased());
    EXPECT_EQ(test::queryInt(path,
                             "SELECT COUNT(*) FROM sqlite_master WHERE name LIKE "
                             "'file_cache%'"),
              0);
}

// The log's pages not yet copied back into the database: what the close of the last connection
// copies back (the wal-index header's last frame, less the checkpoint's backfill; see SQLite's
// file format of the wal-index).
std::int64_t logPagesToCheckpoint(const std::filesystem::path& path) {
    std::ifstream shm(path.string() + "-shm", std::ios::binary);
    std::uint32_t lastFrame = 0;
    std::uint32_t backfilled = 0;
    shm.seekg(16);
    shm.read(reinterpret_cast<char*>(&lastFrame), sizeof(lastFrame));
    shm.seekg(96);
    shm.read(reinterpret_cast<char*>(&backfilled), sizeof(backfilled));
    return shm ? static_cast<std::int64_t>(lastFrame) - backfilled : 0;
}

// A first copy stopped when its log is as full as it gets (the next batch's commit would
// checkpoint it): the close, which copies the log back into the database, ends within a second,
// and every batch committed is there for the next run.
TEST(BusyProcessorStopTest, AStopWithTheBulkCopysLogFullEndsTheCopyWithinASecond) {
    test::TempDir dir;
    const auto chatDB = dir / "chat.db";
    // About 16 messages a page of log, and two batches more than one interval holds.
    sample::buildSampleChatDB(
        chatDB,
        {ShadowDB::bulkCopyCheckpointPages * 16 + 2 * ShadowSync::defaultBatchSize, 200, 5});
    const auto path = dir / "shadow.db";
    std::optional<test::BusyProcessor> busy;
    std::stop_source quit;
    Clock::time_point asked;
    std::int64_t fullAt = 0;
    std::int64_t previousFill = 0;
    Clock::time_point returned;
    bool cancelled = false;
    std::jthread worker([&] {
        ShadowSync sync(chatDB, path);
        try {
            sync.performSync(
                [&](std::int64_t processed, std::int64_t) {
                    if (processed == 0 || quit.stop_requested()) {
                        return;
                    }
                    // As full as the log gets: one more batch like the last would pass the
                    // checkpoint interval.
                    const auto fill = logPagesToCheckpoint(path);
                    const auto batch = fill - previousFill;
                    previousFill = fill;
                    if (batch > 0 && fill + batch > ShadowDB::bulkCopyCheckpointPages) {
                        busy.emplace();
                        EXPECT_TRUE(busy->pinCallingThread());
                        fullAt = fill;
                        asked = Clock::now();
                        quit.request_stop();
                    }
                },
                quit.get_token());
        } catch (const ShadowSyncError& error) {
            cancelled = error.kind() == ShadowSyncError::Case::cancelled;
        }
        returned = Clock::now();
    });
    worker.join();
    busy.reset();
    ASSERT_TRUE(quit.stop_requested()) << "the log never filled";
    EXPECT_TRUE(cancelled);
    EXPECT_GT(fullAt, ShadowDB::bulkCopyCheckpointPages / 2);
    EXPECT_LT(returned - asked, std::chrono::seconds(1))
        << "the stop took " << Seconds(returned - asked).count() << " s with " << fullAt
        << " pages in the log";
    // Every batch committed before the stop is there.
    const auto kept = test::queryInt(path, "SELECT message_count FROM sync_state");
    EXPECT_GE(kept, ShadowSync::defaultBatchSize);
    EXPECT_EQ(test::queryInt(path, "SELECT COUNT(DISTINCT guid) FROM messages"), kept);
    ShadowSync(chatDB, path).performSync();
    EXPECT_TRUE(ShadowDB(path, ShadowDB::OpenMode::readOnly).indexesAreWhole());
    EXPECT_EQ(test::queryInt(path, "SELECT COUNT(*) FROM messages"),
              test::queryInt(path, "SELECT message_count FROM sync_state"));
}

}  // namespace
}  // namespace vask
