#include "store/shadow_sync.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <memory>
#include <stop_token>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <sqlite3.h>

#include "chat_db_fixture.h"
#include "platform/log_sink.h"
#include "store/chat_db_reader.h"
#include "store/shadow_db.h"
#include "store_test_helpers.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using test::checkMessagesFullTextIndex;
using test::queryInt;
using Calls = std::vector<std::pair<std::int64_t, std::int64_t>>;

struct SyncRun {
    std::int64_t written = 0;
    Calls progress;
};

SyncRun sync(ShadowSync& shadowSync) {
    SyncRun run;
    std::mutex mutex;
    run.written = shadowSync.performSync([&](std::int64_t processed, std::int64_t total) {
        std::lock_guard lock(mutex);
        run.progress.emplace_back(processed, total);
    });
    return run;
}

ShadowDB::SyncWatermark cursorOf(const std::filesystem::path& shadowPath) {
    ShadowDB db(shadowPath, ShadowDB::OpenMode::readOnly);
    return db.lastSyncWatermark();
}

class ShadowSyncTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    test::ChatDBFixture chatDB{dir / "chat.db"};
    std::filesystem::path shadowPath = dir / "shadow.db";
    std::int64_t chat = chatDB.addChat("iMessage;-;+15550100", 45);
    ShadowSync shadowSync{chatDB.path(), shadowPath};
};

TEST_F(ShadowSyncTest, MissingMessagesDatabaseCreatesNothing) {
    ShadowSync missing(dir / "nowhere" / "chat.db", shadowPath);
    try {
        missing.performSync();
        FAIL() << "sync ran without a Messages database";
    } catch (const ShadowSyncError& error) {
        EXPECT_EQ(error.kind(), ShadowSyncError::Case::chatDBNotFound);
        EXPECT_STREQ(error.what(),
                     "Messages database not found. Copy chat.db from a Mac to where Vask reads "
                     "it, or set CHAT_DB_PATH.");
    }
    EXPECT_FALSE(std::filesystem::exists(shadowPath));
}

TEST_F(ShadowSyncTest, UnreadableMessagesDatabaseCreatesNothing) {
    const auto junk = dir / "junk.db";
    for (const std::string content : {"", "not a database at all, only some text"}) {
        SCOPED_TRACE(content.size());
        {
            std::FILE* file = std::fopen(junk.c_str(), "wb");
            std::fputs(content.c_str(), file);
            std::fclose(file);
        }
        ShadowSync unreadable(junk, shadowPath);
        try {
            unreadable.performSync();
            FAIL() << "sync ran on an unreadable Messages database";
        } catch (const ChatDBReader::Error& error) {
            EXPECT_EQ(error.kind(), ChatDBReader::Error::Case::failedToOpen);
        }
        EXPECT_FALSE(std::filesystem::exists(shadowPath));
    }
}

TEST_F(ShadowSyncTest, AFailedRunKeepsTheParticipants) {
    for (const char* handle : {"+15550100", "+15550101", "+15550102"}) {
        chatDB.addMember(chat, chatDB.addHandle(handle));
    }
    chatDB.addPlainMessages(3, chat, "m");
    ASSERT_EQ(sync(shadowSync).written, 3);
    // The message table goes (a damaged database), and the chats lose all but one member.
    chatDB.connection().execute(
        "DELETE FROM chat_handle_join WHERE ROWID > 1;"
        "ALTER TABLE message RENAME TO message_gone;"
        "CREATE VIEW message AS SELECT ROWID AS ROWID, guid, json(text) AS text, attributedBody, "
        "date, is_from_me, handle_id FROM message_gone;"
        "INSERT INTO message_gone (guid, text, date) VALUES ('bad', 'x', 99000);");
    EXPECT_THROW(sync(shadowSync), ChatDBReader::Error);
    EXPECT_EQ(queryInt(shadowPath, "SELECT COUNT(*) FROM chat_participants"), 3);
}

