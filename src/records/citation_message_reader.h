#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "store/chat_participant.h"

namespace vask {

// One cited message read back from the shadow database, with the sender's display name.
struct CitedMessage {
    std::string guid;
    // "You" for the user's own messages, else the contact's name, else the sender's handle.
    std::string contactName;
    std::string text;
    std::int64_t timestampUnix = 0;
    std::string chatId;
    std::optional<std::string> chatName;
    bool isGroup = false;

    bool operator==(const CitedMessage&) const = default;
};

// The two reads of the shadow database that citations need. Each call opens its own read-only
// connection and closes it before returning; both throw on failure.
class CitationMessageReader {
  public:
    virtual ~CitationMessageReader() = default;

    // One row per stored, undeleted message among the first `limit` guids; no order promised.
    // An empty `contactsDBPath` means there is no contacts database (before contacts access is
    // granted, or after it is revoked): senders are then named by their handles.
    virtual std::vector<CitedMessage> fetchMessages(const std::filesystem::path& shadowDBPath,
                                                    const std::vector<std::string>& guids,
                                                    const std::filesystem::path& contactsDBPath,
                                                    int limit) = 0;
    // Participants of each distinct chat id as given; empty and "unknown" ids are left out.
    virtual std::map<std::string, std::vector<ChatParticipant>> fetchChatParticipants(
        const std::filesystem::path& shadowDBPath, const std::vector<std::string>& chatIds) = 0;
};

}  // namespace vask
