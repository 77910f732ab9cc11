#include <gtest/gtest.h>

#include <set>
#include <string>

#include "benchmark/benchmark_corpus.h"
#include "platform/error.h"
#include "platform/file_io.h"
#include "sample-chatdb/conversations.h"
#include "store/shadow_sync.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

std::vector<std::string> column(const std::filesystem::path& db, std::string_view sql) {
    const auto connection = SQLiteConnection::open(db, SQLiteSupport::OpenMode::readOnly);
    SQLiteStatement statement(connection.get(), sql);
    std::vector<std::string> values;
    while (statement.step()) {
        values.push_back(statement.columnText(0));
    }
    return values;
}

// The demo's history: the sample corpus's conversations as the Messages app stores them, ending
// with people waiting on a reply, and an address book naming everyone.
TEST(ConversationHistoryTest, SampleCorpusBecomesAHistoryWithConversationsAwaitingAReply) {
    const test::TempDir dir;
    const auto corpus = BenchmarkCorpus::fromFile(VASK_SAMPLE_CORPUS);
    const auto conversations = sample::readConversations(VASK_SAMPLE_CORPUS);
    const auto chatDB = dir / "chat.db";
    const auto summary = sample::buildConversationChatDB(chatDB, conversations);
    EXPECT_GT(summary.messages, static_cast<std::int64_t>(corpus.messages.size()));
    EXPECT_EQ(summary.chats, static_cast<std::int64_t>(corpus.chats->size()));
    EXPECT_THROW(sample::buildConversationChatDB(chatDB, conversations), Error);

    // The newest message of these chats came from the other side, and is unread.
    EXPECT_EQ(column(chatDB,
                     "SELECT c.chat_identifier || ':' || m.is_from_me || m.is_read FROM chat c "
                     "JOIN chat_message_join j ON j.chat_id = c.ROWID JOIN message m ON "
                     "m.ROWID = j.message_id WHERE m.date = (SELECT MAX(message_date) FROM "
                     "chat_message_join WHERE chat_id = c.ROWID) AND m.guid LIKE 'recent-%' "
                     "ORDER BY m.date"),
              (std::vector<std::string>{"+14155550101:00", "+14155550103:00", "chat100004:00"}));

    // Synchronised as the application does, a question about dinner finds messages about it.
    ShadowSync sync(chatDB, dir / "shadow.db");
    EXPECT_EQ(sync.performSync(), summary.messages);
    const auto found = sync.search("dinner", 20);
    EXPECT_GE(found.size(), 3u);
    for (const auto& result : found) {
        EXPECT_NE(result.text.find("dinner"), std::string::npos) << result.text;
    }

    const auto cards = sample::writeConversationContacts(dir / "contacts", conversations);
    EXPECT_EQ(cards, summary.handles);
    std::set<std::string> named;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "contacts")) {
        const auto card = *readFileIfExists(entry.path());
        named.insert(card.substr(card.find("FN:") + 3,
                                 card.find("\r\n", card.find("FN:")) - card.find("FN:") - 3));
    }
    EXPECT_EQ(named.size(), static_cast<std::size_t>(cards)) << "everyone has a name of their own";
    EXPECT_TRUE(named.contains("Maya Chen"));
}

}  // namespace
}  // namespace vask
