#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "records/chat_session.h"

namespace vask::test {

// A date with a fraction, as the clock gives them.
inline RecordDate sampleDate(int offsetSeconds) {
    return RecordDate(std::chrono::nanoseconds(1'734'000'000'123'456'789LL) +
                      std::chrono::seconds(offsetSeconds));
}

inline ConversationSource sampleConversation(const std::string& chatID) {
    ConversationSource source;
    source.id = "conversation:" + chatID;
    source.chatId = chatID;
    source.title = "Ana & Ben";
    source.isGroup = true;
    source.messages = {{"guid-1", "Ana", "See you at 7 \u2014 \"sharp\"", 1'700'000'000}};
    source.messagesTarget = MessagesTarget{"+15551234567"};
    return source;
}

inline ChatMessage sampleMessage(ChatRole role, const std::string& text, int offsetSeconds,
                                 bool withSources) {
    ChatMessage message;
    message.id = Uuid::random();
    message.role = role;
    message.text = text;
    message.timestamp = sampleDate(offsetSeconds);
    if (withSources) {
        QueryEvidenceSource query{
            "q1", "Messages from Ana", "messages.search", QueryEvidencePreview::rows(3), 3, false};
        message.sources = std::vector<AnswerSource>{{sampleConversation("chat-1")}, {query}};
        message.sourcesTruncated = false;
        message.extracted = true;
    }
    return message;
}

inline ChatSession sampleSession(const std::string& id, int messageCount, bool withSources,
                                 int offsetSeconds = 0) {
    ChatSession session;
    session.id = id;
    session.createdAt = sampleDate(offsetSeconds);
    session.lastMessageAt = sampleDate(offsetSeconds + messageCount);
    session.title = "Session " + id;
    session.messageCount = messageCount;
    for (int index = 0; index < messageCount; ++index) {
        const auto role = index % 2 == 0 ? ChatRole::user : ChatRole::assistant;
        session.messages.push_back(
            sampleMessage(role, "Message " + std::to_string(index) + " of " + id,
                          offsetSeconds + index, withSources && role == ChatRole::assistant));
    }
    return session;
}

}  // namespace vask::test
