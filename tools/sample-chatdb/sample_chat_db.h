#pragma once

#include <cstdint>
#include <filesystem>

#include <sqlite3.h>

namespace vask::sample {

struct SampleChatDBOptions {
    std::int64_t messages = 1000;
    std::int64_t chats = 20;
    std::uint64_t seed = 1;
};

struct SampleChatDBSummary {
    std::int64_t messages = 0;
    std::int64_t chats = 0;
    std::int64_t handles = 0;
    std::int64_t attachments = 0;
};

// Creates the Messages tables (message, handle, chat, chat_message_join, chat_handle_join,
// attachment, message_attachment_join) and their join indexes, empty.
void createMessagesSchema(sqlite3* db);

// Builds a Messages database at `out` (which must not exist yet), the same for the same options:
// one-to-one and group chats, phone and e-mail handles in many spellings, messages from and to
// the user, bodies in `text` and bodies only in `attributedBody`, reactions, edited and unsent
// messages, attachments, links, emoji and non-Latin text, and a few rows whose date lies before
// earlier rows (history that reached this computer late). Throws vask::Error.
SampleChatDBSummary buildSampleChatDB(const std::filesystem::path& out,
                                      const SampleChatDBOptions& options);

// Adds `count` messages to a database built by buildSampleChatDB, after its newest row, in its
// existing chats (new messages arriving between two synchronisations).
void appendSampleMessages(const std::filesystem::path& path, std::int64_t count,
                          std::uint64_t seed);

}  // namespace vask::sample
