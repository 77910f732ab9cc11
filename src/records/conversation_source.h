#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace vask {

// One quoted message of a cited conversation.
struct SupportingMessage {
    std::string guid;
    std::string contactName;
    std::string text;
    std::int64_t timestampUnix = 0;

    const std::string& id() const { return guid; }

    nlohmann::json toJson() const;
    // Every key is required; throws RecordDecodingError.
    static SupportingMessage fromJson(const nlohmann::json& json);

    bool operator==(const SupportingMessage&) const = default;
};

// Whether the desktop has a Messages application that answers MessagesTarget links. Linux has
// none: such a link reaches the web browser or nothing, so no control that would follow it is
// offered, and a drafted reply is copied for the user to paste.
inline constexpr bool messagesApplicationPresent = false;

// Where a cited conversation opens in the Messages application.
struct MessagesTarget {
    static constexpr std::string_view scheme = "imessage";

    std::string address;

    nlohmann::json toJson() const;
    static MessagesTarget fromJson(const nlohmann::json& json);

    // "imessage:?addresses=" and the address as one query value, escaped only where a query
    // value needs it ("+" stays, "&", "=" and "#" do not).
    std::string url() const;

    bool operator==(const MessagesTarget&) const = default;
};

// One conversation from the user's message history cited by an answer.
struct ConversationSource {
    // "conversation:" + chat id, or "message:" + message guid.
    std::string id;
    std::optional<std::string> chatId;
    std::string title;
    bool isGroup = false;
    // Oldest first.
    std::vector<SupportingMessage> messages;
    bool messagesTruncated = false;
    std::optional<MessagesTarget> messagesTarget;

    // "chatId" and "messagesTarget" are left out when absent.
    nlohmann::json toJson() const;
    // "chatId" and "messagesTarget" may be missing or null; the rest is required.
    static ConversationSource fromJson(const nlohmann::json& json);

    bool operator==(const ConversationSource&) const = default;
};

}  // namespace vask
