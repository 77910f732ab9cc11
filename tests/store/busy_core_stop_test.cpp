// A stop must end each long statement of the store within a second on a loaded machine: here
// the run is pinned to one processor beside threads that keep it busy, so that it gets a fraction
// of it, as the application does beside other work. The stop comes as the statement is prepared
// (the moment an interrupt alone would be forgotten) or while it runs.

#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "sample-chatdb/sample_chat_db.h"
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
constexpr int busyThreads = 3;

// One processor the test may run on, and threads spinning on it while this lives.
class BusyProcessor {
  public:
    BusyProcessor() {
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        sched_getaffinity(0, sizeof(allowed), &allowed);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &allowed)) {
                cpu_ = cpu;
            }
        }
        for (int i = 0; i < busyThreads; ++i) {
            spinners_.emplace_back([this](const std::stop_token& stop) {
                pinCallingThread();
                while (!stop.stop_requested()) {
                    spun_.fetch_add(1, std::memory_order_relaxed);
                }
            });
        }
    }

    void pinCallingThread() const {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu_, &one);
        ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
    }

  private:
    int cpu_ = 0;
    std::atomic<std::uint64_t> spun_{0};
    std::vector<std::jthread> spinners_;
};

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
// stop, by the stop, while the statement ran.
template <typename Run>
void expectStoppedWithinASecond(const LongStatement& statement, StopAt at, const Run& run) {
    SCOPED_TRACE(std::string(statement.name) +
                 (at ? " after " + std::to_string(at->count()) + " ms" : " as it is prepared"));
    std::stop_source quit;
    StatementWatch watch(statement.sql, statement.action, statement.object,
                         at ? std::nullopt : std::optional(quit));
    auto started = watch.started();
    BusyProcessor busy;
    std::atomic<bool> stopped{false};
    Clock::time_point returned;
    std::jthread worker([&] {
        busy.pinCallingThread();
        stopped = run(quit.get_token());
        returned = Clock::now();
    });
    ASSERT_EQ(started.wait_for(std::chrono::minutes(2)), std::future_status::ready);
    const auto start = started.get();
    Clock::time_point asked;
    if (at) {
        std::this_thread::sleep_until(start + *at);
        asked = Clock::now();
        quit.request_stop();
    }
    worker.join();
    if (!at) {
        ASSERT_TRUE(watch.asked());
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
    // Into the guid's index, 1.5 s is about where its first chunk is sorted.
    for (const auto* statement : {&guidIndex, &fullTextRebuild}) {
        for (const StopAt at : {StopAt{}, StopAt{std::chrono::milliseconds(1500)}}) {
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
        BusyProcessor busy;
        std::atomic<bool> stopped{false};
        Clock::time_point returned;
        std::jthread worker([&] {
            busy.pinCallingThread();
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

}  // namespace
}  // namespace vask
