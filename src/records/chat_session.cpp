#include "records/chat_session.h"

#include "records/record_json.h"

namespace vask {

using namespace record_json;

Json ChatSession::toJson() const {
    Json messageList = Json::array();
    for (const auto& message : messages) {
        messageList.push_back(message.toJson());
    }
    return Json{{"id", id},
                {"createdAt", dateValue(createdAt)},
                {"lastMessageAt", dateValue(lastMessageAt)},
                {"title", title},
                {"messageCount", messageCount},
                {"messages", std::move(messageList)},
                {"titleIsUserSet", titleIsUserSet}};
}

ChatSession ChatSession::fromJson(const Json& json) {
    const auto& fields = object(json, "ChatSession");
    ChatSession session;
    session.id = requiredString(fields, "id");
    session.createdAt = date(required(fields, "createdAt"), "createdAt");
    session.lastMessageAt = date(required(fields, "lastMessageAt"), "lastMessageAt");
    session.title = requiredString(fields, "title");
    session.messageCount = requiredInteger(fields, "messageCount");
    for (const auto& message : array(required(fields, "messages"), "messages")) {
        session.messages.push_back(ChatMessage::fromJson(message));
    }
    session.titleIsUserSet = optionalBoolean(fields, "titleIsUserSet").value_or(false);
    return session;
}

}  // namespace vask
