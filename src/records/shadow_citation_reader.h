#pragma once

#include "records/citation_message_reader.h"

namespace vask {

// The citation reads over the real shadow database: each call goes through a ShadowSync of its
// own, which opens the database read-only for that call.
class ShadowCitationReader final : public CitationMessageReader {
  public:
    std::vector<CitedMessage> fetchMessages(const std::filesystem::path& shadowDBPath,
                                            const std::vector<std::string>& guids,
                                            const std::filesystem::path& contactsDBPath,
                                            int limit) override;
    std::map<std::string, std::vector<ChatParticipant>> fetchChatParticipants(
        const std::filesystem::path& shadowDBPath,
        const std::vector<std::string>& chatIds) override;
};

}  // namespace vask
