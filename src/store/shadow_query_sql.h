#pragma once

#include <string_view>

// Statements of the shadow database's queries that benchmarks also run bare, so both measure
// exactly the same text.
namespace vask::shadow_sql {

inline constexpr std::string_view search = R"(SELECT
    m.guid,
    m.chat_id,
    m.chat_name,
    m.sender,
    m.text,
    m.timestamp,
    m.is_from_me,
    m.is_group,
    bm25(messages_fts) as rank
FROM messages_fts
JOIN messages m ON messages_fts.rowid = m.rowid
WHERE messages_fts MATCH ?
ORDER BY rank
LIMIT ?)";

// Returns the rows of the window-function statement (every chat's messages ranked, the first
// kept) but reads only what can qualify: a chat is awaiting only when its newest live message is
// inside the window, so it has a live message there, and its newest message is one descent of
// idx_messages_chat_time away. Ties on timestamp go to the higher row id in both forms. Without
// INDEXED BY the planner walks idx_messages_chat_time whole to avoid sorting for DISTINCT.
inline constexpr std::string_view awaitingReplies = R"(WITH recent_chats AS (
    SELECT DISTINCT chat_id
    FROM messages INDEXED BY idx_messages_timestamp
    WHERE timestamp >= ?1 AND deleted_at IS NULL
),
latest AS (
    SELECT (
        SELECT m.rowid FROM messages m
        WHERE m.chat_id = r.chat_id AND m.deleted_at IS NULL
        ORDER BY m.timestamp DESC, m.rowid DESC
        LIMIT 1
    ) AS message_rowid
    FROM recent_chats r
)
SELECT m.chat_id, ct.display_name, m.sender, m.text, m.timestamp
FROM latest l
JOIN messages m ON m.rowid = l.message_rowid
JOIN contacts.contact_identifiers ci ON ci.value = m.sender
JOIN contacts.contacts ct ON ct.id = ci.contact_id
WHERE m.is_from_me = 0
  AND m.is_group = 0
  AND m.timestamp >= ?1
GROUP BY m.chat_id
ORDER BY m.timestamp DESC
LIMIT ?2)";

}  // namespace vask::shadow_sql
