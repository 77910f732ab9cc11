#include "records/conversation_source.h"

#include "platform/url.h"
#include "records/record_json.h"

namespace vask {

using namespace record_json;

Json SupportingMessage::toJson() const {
    return Json{{"guid", guid},
                {"contactName", contactName},
                {"text", text},
                {"timestampUnix", timestampUnix}};
}

SupportingMessage SupportingMessage::fromJson(const Json& json) {
    const auto& fields = object(json, "SupportingMessage");
    return SupportingMessage{requiredString(fields, "guid"), requiredString(fields, "contactName"),
                             requiredString(fields, "text"),
                             requiredInteger(fields, "timestampUnix")};
}

Json MessagesTarget::toJson() const {
    return Json{{"address", address}};
}

MessagesTarget MessagesTarget::fromJson(const Json& json) {
    return MessagesTarget{requiredString(object(json, "MessagesTarget"), "address")};
}

std::string MessagesTarget::url() const {
    std::string url = std::string(scheme) + ":?addresses=";
    for (std::size_t i = 0; i < address.size(); ++i) {
        const char c = address[i];
        const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') ||
                          std::string_view("-._~!$'()*+,;:@/?").find(c) != std::string_view::npos;
        url += kept ? std::string(1, c) : Url::percentEncode(address.substr(i, 1));
    }
    return url;
}

Json ConversationSource::toJson() const {
    Json json{{"id", id},
              {"title", title},
              {"isGroup", isGroup},
              {"messages", Json::array()},
              {"messagesTruncated", messagesTruncated}};
    if (chatId) {
        json["chatId"] = *chatId;
    }
    for (const auto& message : messages) {
        json["messages"].push_back(message.toJson());
    }
    if (messagesTarget) {
        json["messagesTarget"] = messagesTarget->toJson();
    }
    return json;
}

ConversationSource ConversationSource::fromJson(const Json& json) {
    const auto& fields = object(json, "ConversationSource");
    ConversationSource source;
    source.id = requiredString(fields, "id");
    source.chatId = optionalString(fields, "chatId");
    source.title = requiredString(fields, "title");
    source.isGroup = requiredBoolean(fields, "isGroup");
    for (const auto& message : array(required(fields, "messages"), "messages")) {
        source.messages.push_back(SupportingMessage::fromJson(message));
    }
    source.messagesTruncated = requiredBoolean(fields, "messagesTruncated");
    if (const auto* target = optional(fields, "messagesTarget")) {
        source.messagesTarget = MessagesTarget::fromJson(*target);
    }
    return source;
}

}  // namespace vask