TEST_F(ShadowSyncTest, BatchesReportProgressAndStopAtTheRightFetch) {
    struct Row {
        std::int64_t rows;
        Calls expected;
    };
    const Row rows[] = {
        {25000, {{0, 25000}, {10000, 25000}, {20000, 25000}, {25000, 25000}, {25000, 25000}}},
        // A full batch is followed by one more fetch, which reads nothing.
        {10000, {{0, 10000}, {10000, 10000}, {10000, 10000}}},
        {0, {{0, 0}, {0, 0}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rows);
        test::TempDir runDir;
        test::ChatDBFixture source(runDir / "chat.db");
        source.addPlainMessages(row.rows, source.addChat("c", 45), "m");
        ShadowSync runSync(source.path(), runDir / "shadow.db");
        const auto run = sync(runSync);
        EXPECT_EQ(run.written, row.rows);
        EXPECT_EQ(run.progress, row.expected);
        EXPECT_EQ(runSync.messageCount(), row.rows);
        EXPECT_EQ(cursorOf(runDir / "shadow.db"),
                  (ShadowDB::SyncWatermark{row.rows * 1000, row.rows}));
        EXPECT_EQ(queryInt(runDir / "shadow.db", "SELECT message_count FROM sync_state"), row.rows);
    }
}

TEST_F(ShadowSyncTest, MessagesInTwoChatsKeepOneChatWhereverABatchEnds) {
    struct Row {
        const char* name;
        std::int64_t before;  // plain messages ahead of the two messages in two chats
    };
    const Row rows[] = {
        {"first join row ends a batch", ShadowSync::defaultBatchSize - 1},
        {"second join row ends a batch", ShadowSync::defaultBatchSize - 2},
        {"both inside a batch", 10},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir runDir;
        test::ChatDBFixture source(runDir / "chat.db");
        const auto first = source.addChat("chat-first", 43);
        const auto second = source.addChat("chat-second", 43);
        source.addPlainMessages(row.before, first, "m");
        for (const char* guid : {"x", "y"}) {
            // Joined to the later chat first, as rows of chat_message_join may lie: the message
            // is in the chat of its last join, the earlier chat row.
            const auto rowid = source.addMessage({guid, std::string("in two chats"), std::nullopt,
                                                  (row.before + 1) * 1000, false, 0, second});
            SQLiteStatement join(
                source.connection().get(),
                "INSERT INTO chat_message_join (chat_id, message_id) VALUES (?, ?)");
            join.bind(1, first).bind(2, rowid).run();
        }
        source.addPlainMessages(5, first, "after", (row.before + 2) * 1000);
        ShadowSync runSync(source.path(), runDir / "shadow.db");

        EXPECT_EQ(sync(runSync).written, row.before + 7);
        EXPECT_EQ(runSync.messageCount(), row.before + 7);
        for (const char* guid : {"x", "y"}) {
            EXPECT_EQ(test::queryText(runDir / "shadow.db", std::string("SELECT chat_id FROM "
                                                                        "messages WHERE guid = '") +
                                                                guid + "'"),
                      "chat-first")
                << guid;
        }
    }
}

TEST_F(ShadowSyncTest, UpToDateRunWritesNothingAndKeepsTheSyncState) {
    chatDB.addPlainMessages(30, chat, "m");
    ASSERT_EQ(sync(shadowSync).written, 30);
    test::openFile(shadowPath).execute("UPDATE sync_state SET updated_at = 12345");
    const auto handle = chatDB.addHandle("+15550100");
    chatDB.addMember(chat, handle);

    const auto again = sync(shadowSync);
    EXPECT_EQ(again.written, 0);
    EXPECT_EQ(again.progress, (Calls{{0, 0}, {0, 0}}));
    EXPECT_EQ(queryInt(shadowPath, "SELECT updated_at FROM sync_state"), 12345);
    // Participants are replaced on every run.
    EXPECT_EQ(
        shadowSync.fetchChatParticipants({"iMessage;-;+15550100"})["iMessage;-;+15550100"].size(),
        1u);
}

TEST_F(ShadowSyncTest, RowsArrivingLateWithAnOlderDateAreCopied) {
    chatDB.addPlainMessages(5, chat, "m", 1000000);
    ASSERT_EQ(sync(shadowSync).written, 5);
    // History from another device: a new row, dated before everything already copied.
    chatDB.addMessage({"late", "from the old phone", std::nullopt, 10, false, 0, chat});
    chatDB.addMessage({"new", "just now", std::nullopt, 99000000, false, 0, chat});
    const auto run = sync(shadowSync);
    EXPECT_EQ(run.written, 2);
    EXPECT_EQ(shadowSync.messageCount(), 7);
    EXPECT_EQ(queryInt(shadowPath, "SELECT message_count FROM sync_state"), 7);
    EXPECT_EQ(shadowSync.messageCountAfterSync(), 7);
    EXPECT_EQ(cursorOf(shadowPath), (ShadowDB::SyncWatermark{99000000, 7}));
}

// A run keeps the count of messages with its cursor instead of counting the whole table: what
// it reports is the stored count plus what it added (a marked count shows it was not taken
// afresh), and only a bulk copy, which rebuilds every index anyway, counts the table once.
TEST_F(ShadowSyncTest, TheCountIsKeptWithTheCursorNotTakenAfresh) {
    chatDB.addPlainMessages(5, chat, "m");
    sync(shadowSync);
    EXPECT_EQ(shadowSync.messageCountAfterSync(), 5);
    test::openFile(shadowPath).execute("UPDATE sync_state SET message_count = 1000");
    chatDB.addPlainMessages(3, chat, "n");
    // A message in two chats is two rows of a batch and one message.
    const auto other = chatDB.addChat("chat-two", 43);
    const auto both =
        chatDB.addMessage({"both", "in two chats", std::nullopt, 1000000000, false, 0, chat});
    chatDB.connection().execute("INSERT INTO chat_message_join (chat_id, message_id) VALUES (" +
                                std::to_string(other) + ", " + std::to_string(both) + ")");
    sync(shadowSync);
    EXPECT_EQ(shadowSync.messageCountAfterSync(), 1004);
    EXPECT_EQ(queryInt(shadowPath, "SELECT message_count FROM sync_state"), 1004);
    EXPECT_EQ(shadowSync.messageCount(), 9);

    sync(shadowSync);
    EXPECT_EQ(shadowSync.messageCountAfterSync(), 1004) << "nothing new, nothing counted";

    ShadowSync bulk(chatDB.path(), shadowPath);
    bulk.setDeferredIndexingThreshold(0);
    test::openFile(shadowPath).execute("UPDATE sync_state SET message_count = 0");
    chatDB.addPlainMessages(2, chat, "o");
    sync(bulk);
    EXPECT_EQ(bulk.messageCountAfterSync(), 11);
}

// A batch's rows, its cursor and the count it adds commit together: a run that fails while
// storing the cursor leaves none of its rows behind, and the count stays exact afterwards.
TEST_F(ShadowSyncTest, RowsCursorAndCountCommitTogether) {
    chatDB.addPlainMessages(40, chat, "m");
    sync(shadowSync);
    chatDB.addPlainMessages(25, chat, "n");
    test::openFile(shadowPath)
        .execute(
            "CREATE TRIGGER refuse_cursor BEFORE UPDATE ON sync_state "
            "BEGIN SELECT RAISE(ABORT, 'cursor refused'); END");
    EXPECT_THROW(sync(shadowSync), ShadowDB::Error);
    EXPECT_EQ(shadowSync.messageCount(), 40);
    EXPECT_EQ(queryInt(shadowPath, "SELECT message_count FROM sync_state"), 40);

    test::openFile(shadowPath).execute("DROP TRIGGER refuse_cursor");
    sync(shadowSync);
    EXPECT_EQ(shadowSync.messageCount(), 65);
    EXPECT_EQ(shadowSync.messageCountAfterSync(), 65);
}

TEST_F(ShadowSyncTest, ResynchronisedRowsKeepTheFullTextIndexExact) {
    chatDB.addPlainMessages(12000, chat, "m");
    ASSERT_EQ(sync(shadowSync).written, 12000);
    // An edit reaches the Messages database, and the cursor is wound back (as after a crash
    // between a batch and its cursor): every row is written again over itself.
    chatDB.connection().execute("UPDATE message SET text = 'walrus tusk' WHERE guid = 'm7'");
    ShadowDB(shadowPath).updateSyncState(0, 0, 0);
    EXPECT_EQ(sync(shadowSync).written, 12000);
    EXPECT_EQ(shadowSync.messageCount(), 12000);
    EXPECT_EQ(test::fullTextMatches(shadowPath, "walrus"), 1);
    EXPECT_EQ(test::fullTextMatches(shadowPath, "\"number 7\""), 0);
    EXPECT_NO_THROW(checkMessagesFullTextIndex(shadowPath));
}

TEST_F(ShadowSyncTest, AFailedRunKeepsCommittedBatchesAndTheirCursor) {
    chatDB.addPlainMessages(10000, chat, "m");
    // A row of the second batch breaks while it is read.
    chatDB.connection().execute(
        "ALTER TABLE message RENAME TO message_rows;"
        "CREATE VIEW message AS SELECT ROWID AS ROWID, guid, "
        "CASE WHEN guid = 'bad' THEN json(text) ELSE text END AS text, attributedBody, date, "
        "is_from_me, handle_id FROM message_rows;"
        "INSERT INTO message_rows (guid, text, date) VALUES ('bad', 'x', 20000000);");
    EXPECT_THROW(sync(shadowSync), ChatDBReader::Error);
    EXPECT_EQ(shadowSync.messageCount(), 10000);
    EXPECT_EQ(queryInt(shadowPath, "SELECT message_count FROM sync_state"), 10000);
    EXPECT_EQ(cursorOf(shadowPath), (ShadowDB::SyncWatermark{10000 * 1000, 10000}));
}

// A stop (the application quitting) ends the run between batches, whether it defers its index
// work or not, and keeps the batches it copied; the next run goes on from there (a bulk copy with
// its indexes still left out, neither repaired nor dropped again) and copies every other message
// once.
TEST_F(ShadowSyncTest, AStoppedRunEndsBetweenBatchesAndTheNextOneFinishes) {
    chatDB.addPlainMessages(30000, chat, "m");
    for (const std::int64_t threshold :
         {std::int64_t{0}, std::numeric_limits<std::int64_t>::max()}) {
        SCOPED_TRACE(threshold);
        test::TempDir runDir;
        ShadowSync run(chatDB.path(), runDir / "shadow.db");
        run.setDeferredIndexingThreshold(threshold);
        const auto log = std::make_shared<test::LogLines>();
        const auto previous = LogSink::install(log);
        std::stop_source stop;
        try {
            run.performSync(
                [&](std::int64_t processed, std::int64_t) {
                    if (processed >= 10000) {
                        stop.request_stop();
                    }
                },
                stop.get_token());
            ADD_FAILURE() << "the run went to the end";
        } catch (const ShadowSyncError& error) {
            EXPECT_EQ(error.kind(), ShadowSyncError::Case::cancelled);
        }
        EXPECT_LT(cursorOf(runDir / "shadow.db").rowid, 30000);
        // What it reports committed is what the next run finds.
        EXPECT_EQ(
            run.messagesCommitted(),
            ShadowDB(runDir / "shadow.db", ShadowDB::OpenMode::readOnly).syncedMessageCount());
        EXPECT_EQ(run.messagesCommitted(), 10000);
        EXPECT_EQ(run.performSync(), 20000);
        LogSink::install(previous);
        EXPECT_EQ(log->count("Repairing the indexes"), 0);
        EXPECT_EQ(log->count("Going on with a bulk copy"), threshold == 0 ? 1 : 0);
        EXPECT_EQ(run.messageCount(), 30000);
        EXPECT_EQ(queryInt(runDir / "shadow.db", "SELECT COUNT(*) FROM messages"), 30000);
        EXPECT_EQ(queryInt(runDir / "shadow.db", "SELECT COUNT(DISTINCT guid) FROM messages"),
                  30000);
        EXPECT_EQ(queryInt(runDir / "shadow.db",
                           "SELECT count(*) FROM messages_fts WHERE messages_fts MATCH 'm*'"),
                  30000);
        EXPECT_NO_THROW(checkMessagesFullTextIndex(runDir / "shadow.db"));
    }
}

// Asks for a stop once the shadow database has been given `rows` message rows: a trigger on its
// messages table calls a function that every connection this process opens meanwhile gets, so
// the stop comes from inside the statement that writes a batch.
class StopAfterRowsWritten {
  public:
    StopAfterRowsWritten(const std::filesystem::path& shadowPath, std::stop_source stop,
                         std::int64_t rows)
        : shadowPath_(shadowPath) {
        current_ = this;
        stop_ = std::move(stop);
        rowsLeft_ = rows;
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(&addFunction));
        test::openFile(shadowPath_)
            .execute(
                "CREATE TRIGGER stop_after_rows AFTER INSERT ON messages BEGIN "
                "SELECT vask_test_row_written(); END");
    }
    ~StopAfterRowsWritten() {
        test::openFile(shadowPath_).execute("DROP TRIGGER stop_after_rows");
        sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&addFunction));
        current_ = nullptr;
    }
    StopAfterRowsWritten(const StopAfterRowsWritten&) = delete;
    StopAfterRowsWritten& operator=(const StopAfterRowsWritten&) = delete;

  private:
    static int addFunction(sqlite3* db, const char**, const sqlite3_api_routines*) {
        return sqlite3_create_function(db, "vask_test_row_written", 0, SQLITE_UTF8, nullptr,
                                       &rowWritten, nullptr, nullptr);
    }
    static void rowWritten(sqlite3_context* context, int, sqlite3_value**) {
        if (current_ != nullptr && --current_->rowsLeft_ == 0) {
            current_->stop_.request_stop();
        }
        sqlite3_result_null(context);
    }
    static inline StopAfterRowsWritten* current_ = nullptr;
    std::filesystem::path shadowPath_;
    std::stop_source stop_;
    std::int64_t rowsLeft_ = 0;
};

