#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "sample-chatdb/sample_chat_db.h"

namespace vask::sample {

struct ConversationChat {
    std::string id;
    std::string name;
    bool isGroup = false;
};

struct ConversationMessage {
    std::string guid;
    std::string chatId;
    std::string sender;  // a phone number or e-mail address; "me" for the user
    std::string text;
    std::int64_t date = 0;  // nanoseconds since 2001-01-01 00:00:00 UTC
    bool isFromMe = false;
};

// Hand-written conversations: who talks in which chat, and what was said.
struct Conversations {
    std::vector<ConversationChat> chats;
    std::vector<ConversationMessage> messages;
};

// The chats and messages of a retrieval benchmark corpus file (its queries are not needed),
// followed by a few recent messages from people in those chats that await a reply, so that a
// history built from them has conversations waiting. Throws vask::Error.
Conversations readConversations(const std::filesystem::path& corpus);

// Builds a Messages database at `out` (which must not exist yet) holding these conversations:
// one handle per person, one chat per conversation, each message's text in both `text` and
// `attributedBody` as the Messages app writes them. Throws vask::Error.
SampleChatDBSummary buildConversationChatDB(const std::filesystem::path& out,
                                            const Conversations& conversations);

// An address book for the people of these conversations, one vCard per person in `folder`:
// a one-to-one chat's person is named as the chat is; people met only in groups get names of
// their own. Returns how many cards were written. Throws vask::Error.
std::int64_t writeConversationContacts(const std::filesystem::path& folder,
                                       const Conversations& conversations);

}  // namespace vask::sample
