#include "sample-chatdb/sample_chat_db.h"

#include <gtest/gtest.h>

#include "platform/error.h"
#include "store/shadow_sync.h"
#include "store_test_helpers.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using test::queryInt;

std::string contentDigest(const std::filesystem::path& path) {
    return test::queryText(
        path,
        "SELECT group_concat(guid || ':' || IFNULL(text, '') || ':' || "
        "IFNULL(HEX(attributedBody), '') || ':' || date || ':' || handle_id, '|') FROM message");
}

TEST(SampleChatDB, SameSeedSameDatabase) {
    test::TempDir dir;
    const sample::SampleChatDBOptions options{2000, 30, 42};
    sample::buildSampleChatDB(dir / "a.db", options);
    sample::buildSampleChatDB(dir / "b.db", options);
    sample::buildSampleChatDB(dir / "c.db", {2000, 30, 43});
    EXPECT_EQ(contentDigest(dir / "a.db"), contentDigest(dir / "b.db"));
    EXPECT_NE(contentDigest(dir / "a.db"), contentDigest(dir / "c.db"));
    EXPECT_THROW(sample::buildSampleChatDB(dir / "a.db", options), Error);
    EXPECT_THROW(sample::buildSampleChatDB(dir / "d.db", {10, 0, 1}), Error);
    EXPECT_FALSE(std::filesystem::exists(dir / "d.db"));
}

TEST(SampleChatDB, HoldsEveryKindOfMessageAndSynchronisesCleanly) {
    test::TempDir dir;
    const auto chatPath = dir / "chat.db";
    const auto summary = sample::buildSampleChatDB(chatPath, {3000, 40, 7});
    EXPECT_EQ(queryInt(chatPath, "SELECT COUNT(*) FROM message"), 3000);
    EXPECT_EQ(queryInt(chatPath, "SELECT COUNT(*) FROM chat"), 40);
    EXPECT_EQ(queryInt(chatPath, "SELECT COUNT(*) FROM attachment"), summary.attachments);
    const std::pair<const char*, const char*> kinds[] = {
        {"group chats", "SELECT COUNT(*) FROM chat WHERE style = 43"},
        {"one-to-one chats", "SELECT COUNT(*) FROM chat WHERE style = 45"},
        {"e-mail handles", "SELECT COUNT(*) FROM handle WHERE id LIKE '%@%'"},
        {"formatted phone handles", "SELECT COUNT(*) FROM handle WHERE id LIKE '(%'"},
        {"from me", "SELECT COUNT(*) FROM message WHERE is_from_me = 1"},
        {"to me", "SELECT COUNT(*) FROM message WHERE is_from_me = 0"},
        {"body only",
         "SELECT COUNT(*) FROM message WHERE text IS NULL AND attributedBody NOT NULL"},
        {"reactions", "SELECT COUNT(*) FROM message WHERE associated_message_type >= 2000"},
        {"edited", "SELECT COUNT(*) FROM message WHERE date_edited > 0"},
        {"unsent", "SELECT COUNT(*) FROM message WHERE date_retracted > 0"},
        {"attachments", "SELECT COUNT(*) FROM message_attachment_join"},
        {"late rows",
         "SELECT COUNT(*) FROM message m WHERE date < (SELECT MAX(date) FROM "
         "message p WHERE p.ROWID < m.ROWID)"},
        {"without chat",
         "SELECT COUNT(*) FROM message WHERE ROWID NOT IN (SELECT message_id "
         "FROM chat_message_join)"},
    };
    for (const auto& [name, sql] : kinds) {
        EXPECT_GT(queryInt(chatPath, sql), 0) << name;
    }

    const auto shadowPath = dir / "shadow.db";
    ShadowSync shadowSync(chatPath, shadowPath);
    const auto written = shadowSync.performSync();
    EXPECT_GT(written, 2000);
    EXPECT_LT(written, 3000);  // unsent and attachment-only messages have no text
    // Attribute values (file-transfer GUIDs, link URLs twice) never become text.
    EXPECT_EQ(queryInt(shadowPath,
                       "SELECT COUNT(*) FROM messages WHERE text LIKE '%at_0_%' "
                       "OR text LIKE '%https://%https://%'"),
              0);
    EXPECT_GT(queryInt(shadowPath, "SELECT COUNT(*) FROM messages WHERE text LIKE '%😂%'"), 0);
    test::checkMessagesFullTextIndex(shadowPath);

    sample::appendSampleMessages(chatPath, 200, 99);
    const auto added = shadowSync.performSync();
    EXPECT_GT(added, 100);
    EXPECT_LE(added, 200);
    EXPECT_EQ(shadowSync.messageCount(), written + added);
    test::checkMessagesFullTextIndex(shadowPath);
}

}  // namespace
}  // namespace vask
