#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vask {

// One message as the shadow database stores it; the unit that synchronisation writes.
struct ShadowMessage {
    // The chat of a message that the Messages database has not joined to any chat (yet).
    static constexpr std::string_view unknownChatId = "unknown";

    std::string guid;
    std::string chatId;
    std::optional<std::string> chatName;
    std::string sender;  // normalised handle, "me" for the user's own messages
    std::string text;
    std::int64_t timestamp = 0;  // nanoseconds since 2001-01-01 00:00:00 UTC
    bool isFromMe = false;
    bool isGroup = false;
    std::optional<std::string> recipientHandle;
    bool hasAttachments = false;
    std::vector<std::string> attachmentTypes;
    std::int64_t sourceRowid = 0;  // row id in the Messages database; not stored

    // First 8 bytes of SHA-256 over the text, "|" and the sorted attachment types joined by ",",
    // as 16 lower-case hex digits.
    std::string contentHash() const;
    // The attachment types as a JSON array of strings in their given order; nothing when there
    // are none.
    std::optional<std::string> attachmentTypesJSON() const;

    bool operator==(const ShadowMessage&) const = default;
};

}  // namespace vask