// A quit holds its second whatever the batch in flight: a stop that comes while a batch is being
// written ends the copy before the batch's end, with nothing of it written (its rows, cursor and
// count rolled back together), whether the run defers its index work or not; the next run copies
// everything exactly.
TEST_F(ShadowSyncTest, AStopInsideABatchEndsTheCopyBeforeTheBatchsEnd) {
    // The shadow database's schema, for the trigger.
    ASSERT_EQ(sync(shadowSync).written, 0);
    chatDB.addPlainMessages(30000, chat, "m");
    for (const std::int64_t threshold :
         {std::int64_t{0}, std::numeric_limits<std::int64_t>::max()}) {
        SCOPED_TRACE(threshold);
        ShadowSync run(chatDB.path(), shadowPath);
        run.setDeferredIndexingThreshold(threshold);
        // One batch holds every row.
        run.setBatchSize(40000);
        std::stop_source stop;
        {
            const StopAfterRowsWritten stopper(shadowPath, stop, 1000);
            try {
                run.performSync({}, stop.get_token());
                ADD_FAILURE() << "the run went to the end";
            } catch (const ShadowSyncError& error) {
                EXPECT_EQ(error.kind(), ShadowSyncError::Case::cancelled);
            }
        }
        EXPECT_TRUE(stop.stop_requested());
        EXPECT_EQ(run.messagesCommitted(), 0);
        EXPECT_EQ(cursorOf(shadowPath).rowid, 0);
        EXPECT_EQ(queryInt(shadowPath, "SELECT COUNT(*) FROM messages"), 0);
        EXPECT_EQ(ShadowDB(shadowPath, ShadowDB::OpenMode::readOnly).syncedMessageCount(), 0);
    }
    EXPECT_EQ(sync(shadowSync).written, 30000);
    EXPECT_EQ(shadowSync.messageCount(), 30000);
    EXPECT_EQ(
        queryInt(shadowPath, "SELECT count(*) FROM messages_fts WHERE messages_fts MATCH 'm*'"),
        30000);
    EXPECT_NO_THROW(checkMessagesFullTextIndex(shadowPath));
}

