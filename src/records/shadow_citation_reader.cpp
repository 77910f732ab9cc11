#include "records/shadow_citation_reader.h"

#include "store/shadow_sync.h"

namespace vask {

std::vector<CitedMessage> ShadowCitationReader::fetchMessages(
    const std::filesystem::path& shadowDBPath, const std::vector<std::string>& guids,
    const std::filesystem::path& contactsDBPath, int limit) {
    ShadowSync shadow(std::nullopt, shadowDBPath);
    std::vector<CitedMessage> cited;
    for (auto& message : shadow.fetchMessages(guids, contactsDBPath, limit)) {
        cited.push_back(CitedMessage{std::move(message.guid), std::move(message.contactName),
                                     std::move(message.text), message.timestampUnix,
                                     std::move(message.chatId), std::move(message.chatName),
                                     message.isGroup});
    }
    return cited;
}

std::map<std::string, std::vector<ChatParticipant>> ShadowCitationReader::fetchChatParticipants(
    const std::filesystem::path& shadowDBPath, const std::vector<std::string>& chatIds) {
    return ShadowSync(std::nullopt, shadowDBPath).fetchChatParticipants(chatIds);
}

}  // namespace vask
