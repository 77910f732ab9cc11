#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vask {

// A one-to-one chat whose latest message came from a known contact and awaits the user's reply.
struct AwaitingReply {
    std::string chatId;  // identity
    std::string contactName;
    std::string sender;
    std::string lastMessageText;
    std::int64_t timestamp = 0;  // Messages epoch, nanoseconds
    std::optional<std::int64_t> timestampUnix;

    const std::string& id() const { return chatId; }
    // timestampUnix, else the Messages-epoch timestamp converted (truncated toward zero).
    std::int64_t effectiveTimestampUnix() const;

    // Whether `text` is what the Messages app sends for a tapback ("Loved “…”", "Liked a photo").
    static bool isLikelyReaction(std::string_view text);

    bool operator==(const AwaitingReply&) const = default;
};

// Keys "chatId", "contactName", "sender", "lastMessageText", "timestamp" and "timestampUnix" (left
// out when absent, optional when read). from_json throws nlohmann::json::exception.
void to_json(nlohmann::json& json, const AwaitingReply& reply);
void from_json(const nlohmann::json& json, AwaitingReply& reply);

}  // namespace vask