// The messages table as databases made before the guid had a unique index of its own: the
// column carries the constraint, whose index a bulk copy cannot drop.
constexpr const char* guidConstraintTableSQL = R"(PRAGMA user_version = 1;
CREATE TABLE messages (
    rowid INTEGER PRIMARY KEY,
    guid TEXT UNIQUE NOT NULL,
    chat_id TEXT NOT NULL,
    chat_name TEXT,
    sender TEXT NOT NULL,
    text TEXT NOT NULL,
    timestamp INTEGER NOT NULL,
    is_from_me INTEGER NOT NULL,
    is_group INTEGER NOT NULL,
    recipient_handle TEXT,
    has_attachments INTEGER DEFAULT 0,
    attachment_types TEXT,
    content_hash TEXT,
    edited_at INTEGER,
    deleted_at INTEGER,
    timestamp_unix INTEGER
        GENERATED ALWAYS AS (timestamp / 1000000000 + 978307200) VIRTUAL
))";

// A bulk copy commits each batch, and a quit keeps what was committed; on a database whose guid
// column carries the constraint it commits its batches in groups instead (each commit would
// write the guid index out again), and a quit does not wait for a group's commit: a stop that
// comes after the group's last batch was written rolls the whole group back (its rows, cursor
// and count together), the groups committed before it stay. Either way the next run copies the
// rest exactly.
TEST_F(ShadowSyncTest, AStopBeforeAGroupsCommitRollsTheGroupBack) {
    const auto perGroup = 100 * ShadowSync::bulkBatchesPerTransaction;
    chatDB.addPlainMessages(perGroup + 50, chat, "m");
    struct Row {
        const char* name;
        bool guidConstraint;
        std::int64_t stopAtReport;  // how many messages were processed when the stop comes
        std::int64_t kept;
    };
    const Row rows[] = {
        {"after the first batch", false, 100, 100},
        {"after the first group's last batch", false, perGroup, perGroup},
        {"constraint: after the first group's last batch", true, perGroup, 0},
        {"constraint: after the last batch, which ends the copy", true, perGroup + 50, perGroup},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove(shadowPath);
        if (row.guidConstraint) {
            test::openFile(shadowPath).execute(guidConstraintTableSQL);
        }
        ShadowSync run(chatDB.path(), shadowPath);
        run.setDeferredIndexingThreshold(0);
        run.setBatchSize(100);
        std::stop_source stop;
        try {
            run.performSync(
                [&](std::int64_t processed, std::int64_t) {
                    if (processed == row.stopAtReport) {
                        stop.request_stop();
                    }
                },
                stop.get_token());
            ADD_FAILURE() << "the run went to the end";
        } catch (const ShadowSyncError& error) {
            EXPECT_EQ(error.kind(), ShadowSyncError::Case::cancelled);
        }
        EXPECT_EQ(run.messagesCommitted(), row.kept);
        EXPECT_EQ(cursorOf(shadowPath).rowid, row.kept);
        EXPECT_EQ(queryInt(shadowPath, "SELECT COUNT(*) FROM messages"), row.kept);
        EXPECT_EQ(ShadowDB(shadowPath, ShadowDB::OpenMode::readOnly).syncedMessageCount(),
                  row.kept);
        EXPECT_EQ(run.performSync(), perGroup + 50 - row.kept);
        EXPECT_EQ(run.messageCount(), perGroup + 50);
        EXPECT_EQ(queryInt(shadowPath, "SELECT COUNT(DISTINCT guid) FROM messages"), perGroup + 50);
        EXPECT_NO_THROW(checkMessagesFullTextIndex(shadowPath));
        // One unique index on the guid: the column's, or the index of its own.
        EXPECT_EQ(queryInt(shadowPath,
                           "SELECT COUNT(*) FROM pragma_index_list('messages') WHERE \"unique\""),
                  1);
        EXPECT_EQ(queryInt(shadowPath,
                           "SELECT COUNT(*) FROM sqlite_master "
                           "WHERE name = 'sqlite_autoindex_messages_1'"),
                  row.guidConstraint ? 1 : 0);
    }
}

