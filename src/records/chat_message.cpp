#include "records/chat_message.h"

#include "records/record_json.h"

namespace vask {

using namespace record_json;

namespace {

template <typename T>
Json jsonArray(const std::vector<T>& values) {
    Json list = Json::array();
    for (const auto& value : values) {
        list.push_back(value.toJson());
    }
    return list;
}

template <typename T, typename Decode>
std::vector<T> decodedArray(const Json& value, std::string_view key, Decode decode) {
    std::vector<T> values;
    for (const auto& element : array(value, key)) {
        values.push_back(decode(element));
    }
    return values;
}

MemoryReceipt decodedReceipt(const Json& json) {
    try {
        return MemoryReceipt::fromJson(json);
    } catch (const MemoryReceipt::DecodeError& error) {
        throw RecordDecodingError::dataCorrupted(error.what());
    }
}

}  // namespace

Json ChatMessage::toJson() const {
    Json json{{"id", uuidValue(id)},
              {"role", rawValue(role)},
              {"text", text},
              {"timestamp", dateValue(timestamp)},
              {"artifacts", jsonArray(artifacts)}};
    // The optional keys: each is written only when present, never as null.
    if (sources) {
        json["sources"] = jsonArray(*sources);
    }
    if (sourcesTruncated) {
        json["sourcesTruncated"] = *sourcesTruncated;
    }
    if (extracted) {
        json["extracted"] = *extracted;
    }
    if (memoryReceipts) {
        json["memoryReceipts"] = jsonArray(*memoryReceipts);
    }
    if (artifactAvailability) {
        json["artifactAvailability"] = artifactAvailability->toJson();
    }
    if (tokenUsage) {
        json["tokenUsage"] = *tokenUsage;
    }
    if (heldForKeyring) {
        json["heldForKeyring"] = *heldForKeyring;
    }
    return json;
}

ChatMessage ChatMessage::fromJson(const Json& json) {
    const auto& fields = object(json, "ChatMessage");
    ChatMessage message;
    message.id = uuid(required(fields, "id"), "id");
    const auto roleText = requiredString(fields, "role");
    auto role = chatRole(roleText);
    if (!role) {
        throw RecordDecodingError::dataCorrupted(
            "Cannot initialize ChatRole from invalid String value " + roleText);
    }
    message.role = *role;
    message.text = requiredString(fields, "text");
    message.timestamp = date(required(fields, "timestamp"), "timestamp");
    if (const auto* value = optional(fields, "sources")) {
        message.sources = decodedArray<AnswerSource>(*value, "sources", AnswerSource::fromJson);
    }
    message.sourcesTruncated = optionalBoolean(fields, "sourcesTruncated");
    message.extracted = optionalBoolean(fields, "extracted");
    if (const auto* value = optional(fields, "memoryReceipts")) {
        message.memoryReceipts =
            decodedArray<MemoryReceipt>(*value, "memoryReceipts", decodedReceipt);
    }
    if (const auto* value = optional(fields, "artifacts")) {
        message.artifacts =
            decodedArray<SessionArtifact>(*value, "artifacts", SessionArtifact::fromJson);
    }
    if (const auto* value = optional(fields, "artifactAvailability")) {
        message.artifactAvailability = SessionArtifactAvailability::fromJson(*value);
    }
    if (const auto* value = optional(fields, "tokenUsage")) {
        try {
            message.tokenUsage = value->get<ChatTokenUsage>();
        } catch (const std::exception& error) {
            throw RecordDecodingError::dataCorrupted(std::string("tokenUsage: ") + error.what());
        }
    }
    message.heldForKeyring = optionalBoolean(fields, "heldForKeyring");
    return message;
}

}  // namespace vask
