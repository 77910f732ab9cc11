#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "sources/contacts_store.h"
#include "store/shadow_db.h"
#include "store_test_helpers.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

// The awaiting-replies statement as first written: every message of every chat ranked by a
// window function. ShadowDB runs a faster statement that must return exactly these rows.
constexpr std::string_view rankedStatement = R"(WITH latest AS (
    SELECT chat_id, sender, text, timestamp, is_from_me, is_group,
           ROW_NUMBER() OVER (PARTITION BY chat_id ORDER BY timestamp DESC, rowid DESC) AS rn
    FROM messages
    WHERE deleted_at IS NULL
)
SELECT l.chat_id, ct.display_name, l.sender, l.text, l.timestamp
FROM latest l
JOIN contacts.contact_identifiers ci ON ci.value = l.sender
JOIN contacts.contacts ct ON ct.id = ci.contact_id
WHERE l.rn = 1
  AND l.is_from_me = 0
  AND l.is_group = 0
  AND l.timestamp >= ?
GROUP BY l.chat_id
ORDER BY l.timestamp DESC
LIMIT ?)";

constexpr std::int64_t secondNs = 1000000000;
constexpr std::int64_t now = 1750000000;

std::int64_t windowStart(int days) {
    return (now - days * 86400 - 978307200) * secondNs;
}

std::vector<AwaitingReply> ranked(const std::filesystem::path& shadow,
                                  const std::filesystem::path& contacts, int days, int limit) {
    auto db = test::openFile(shadow);
    SQLiteStatement attach(db.get(), "ATTACH DATABASE ? AS contacts");
    attach.bind(1, contacts.string()).run();
    SQLiteStatement statement(db.get(), rankedStatement);
    statement.bind(1, windowStart(days)).bind(2, limit);
    std::vector<AwaitingReply> rows;
    while (statement.step()) {
        auto text = statement.columnText(3);
        if (AwaitingReply::isLikelyReaction(text)) {
            continue;
        }
        const auto timestamp = statement.columnInt64(4);
        rows.push_back({statement.columnText(0), statement.columnText(1), statement.columnText(2),
                        text, timestamp, timestamp / secondNs + 978307200});
    }
    return rows;
}

// Chats whose newest messages tie keep no order between them in either statement.
void sortTies(std::vector<AwaitingReply>& rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return a.timestamp != b.timestamp ? a.timestamp > b.timestamp : a.chatId < b.chatId;
    });
}

// Random histories over few chats and a coarse clock, so that ties within a chat, deletions of
// the newest message, group chats, unknown senders, reactions and messages exactly on the
// window's edge all occur.
void generate(std::mt19937& random, ShadowDB& db, const std::filesystem::path& shadowPath,
              int days) {
    const std::vector<std::string> senders = {"+15550000001", "+15550000002", "ann@example.com",
                                              "+15559999999", "stranger@example.com"};
    const std::vector<std::string> texts = {"hello", "Loved \u201Chi\u201D", "see you",
                                            "Liked a photo", "ok"};
    std::uniform_int_distribution<int> chatPick(0, 39);
    std::uniform_int_distribution<int> offsetPick(-3, 12);
    std::uniform_int_distribution<int> percent(0, 99);
    std::vector<ShadowMessage> messages;
    for (int i = 0; i < 600; ++i) {
        const int chat = chatPick(random);
        ShadowMessage m;
        m.guid = "g" + std::to_string(i);
        m.chatId = "chat-" + std::to_string(chat);
        m.isGroup = chat % 7 == 0;
        m.isFromMe = percent(random) < 35;
        const auto& handle = senders[static_cast<std::size_t>(chat) % senders.size()];
        m.sender = m.isFromMe ? "me" : handle;
        m.recipientHandle = handle;
        m.text = texts[static_cast<std::size_t>(percent(random)) % texts.size()];
        // Whole days before the window's edge, on it, and after it; a tenth land exactly on it.
        const int offset = percent(random) < 10 ? 0 : offsetPick(random);
        m.timestamp = windowStart(days) + static_cast<std::int64_t>(offset) * 86400 * secondNs / 2;
        messages.push_back(std::move(m));
    }
    db.insertBatch(messages);
    auto raw = test::openFile(shadowPath);
    SQLiteStatement mark(raw.get(), "UPDATE messages SET deleted_at = 1 WHERE rowid % ? = 0");
    mark.bind(1, std::int64_t{5 + static_cast<int>(random() % 5)}).run();
}

TEST(AwaitingRepliesEquivalence, FastStatementReturnsTheRankedStatementsRows) {
    for (unsigned seed = 1; seed <= 12; ++seed) {
        test::TempDir dir;
        const auto shadowPath = dir / "shadow.db";
        const auto contactsPath = dir / "contacts.db";
        {
            ContactsStore contacts(contactsPath);
            contacts.createSchemaIfNeeded();
            ContactPayload ann;
            ann.appleID = "ann";
            ann.displayName = "Ann";
            ann.identifiers = {{ContactIdentifierType::phone, "+15550000001"},
                               {ContactIdentifierType::email, "ann@example.com"}};
            ContactPayload bo;
            bo.appleID = "bo";
            bo.displayName = "Bo";
            bo.identifiers = {{ContactIdentifierType::phone, "+15550000002"}};
            contacts.replaceAll({ann, bo});
        }
        ShadowDB db(shadowPath, ShadowDB::OpenMode::readWrite);
        db.createSchemaIfNeeded();
        std::mt19937 random(seed);
        const int days = 1 + static_cast<int>(seed % 3);
        generate(random, db, shadowPath, days);

        auto expected = ranked(shadowPath, contactsPath, days, 1000);
        auto actual = db.awaitingReplies(contactsPath, days, 1000, now);
        sortTies(expected);
        sortTies(actual);
        EXPECT_EQ(actual, expected) << "seed " << seed;

        // With a limit the same timestamps are kept, whichever tied chats fill them.
        auto timestamps = [](const std::vector<AwaitingReply>& rows) {
            std::vector<std::int64_t> out;
            for (const auto& row : rows) {
                out.push_back(row.timestamp);
            }
            return out;
        };
        EXPECT_EQ(timestamps(db.awaitingReplies(contactsPath, days, 3, now)),
                  timestamps(ranked(shadowPath, contactsPath, days, 3)))
            << "seed " << seed;
    }
}

}  // namespace
}  // namespace vask