// The copy's read and write of a batch each look at the stop row by row: a stop requested ends
// them at once, the write rolled back whole.
TEST_F(ShadowSyncTest, AStopEndsTheCopysReadAndWriteOfABatch) {
    chatDB.addPlainMessages(1200, chat, "m");
    ChatDBReader reader(chatDB.path());
    const auto batch = reader.fetchMessages(0, 0, 2000);
    ASSERT_EQ(batch.messages.size(), 1200u);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(reader.fetchMessages(0, 0, 2000, stop.get_token()), ChatDBReader::Error);
    ShadowDB shadow(shadowPath);
    shadow.createSchemaIfNeeded();
    EXPECT_THROW(shadow.insertBatchCounting(batch.messages, stop.get_token()), ShadowDB::Error);
    EXPECT_EQ(shadow.messageCount(), 0);
    EXPECT_EQ(shadow.insertBatchCounting(batch.messages).addedToCount, 1200);
}

// Two runs that start together on a new shadow database: both open and configure it (only one
// connection at a time may switch a new file to WAL), copy the same rows, and leave one exact copy.
TEST_F(ShadowSyncTest, OverlappingRunsLeaveAnExactCopy) {
    chatDB.addPlainMessages(15000, chat, "m");
    ShadowSync other(chatDB.path(), shadowPath);
    std::exception_ptr failures[2];
    std::thread second([&] {
        try {
            other.performSync();
        } catch (...) {
            failures[1] = std::current_exception();
        }
    });
    try {
        shadowSync.performSync();
    } catch (...) {
        failures[0] = std::current_exception();
    }
    second.join();
    // On a starved machine one run can wait past the busy timeout while the other commits batch
    // after batch; the application tries a failed run again, and so does this test. Any other
    // failure, or anything lost or doubled, is a fault.
    for (const auto& failure : failures) {
        if (failure) {
            EXPECT_EQ(describeException(failure), "Query failed: database is locked");
            EXPECT_NO_THROW(shadowSync.performSync());
        }
    }
    EXPECT_EQ(shadowSync.messageCount(), 15000);
    EXPECT_EQ(queryInt(shadowPath, "SELECT message_count FROM sync_state"), 15000);
    EXPECT_EQ(cursorOf(shadowPath), (ShadowDB::SyncWatermark{15000 * 1000, 15000}));
    EXPECT_NO_THROW(checkMessagesFullTextIndex(shadowPath));
}

// `count` messages with no chat yet, "tusk polish" from "late1" on.
void addChatlessMessages(const SQLiteConnection& db, std::int64_t count,
                         const std::string& prefix = "late", const std::string& table = "message") {
    if (count == 0) {
        return;
    }
    db.execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
               std::to_string(count) + ") INSERT INTO " + table +
               " (guid, text, date, is_from_me, handle_id) SELECT '" + prefix +
               "' || i, 'tusk polish', 100000 + i, 1, 0 FROM n");
}

void joinChatless(const SQLiteConnection& db, std::int64_t chat, const std::string& prefix = "late",
                  const std::string& table = "message") {
    db.execute("INSERT INTO chat_message_join (chat_id, message_id) SELECT " +
               std::to_string(chat) + ", ROWID FROM " + table + " WHERE guid LIKE '" + prefix +
               "%' ORDER BY ROWID");
}

// The chat "Walrus Club" with three messages in it; its row id.
std::int64_t addClub(test::ChatDBFixture& source) {
    const auto club = source.addChat("chat-club", 43, std::string("Walrus Club"));
    source.addPlainMessages(3, club, "m");
    return club;
}

// The Messages app may commit a message's chat join a moment after the message: a run in
// between copies it without a chat, and its cursor moves past it. A later run, in this process
// or after a restart, puts it in its chat once the join and the chat are there; a message that
// never gets one stays where it is.
TEST_F(ShadowSyncTest, AMessageWhoseChatArrivesAfterItMovesIntoItsChat) {
    struct Row {
        const char* name;
        bool restart;
        std::int64_t chatless;  // more than one lookup statement takes, in one row
    };
    const Row rows[] = {
        {"the next run", false, 1},
        {"after a restart", true, 1},
        {"many at once", false, 1200},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir runDir;
        test::ChatDBFixture source(runDir / "chat.db");
        const auto club = addClub(source);
        auto& db = source.connection();
        addChatlessMessages(db, row.chatless);
        source.addMessage({"never", "no chat at all", std::nullopt, 20000, true, 0, std::nullopt});
        const auto shadow = runDir / "shadow.db";
        auto first = std::make_unique<ShadowSync>(source.path(), shadow);
        const std::int64_t total = 4 + row.chatless;
        ASSERT_EQ(sync(*first).written, total);
        const std::string chatOfLate1 = "SELECT chat_id FROM messages WHERE guid = 'late1'";
        ASSERT_EQ(test::queryText(shadow, chatOfLate1), "unknown");

        // The join lands, but its chat row is not there yet: still no chat to put it in.
        db.execute(
            "INSERT INTO chat_message_join (chat_id, message_id) "
            "SELECT 999, ROWID FROM message WHERE guid LIKE 'late%'");
        sync(*first);
        EXPECT_EQ(test::queryText(shadow, chatOfLate1), "unknown");
        db.execute("UPDATE chat_message_join SET chat_id = " + std::to_string(club) +
                   " WHERE chat_id = 999");
        source.addPlainMessages(1, club, "after", 30000);

        auto second =
            row.restart ? std::make_unique<ShadowSync>(source.path(), shadow) : std::move(first);
        EXPECT_EQ(sync(*second).written, 1 + row.chatless);
        EXPECT_EQ(queryInt(shadow, "SELECT COUNT(*) FROM messages WHERE chat_id = 'unknown'"), 1)
            << "only the message that never got a chat";
        EXPECT_EQ(test::queryText(shadow, chatOfLate1), "chat-club");
        EXPECT_EQ(test::queryText(shadow, "SELECT chat_id FROM messages WHERE guid = 'never'"),
                  "unknown");
        EXPECT_EQ(second->messageCount(), total + 1);
        EXPECT_EQ(second->messageCountAfterSync(), total + 1);
        EXPECT_EQ(queryInt(shadow, "SELECT message_count FROM sync_state"), total + 1);
        EXPECT_EQ(second->recentThread("chat-club", std::nullopt, 5000).size(),
                  static_cast<std::size_t>(4 + row.chatless));
        // The chat's name is indexed with the text: the rewritten rows are found by it.
        EXPECT_EQ(test::fullTextMatches(shadow, "tusk AND walrus"), row.chatless);
        EXPECT_NO_THROW(checkMessagesFullTextIndex(shadow));

        EXPECT_EQ(sync(*second).written, 0) << "nothing more to move";
    }
}

