#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/uuid.h"
#include "records/chat_session.h"

namespace vask::bench {

constexpr int messagesPerSession = 50;

// A saved chat as people keep them: questions and answers alternating, each answer citing one
// conversation (three quoted messages) and one query.
inline ChatMessage sessionMessage(int session, int index) {
    ChatMessage message;
    message.id = Uuid::random();
    message.role = index % 2 == 0 ? ChatRole::user : ChatRole::assistant;
    message.text = "Message " + std::to_string(index) + " of session " + std::to_string(session) +
                   ": when is dinner with Ana and Ben on Saturday?";
    message.timestamp = std::chrono::system_clock::now();
    if (message.role == ChatRole::assistant) {
        ConversationSource conversation;
        conversation.id = "conversation:chat-" + std::to_string(index);
        conversation.chatId = "chat-" + std::to_string(index);
        conversation.title = "Ana & Ben";
        conversation.isGroup = true;
        for (int quoted = 0; quoted < 3; ++quoted) {
            conversation.messages.push_back({"guid-" + std::to_string(quoted), "Ana",
                                             "Dinner at 7 on Saturday?", 1'700'000'000});
        }
        conversation.messagesTarget = MessagesTarget{"+15551234567"};
        QueryEvidenceSource query{
            "q1", "Messages from Ana", "messages.search", QueryEvidencePreview::rows(3), 3, false};
        message.sources = std::vector<AnswerSource>{{conversation}, {query}};
        message.sourcesTruncated = false;
        message.extracted = false;
    }
    return message;
}

// `count` sessions of 50 messages, the first the newest.
inline std::vector<ChatSession> sessions(int count) {
    std::vector<ChatSession> all;
    for (int s = 0; s < count; ++s) {
        ChatSession session;
        session.id = Uuid::random().uppercaseString();
        session.createdAt = std::chrono::system_clock::now() - std::chrono::hours(s + 1);
        session.lastMessageAt = session.createdAt;
        session.title = "Session " + std::to_string(s);
        session.messageCount = messagesPerSession;
        for (int m = 0; m < messagesPerSession; ++m) {
            session.messages.push_back(sessionMessage(s, m));
        }
        all.push_back(std::move(session));
    }
    return all;
}

}  // namespace vask::bench
