// Generated interleavings of what the Messages app writes (messages, their joins, second joins
// to chats made long ago or just now, chat rows that come after the joins naming them, commits)
// with synchronisation runs (batches of a few rows, writes landing between a run's read and its
// write), checked against the Messages database's own rule once a last run has seen everything:
// every message is in the chat of its join with the highest row id.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "sample-chatdb/sample_chat_db.h"
#include "store/shadow_sync.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "store_test_helpers.h"
#include "support/property_check.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

// The Messages app's side: one connection to chat.db (in WAL mode, as the app keeps it), whose
// writes are queued and committed together, so that a run reads only what was committed. Row ids
// are given as the app's inserts would take them, in the order of the commits.
class MessagesWriter {
  public:
    explicit MessagesWriter(const std::filesystem::path& path)
        : db_(SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate)) {
        sample::createMessagesSchema(db_.get());
        db_.execute("PRAGMA journal_mode = WAL");
        // Nothing here needs to outlive a crash: no commit waits for the disk.
        db_.execute("PRAGMA synchronous = OFF");
    }

    void addMessage(std::optional<int> chatPick) {
        const auto message = ++lastMessage_;
        queue("INSERT INTO message (ROWID, guid, text, date, is_from_me, handle_id) VALUES (" +
              std::to_string(message) + ", 'guid-" + std::to_string(message) + "', 'word" +
              std::to_string(message) + "', " + std::to_string(message * 1000) + ", 1, 0)");
        messages_.push_back(message);
        if (chatPick && !chats_.empty()) {
            join(message, chats_[static_cast<std::size_t>(*chatPick) % chats_.size()]);
        }
    }

    // A join of one of the latest messages to a chat there already (or still to be made).
    void joinAgain(int messagePick, int chatPick) {
        if (messages_.empty() || chats_.empty()) {
            return;
        }
        join(recentMessage(messagePick),
             chats_[static_cast<std::size_t>(chatPick) % chats_.size()]);
    }

    // A join to a new chat: its row made first, or only later (the join names it before).
    void joinToNewChat(int messagePick, bool chatRowFirst) {
        if (messages_.empty()) {
            return;
        }
        // The chat rows still to be made come first: row ids grow in the order of the commits.
        const auto chat = ++lastChat_;
        if (chatRowFirst) {
            makeWaitingChats();
            makeChat(chat);
        } else {
            waitingChats_.push_back(chat);
        }
        chats_.push_back(chat);
        join(recentMessage(messagePick), chat);
    }

    void makeWaitingChats() {
        for (const auto chat : waitingChats_) {
            makeChat(chat);
        }
        waitingChats_.clear();
    }

    // The oldest write queued, committed on its own: writes landing one by one during a run.
    void commitOne() {
        if (!pending_.empty()) {
            db_.execute(pending_.front());
            pending_.erase(pending_.begin());
        }
    }

    void commit() {
        if (pending_.empty()) {
            return;
        }
        db_.inImmediateTransaction([&] {
            for (const auto& sql : pending_) {
                db_.execute(sql);
            }
        });
        pending_.clear();
    }

  private:
    // Later joins name messages written a moment before, as the Messages app's do.
    std::int64_t recentMessage(int pick) const {
        const auto recent = std::min<std::size_t>(messages_.size(), 8);
        return messages_[messages_.size() - 1 - static_cast<std::size_t>(pick) % recent];
    }

    void queue(std::string sql) { pending_.push_back(std::move(sql)); }

    void makeChat(std::int64_t chat) {
        queue("INSERT INTO chat (ROWID, guid, style, display_name) VALUES (" +
              std::to_string(chat) + ", 'chat-" + std::to_string(chat) + "', " +
              (chat % 2 == 0 ? "43" : "45") + ", 'Chat " + std::to_string(chat) + "')");
    }

    void join(std::int64_t message, std::int64_t chat) {
        if (joined_.emplace(message, chat).second) {
            queue("INSERT INTO chat_message_join (chat_id, message_id) VALUES (" +
                  std::to_string(chat) + ", " + std::to_string(message) + ")");
        }
    }

    SQLiteConnection db_;
    std::vector<std::string> pending_;
    std::vector<std::int64_t> messages_;
    std::vector<std::int64_t> chats_;
    std::vector<std::int64_t> waitingChats_;
    std::set<std::pair<std::int64_t, std::int64_t>> joined_;
    std::int64_t lastMessage_ = 0;
    std::int64_t lastChat_ = 0;
};

// One step: (kind, first pick, second pick, flag), as generated and shrunk.
using Step = std::tuple<int, int, int, bool>;