// Many joins at once (a history downloaded while Vask runs): the move goes in batches, each
// committed with its cursor, and a stop ends it after the batch that was running. The next run
// moves the rest, and nothing is moved twice or lost.
TEST_F(ShadowSyncTest, AStopEndsTheMoveWithinOneBatchAndTheNextRunMovesTheRest) {
    struct Row {
        const char* name;
        std::int64_t neverJoined;  // more waiting than joins arriving: the move follows the joins
    };
    const Row rows[] = {{"by the joins that arrived", 10}, {"by the messages that wait", 0}};
    const std::int64_t late = 2 * ShadowSync::defaultBatchSize + 500;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir runDir;
        test::ChatDBFixture source(runDir / "chat.db");
        const auto club = addClub(source);
        addChatlessMessages(source.connection(), late);
        addChatlessMessages(source.connection(), row.neverJoined, "never");
        const auto shadow = runDir / "shadow.db";
        ShadowSync runSync(source.path(), shadow);
        runSync.setDeferredIndexingThreshold(std::numeric_limits<std::int64_t>::max());
        ASSERT_EQ(sync(runSync).written, 3 + late + row.neverJoined);

        joinChatless(source.connection(), club);
        std::stop_source stop;
        {
            const auto previous =
                LogSink::install(std::make_shared<test::StopOnLog>(stop, "Moved "));
            try {
                runSync.performSync({}, stop.get_token());
                ADD_FAILURE() << "the move went to the end";
            } catch (const ShadowSyncError& error) {
                EXPECT_EQ(error.kind(), ShadowSyncError::Case::cancelled);
            }
            LogSink::install(previous);
        }
        const std::string inClub = "SELECT COUNT(*) FROM messages WHERE chat_id = 'chat-club'";
        EXPECT_EQ(queryInt(shadow, inClub), 3 + ShadowSync::defaultBatchSize) << "one batch moved";
        EXPECT_EQ(runSync.messagesCommitted(), ShadowSync::defaultBatchSize);
        EXPECT_NO_THROW(checkMessagesFullTextIndex(shadow));

        EXPECT_EQ(sync(runSync).written, late - ShadowSync::defaultBatchSize);
        EXPECT_EQ(queryInt(shadow, inClub), 3 + late);
        EXPECT_EQ(queryInt(shadow, "SELECT COUNT(*) FROM messages"), 3 + late + row.neverJoined);
        EXPECT_EQ(queryInt(shadow, "SELECT message_count FROM sync_state"),
                  3 + late + row.neverJoined);
        EXPECT_EQ(test::fullTextMatches(shadow, "tusk AND walrus"), late);
        EXPECT_NO_THROW(checkMessagesFullTextIndex(shadow));
        EXPECT_EQ(sync(runSync).written, 0) << "nothing moved twice";
    }
}

// Messages that never get a join (system rows, chats deleted) are not read again: a run looks
// at the join rows that arrived since the last one. Here those messages can no longer be read
// at all, so a run that looked them up again would fail.
TEST_F(ShadowSyncTest, MessagesThatNeverGetAJoinAreNotLookedUpAgain) {
    chatDB.addPlainMessages(3, chat, "m");
    addChatlessMessages(chatDB.connection(), 1200, "never");
    ASSERT_EQ(sync(shadowSync).written, 1203);
    auto& db = chatDB.connection();
    db.execute(
        "ALTER TABLE message RENAME TO message_rows;"
        "CREATE VIEW message AS SELECT ROWID AS ROWID, "
        "CASE WHEN guid LIKE 'never%' THEN json(text) ELSE guid END AS guid, text, "
        "attributedBody, date, is_from_me, handle_id FROM message_rows;");
    addChatlessMessages(db, 1, "late", "message_rows");
    db.execute(
        "INSERT INTO message_rows (guid, text, date, is_from_me, handle_id) "
        "VALUES ('new', 'just now', 900000, 0, 0)");
    db.execute("INSERT INTO chat_message_join (chat_id, message_id) SELECT " +
               std::to_string(chat) + ", ROWID FROM message_rows WHERE guid = 'new'");
    ASSERT_EQ(sync(shadowSync).written, 2) << "'late1' has no chat yet";

    joinChatless(db, chat, "late", "message_rows");
    EXPECT_EQ(sync(shadowSync).written, 1);
    EXPECT_EQ(test::queryText(shadowPath, "SELECT chat_id FROM messages WHERE guid = 'late1'"),
              "iMessage;-;+15550100");
    EXPECT_EQ(queryInt(shadowPath, "SELECT COUNT(*) FROM messages WHERE chat_id = 'unknown'"),
              1200);
    EXPECT_EQ(sync(shadowSync).written, 0);
}

// A quit must not wait for the batch in hand: a stop ends the read and the write of a move
// (the write rolled back whole), and the next run moves them.
TEST_F(ShadowSyncTest, AStopEndsTheBatchInHandAndLeavesNothingHalfMoved) {
    const auto club = addClub(chatDB);
    addChatlessMessages(chatDB.connection(), 1200);
    ASSERT_EQ(sync(shadowSync).written, 1203);
    joinChatless(chatDB.connection(), club);
    std::vector<std::string> guids;
    for (int i = 1; i <= 1200; ++i) {
        guids.push_back("late" + std::to_string(i));
    }
    ChatDBReader reader(chatDB.path());
    const auto found = reader.fetchMessagesInChats(guids);
    ASSERT_EQ(found.size(), 1200u);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(reader.fetchMessagesInChats(guids, stop.get_token()), ChatDBReader::Error);
    {
        ShadowDB shadow(shadowPath);
        EXPECT_THROW(shadow.moveIntoChats(found, stop.get_token()), ShadowDB::Error);
        EXPECT_EQ(shadow.moveIntoChats({found.begin(), found.begin() + 1}), 1);
    }
    EXPECT_EQ(queryInt(shadowPath, "SELECT COUNT(*) FROM messages WHERE chat_id = 'unknown'"),
              1199);
    EXPECT_NO_THROW(checkMessagesFullTextIndex(shadowPath));
    EXPECT_EQ(sync(shadowSync).written, 1199);
}

