#include "records/shadow_citation_reader.h"

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "sources/contacts_store.h"
#include "store/shadow_sync.h"

namespace vask {
namespace {

namespace fs = std::filesystem;

// An empty contacts database in a private folder of its own, removed with the object. The shadow
// queries join the contacts tables unconditionally; joining empty ones leaves every sender named
// by its handle, which is what a user without a contacts database sees everywhere else.
class EmptyContactsDatabase {
  public:
    EmptyContactsDatabase() {
        std::string pattern = (fs::temp_directory_path() / "vask-citations-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(),
                                    "could not create a folder for an empty contacts database");
        }
        folder_ = pattern;
        try {
            ContactsStore contacts(path());
            contacts.createSchemaIfNeeded();
            contacts.close();
        } catch (...) {
            removeFolder();
            throw;
        }
    }
    ~EmptyContactsDatabase() { removeFolder(); }
    EmptyContactsDatabase(const EmptyContactsDatabase&) = delete;
    EmptyContactsDatabase& operator=(const EmptyContactsDatabase&) = delete;

    fs::path path() const { return folder_ / "contacts.db"; }

  private:
    void removeFolder() noexcept {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    fs::path folder_;
};

}  // namespace

std::vector<CitedMessage> ShadowCitationReader::fetchMessages(
    const std::filesystem::path& shadowDBPath, const std::vector<std::string>& guids,
    const std::filesystem::path& contactsDBPath, int limit) {
    ShadowSync shadow(std::nullopt, shadowDBPath);
    std::optional<EmptyContactsDatabase> noContacts;
    if (contactsDBPath.empty()) {
        noContacts.emplace();
    }
    std::vector<CitedMessage> cited;
    for (auto& message :
         shadow.fetchMessages(guids, noContacts ? noContacts->path() : contactsDBPath, limit)) {
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
