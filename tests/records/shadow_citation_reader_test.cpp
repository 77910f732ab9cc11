#include <gtest/gtest.h>

#include <algorithm>

#include "records/citation_service.h"
#include "records/shadow_citation_reader.h"
#include "sample-chatdb/sample_chat_db.h"
#include "sources/contacts_store.h"
#include "store/shadow_db.h"
#include "store/shadow_sync.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

// Citations read back from a shadow database filled by a real synchronisation of a sample
// Messages history, with an empty contacts database attached.
TEST(ShadowCitationReader, ReadsSynchronisedMessagesAndTheirChats) {
    test::TempDir dir;
    sample::buildSampleChatDB(dir / "chat.db", {.messages = 300, .chats = 6, .seed = 7});
    const auto shadowPath = dir / "shadow.db";
    ShadowSync(dir / "chat.db", shadowPath).performSync();
    ContactsStore contacts(dir / "contacts.db");
    contacts.createSchemaIfNeeded();
    contacts.replaceAll({});

    std::vector<std::string> guids;
    std::vector<std::string> chats;
    {
        auto db = SQLiteConnection::open(shadowPath, SQLiteSupport::OpenMode::readOnly);
        SQLiteStatement rows(db.get(),
                             "SELECT guid, chat_id FROM messages WHERE deleted_at IS NULL "
                             "ORDER BY timestamp LIMIT 3");
        while (rows.step()) {
            guids.push_back(rows.columnText(0));
            chats.push_back(rows.columnText(1));
        }
    }
    ASSERT_EQ(guids.size(), 3u);

    ShadowCitationReader reader;
    auto wanted = guids;
    wanted.push_back("no-such-guid");
    const auto cited = reader.fetchMessages(shadowPath, wanted, dir / "contacts.db", 200);
    ASSERT_EQ(cited.size(), 3u);
    for (const auto& message : cited) {
        EXPECT_NE(std::find(guids.begin(), guids.end(), message.guid), guids.end());
        EXPECT_FALSE(message.contactName.empty());
        EXPECT_FALSE(message.chatId.empty());
    }

    const auto participants = reader.fetchChatParticipants(shadowPath, chats);
    for (const auto& chat : chats) {
        ASSERT_TRUE(participants.contains(chat)) << chat;
        EXPECT_FALSE(participants.at(chat).empty()) << chat;
    }
    EXPECT_THROW(reader.fetchMessages(dir / "missing.db", guids, dir / "contacts.db", 200),
                 ShadowDB::Error);
}

// Citations must not depend on contacts access: without a contacts database the conversation is
// still quoted, each sender named by the handle it wrote from.
TEST(ShadowCitationReader, ConversationCitationsSurviveAMissingContactsDatabase) {
    test::TempDir dir;
    sample::buildSampleChatDB(dir / "chat.db", {.messages = 40, .chats = 2, .seed = 3});
    ShadowSync(dir / "chat.db", dir / "shadow.db").performSync();
    std::vector<std::string> guids;
    std::map<std::string, std::string> senders;  // guid -> handle, or "You"
    {
        auto db = SQLiteConnection::open(dir / "shadow.db", SQLiteSupport::OpenMode::readOnly);
        SQLiteStatement rows(db.get(),
                             "SELECT guid, CASE WHEN is_from_me THEN 'You' ELSE sender END "
                             "FROM messages WHERE deleted_at IS NULL ORDER BY timestamp LIMIT 4");
        while (rows.step()) {
            guids.push_back(rows.columnText(0));
            senders[rows.columnText(0)] = rows.columnText(1);
        }
    }
    ASSERT_EQ(guids.size(), 4u);
    RLMEvidence evidence;
    evidence.id = "e";
    evidence.sourceKind = RLMEvidence::SourceKind::messages;
    evidence.messageGuids = guids;

    for (const bool withContacts : {true, false}) {
        SCOPED_TRACE(withContacts ? "empty contacts database" : "no contacts database");
        std::filesystem::remove(dir / "contacts.db");
        if (withContacts) {
            ContactsStore(dir / "contacts.db").createSchemaIfNeeded();
        }
        const CitationService service(std::make_shared<ShadowCitationReader>(),
                                      [&] { return dir.path(); });
        const auto resolved = service.resolve({evidence});
        ASSERT_FALSE(resolved.sources.empty());
        std::size_t quoted = 0;
        for (const auto& source : resolved.sources) {
            const auto& conversation = std::get<ConversationSource>(source.payload);
            for (const auto& message : conversation.messages) {
                EXPECT_EQ(message.contactName, senders.at(message.guid));
                ++quoted;
            }
        }
        EXPECT_EQ(quoted, guids.size());
        EXPECT_EQ(std::filesystem::exists(dir / "contacts.db"), withContacts);
    }
}

}  // namespace
}  // namespace vask