// A late message joined to two chats lands in the one a copy would give it: that of its join
// with the highest row id, whichever chat row came first.
TEST_F(ShadowSyncTest, ALateMessageInTwoChatsMovesIntoTheChatOfItsLastJoin) {
    struct Row {
        const char* name;
        bool clubJoinedLast;  // the club's chat row comes before zed's
    };
    for (const Row row : {Row{"joined to the earlier chat last", true},
                          Row{"joined to the later chat last", false}}) {
        SCOPED_TRACE(row.name);
        test::TempDir runDir;
        test::ChatDBFixture source(runDir / "chat.db");
        const auto club = addClub(source);
        const auto zed = source.addChat("chat-zed", 43, std::string("Zed"));
        addChatlessMessages(source.connection(), 3);
        const auto shadow = runDir / "shadow.db";
        ShadowSync runSync(source.path(), shadow);
        ASSERT_EQ(sync(runSync).written, 6);
        joinChatless(source.connection(), row.clubJoinedLast ? zed : club);
        joinChatless(source.connection(), row.clubJoinedLast ? club : zed);
        EXPECT_EQ(sync(runSync).written, 3);
        const std::string last = row.clubJoinedLast ? "club" : "zed";
        EXPECT_EQ(queryInt(shadow, "SELECT COUNT(*) FROM messages WHERE chat_id = 'chat-" + last +
                                       "' AND guid LIKE 'late%'"),
                  3);
        EXPECT_EQ(test::fullTextMatches(
                      shadow, "tusk AND " + std::string(row.clubJoinedLast ? "walrus" : "zed")),
                  3);
        EXPECT_NO_THROW(checkMessagesFullTextIndex(shadow));
    }
}

// The join rows are followed by row id. What breaks that (the last rows deleted and their ids
// taken again, the table rebuilt, rows naming a chat or a message not there yet) neither loses
// a move nor makes one twice.
TEST_F(ShadowSyncTest, TheJoinCursorSurvivesWhatTheJoinTableGoesThrough) {
    struct Row {
        const char* name;
        // Between a run that copied 'late1' without a chat and the next one.
        std::function<void(test::ChatDBFixture&, std::int64_t club)> change;
    };
    const Row rows[] = {
        {"the last join deleted and its row id taken by the late one",
         [](test::ChatDBFixture& source, std::int64_t club) {
             source.connection().execute(
                 "DELETE FROM chat_message_join WHERE ROWID = (SELECT MAX(ROWID) FROM "
                 "chat_message_join)");
             joinChatless(source.connection(), club);
         }},
        {"the join table rebuilt in another order",
         [](test::ChatDBFixture& source, std::int64_t club) {
             joinChatless(source.connection(), club);
             source.connection().execute(
                 "CREATE TABLE joins AS SELECT chat_id, message_id, message_date FROM "
                 "chat_message_join ORDER BY message_id DESC;"
                 "DELETE FROM chat_message_join;"
                 "INSERT INTO chat_message_join SELECT * FROM joins; DROP TABLE joins;");
         }},
        {"a join read before its chat row came",
         [](test::ChatDBFixture& source, std::int64_t) {
             joinChatless(source.connection(), 999);
             ShadowSync(source.path(), source.path().parent_path() / "shadow.db").performSync();
             source.connection().execute(
                 "INSERT INTO chat (ROWID, guid, style) VALUES (999, 'chat-late', 43)");
         }},
        {"a join read before its message row came",
         [](test::ChatDBFixture& source, std::int64_t club) {
             joinChatless(source.connection(), club);
             source.connection().execute(
                 "INSERT INTO chat_message_join (chat_id, message_id) SELECT " +
                 std::to_string(club) + ", MAX(ROWID) + 1 FROM message");
             ShadowSync(source.path(), source.path().parent_path() / "shadow.db").performSync();
             source.connection().execute(
                 "INSERT INTO message (guid, text, date, is_from_me, handle_id) "
                 "VALUES ('after', 'came after its join', 900000, 0, 0)");
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir runDir;
        test::ChatDBFixture source(runDir / "chat.db");
        const auto club = addClub(source);
        addChatlessMessages(source.connection(), 1);
        addChatlessMessages(source.connection(), 2, "never");
        const auto shadow = runDir / "shadow.db";
        ASSERT_EQ(ShadowSync(source.path(), shadow).performSync(), 6);
        ASSERT_EQ(test::queryText(shadow, "SELECT chat_id FROM messages WHERE guid = 'late1'"),
                  "unknown");

        row.change(source, club);
        ShadowSync again(source.path(), shadow);
        again.performSync();
        EXPECT_NE(test::queryText(shadow, "SELECT chat_id FROM messages WHERE guid = 'late1'"),
                  "unknown");
        EXPECT_EQ(queryInt(shadow, "SELECT COUNT(*) FROM messages WHERE chat_id = 'unknown'"), 2);
        EXPECT_EQ(test::queryText(shadow,
                                  "SELECT chat_id FROM messages WHERE guid = 'after' "
                                  "UNION ALL SELECT 'chat-club' LIMIT 1"),
                  "chat-club");
        const auto count = queryInt(shadow, "SELECT COUNT(*) FROM messages");
        EXPECT_EQ(queryInt(shadow, "SELECT message_count FROM sync_state"), count);
        EXPECT_NO_THROW(checkMessagesFullTextIndex(shadow));
        EXPECT_EQ(again.performSync(), 0) << "nothing moved twice";
    }
}

// Holds each thread that reaches it until let through: the n-th arrival waits for the n-th pass.
class Turnstile {
  public:
    void arrive() {
        std::unique_lock lock(mutex_);
        const auto arrival = ++arrived_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return passes_ >= arrival; });
    }
    bool waitForArrivals(std::int64_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return arrived_ >= count; });
    }
    void let(std::int64_t passes) {
        {
            std::lock_guard lock(mutex_);
            passes_ += passes;
        }
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::int64_t arrived_ = 0;
    std::int64_t passes_ = 0;
};

