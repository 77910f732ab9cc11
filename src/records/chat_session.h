#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "records/chat_message.h"
#include "records/record_date.h"

namespace vask {

// One titled conversation. `messageCount` and `lastMessageAt` are kept as set by the chat, not
// recomputed from `messages`.
struct ChatSession {
    std::string id;
    RecordDate createdAt;
    RecordDate lastMessageAt;
    std::string title;
    std::int64_t messageCount = 0;
    std::vector<ChatMessage> messages;
    bool titleIsUserSet = false;

    // All seven keys, "titleIsUserSet" included.
    nlohmann::json toJson() const;
    // The first six keys are required; "titleIsUserSet" missing or null reads as false.
    static ChatSession fromJson(const nlohmann::json& json);
};

}  // namespace vask