// Each message's chat: in chat.db the chat of its join with the highest row id ("unknown"
// without one), in the shadow database the chat stored with it.
std::map<std::string, std::string> chatsOf(const std::filesystem::path& path,
                                           const std::string& sql) {
    auto db = test::openFile(path);
    SQLiteStatement statement(db.get(), sql);
    std::map<std::string, std::string> chats;
    while (statement.step()) {
        chats.emplace(statement.columnText(0), statement.columnText(1));
    }
    return chats;
}

void runInterleaving(const std::vector<Step>& steps) {
    test::TempDir dir;
    const auto chatDB = dir / "chat.db";
    const auto shadow = dir / "shadow.db";
    MessagesWriter writer(chatDB);
    // Two chats to begin with, and messages that no join names, as a history has.
    for (int i = 0; i < 6; ++i) {
        writer.addMessage(std::nullopt);
    }
    writer.joinToNewChat(0, true);
    writer.joinToNewChat(1, true);
    writer.commit();
    // A run in batches of `batchSize`; the writes queued land all at once after its read number
    // `commitAtRead`, or (`oneByOne`) one after each of its reads.
    const auto run = [&](int batchSize, int commitAtRead, bool oneByOne, bool bulk) {
        ShadowSync sync(chatDB, shadow);
        sync.setBatchSize(batchSize);
        sync.setDeferredIndexingThreshold(bulk ? 0 : std::numeric_limits<std::int64_t>::max());
        int reads = 0;
        sync.setAfterBatchRead([&] {
            if (oneByOne) {
                writer.commitOne();
            } else if (++reads == commitAtRead) {
                writer.commit();
            }
        });
        sync.performSync();
    };
    for (const auto& [kind, first, second, flag] : steps) {
        switch (kind % 16) {
            case 0:
            case 1:
            case 2:
            case 3:
                RC_LOG() << "message" << (flag ? " joined to chat pick " : "")
                         << (flag ? std::to_string(second) : "") << "\n";
                writer.addMessage(flag ? std::optional(second) : std::nullopt);
                break;
            case 4:
            case 5:
            case 6:
                RC_LOG() << "join message pick " << first << " to chat pick " << second << "\n";
                writer.joinAgain(first, second);
                break;
            case 7:
            case 8:
                RC_LOG() << "join message pick " << first << " to a new chat"
                         << (flag ? "" : " whose row comes later") << "\n";
                writer.joinToNewChat(first, flag);
                break;
            case 9:
                RC_LOG() << "the chat rows still to come\n";
                writer.makeWaitingChats();
                break;
            case 10:
            case 11:
            case 12:
                RC_LOG() << "commit\n";
                writer.commit();
                break;
            default: {
                const int batchSize = 1 + first % 2;
                const bool bulk = first / 2 % 4 == 0;
                RC_LOG() << "sync, batches of " << batchSize << (bulk ? ", bulk copy" : "")
                         << ", writes landing "
                         << (flag ? "one after each read"
                                  : "after read " + std::to_string(1 + second % 3))
                         << "\n";
                run(batchSize, 1 + second % 3, flag, bulk);
                break;
            }
        }
    }
    writer.makeWaitingChats();
    writer.commit();
    run(2, 0, false, false);

    const auto expected = chatsOf(
        chatDB,
        "SELECT m.guid, COALESCE((SELECT c.guid FROM chat_message_join j JOIN chat c ON c.ROWID = "
        "j.chat_id WHERE j.message_id = m.ROWID ORDER BY j.ROWID DESC LIMIT 1), 'unknown') FROM "
        "message m");
    const auto kept =
        chatsOf(shadow, "SELECT guid, chat_id FROM messages WHERE deleted_at IS NULL");
    for (const auto& [guid, chat] : expected) {
        const auto found = kept.find(guid);
        RC_ASSERT(found != kept.end());
        if (found->second != chat) {
            RC_LOG() << guid << " is in " << found->second << ", its last join is to " << chat
                     << "\n";
        }
        RC_ASSERT(found->second == chat);
    }
    RC_ASSERT(kept.size() == expected.size());
    test::checkMessagesFullTextIndex(shadow);
}

TEST(LateJoinPropertyTest, EveryMessageEndsInTheChatOfItsLastJoin) {
    test::checkProperty("every message ends in the chat of its last join", 200, 40, [] {
        // Each step from its whole range whatever the size (which only makes sequences longer):
        // RapidCheck's ranges grow with the size otherwise.
        const auto steps = *rc::gen::container<std::vector<Step>>(rc::gen::resize(
            100, rc::gen::tuple(rc::gen::inRange(0, 16), rc::gen::inRange(0, 64),
                                rc::gen::inRange(0, 64), rc::gen::arbitrary<bool>())));
        runInterleaving(steps);
    });
}

}  // namespace
}  // namespace vask