// A run on a thread of its own, held after each read from the Messages database until let
// through.
struct HeldRun {
    HeldRun(const std::filesystem::path& chatDBPath, const std::filesystem::path& shadowPath)
        : sync(chatDBPath, shadowPath) {
        sync.setDeferredIndexingThreshold(std::numeric_limits<std::int64_t>::max());
        sync.setAfterBatchRead([this] { turnstile.arrive(); });
        thread = std::thread([this] { written = sync.performSync(); });
    }
    ~HeldRun() { finish(); }
    std::int64_t finish() {
        turnstile.let(std::numeric_limits<std::int32_t>::max());
        if (thread.joinable()) {
            thread.join();
        }
        return written;
    }
    ShadowSync sync;
    Turnstile turnstile;
    std::int64_t written = -1;
    std::thread thread;
};

// Two runs at once (a Vask that quits and the next one): a run that read messages before
// their chat joins were committed, and writes them after another run wrote what they became,
// leaves none of them outside their chat.
TEST_F(ShadowSyncTest, ARunHeldBetweenItsReadAndItsWriteLeavesNoMessageOutsideItsChat) {
    struct Row {
        const char* name;
        std::int64_t late;
        // The other run is held on its own read before the messages come (so that it copies
        // none of them, and only passes their joins).
        bool otherReadsFirst;
        bool joined = true;
    };
    const Row rows[] = {
        {"another run copied one with its chat", 1, false},
        {"another run copied many with their chat", 700, false},
        {"another run copied them, and no join came", 700, false, false},
        {"another run passed their joins before they were copied", 1, true},
        {"... many of them", 700, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir runDir;
        test::ChatDBFixture source(runDir / "chat.db");
        const auto club = addClub(source);
        const auto shadow = runDir / "shadow.db";
        ASSERT_EQ(ShadowSync(source.path(), shadow).performSync(), 3);

        std::unique_ptr<HeldRun> other;
        if (row.otherReadsFirst) {
            other = std::make_unique<HeldRun>(source.path(), shadow);
            ASSERT_TRUE(other->turnstile.waitForArrivals(1));
        }
        addChatlessMessages(source.connection(), row.late);
        HeldRun held(source.path(), shadow);
        ASSERT_TRUE(held.turnstile.waitForArrivals(1));
        if (row.joined) {
            joinChatless(source.connection(), club);
        }
        if (other) {
            EXPECT_EQ(other->finish(), 0);
        } else {
            ShadowSync(source.path(), shadow).performSync();
        }
        const std::int64_t heldWritten = held.finish();
        EXPECT_EQ(heldWritten, row.otherReadsFirst ? row.late : 0)
            << "what the other run wrote is not written again";

        const std::int64_t joined = row.joined ? row.late : 0;
        EXPECT_EQ(queryInt(shadow, "SELECT COUNT(*) FROM messages WHERE chat_id = 'unknown'"),
                  row.late - joined);
        EXPECT_EQ(queryInt(shadow, "SELECT COUNT(*) FROM messages WHERE chat_id = 'chat-club'"),
                  3 + joined);
        EXPECT_EQ(queryInt(shadow, "SELECT message_count FROM sync_state"), 3 + row.late);
        EXPECT_EQ(test::fullTextMatches(shadow, "tusk AND walrus"), joined);
        EXPECT_NO_THROW(checkMessagesFullTextIndex(shadow));
        EXPECT_EQ(ShadowSync(source.path(), shadow).performSync(), 0);
    }
}

// A move that looked for the messages of the joins it read, found none, and writes its join
// cursor past those joins after another run stored the messages without their chat (it read
// them before the joins came) would leave them there for good: it keeps its cursor instead, and
// the other run's own move moves them.
TEST_F(ShadowSyncTest, AMoveKeepsItsCursorWhenAnotherRunCopiedMessagesMeanwhile) {
    const auto club = addClub(chatDB);
    ASSERT_EQ(sync(shadowSync).written, 3);
    const std::int64_t late = ShadowSync::defaultBatchSize;
    HeldRun mover(chatDB.path(), shadowPath);
    ASSERT_TRUE(mover.turnstile.waitForArrivals(1)) << "its copy found nothing new";
    addChatlessMessages(chatDB.connection(), late);
    HeldRun copier(chatDB.path(), shadowPath);
    ASSERT_TRUE(copier.turnstile.waitForArrivals(1)) << "it read them without a chat";
    joinChatless(chatDB.connection(), club);
    mover.turnstile.let(1);
    ASSERT_TRUE(mover.turnstile.waitForArrivals(2)) << "its move found none of them";
    copier.turnstile.let(1);
    ASSERT_TRUE(copier.turnstile.waitForArrivals(2)) << "it stored them, and read what follows";
    EXPECT_EQ(mover.finish(), 0);
    EXPECT_EQ(copier.finish(), 2 * late) << "copied, then moved";

    EXPECT_EQ(queryInt(shadowPath, "SELECT COUNT(*) FROM messages WHERE chat_id = 'unknown'"), 0);
    EXPECT_EQ(queryInt(shadowPath, "SELECT message_count FROM sync_state"), 3 + late);
    EXPECT_NO_THROW(checkMessagesFullTextIndex(shadowPath));
    EXPECT_EQ(sync(shadowSync).written, 0);
}

TEST_F(ShadowSyncTest, ParticipantsByChatSkipPlaceholdersAndSortByHandle) {
    const auto zed = chatDB.addHandle("zed@example.com");
    const auto amy = chatDB.addHandle("amy@example.com");
    const auto x = chatDB.addChat("x", 43);
    chatDB.addMember(x, zed);
    chatDB.addMember(x, amy);
    sync(shadowSync);
    const auto byChat = shadowSync.fetchChatParticipants({"x", "x", "", "UNKNOWN"});
    ASSERT_EQ(byChat.size(), 1u);
    const auto& members = byChat.at("x");
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(members[0].handle, "amy@example.com");
    EXPECT_EQ(members[1].handle, "zed@example.com");
    EXPECT_TRUE(shadowSync.fetchChatParticipants({"nobody"}).at("nobody").empty());
}

}  // namespace
}  // namespace vask
