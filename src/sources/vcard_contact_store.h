#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "platform/environment.h"
#include "platform/notification_center.h"
#include "platform/scheduler.h"
#include "platform/user_defaults.h"
#include "sources/folder_access_grant.h"
#include "sources/folder_watcher.h"
#include "sources/system_contact_store.h"
#include "sources/watched_data_folder.h"

namespace vask {

// The address book on Linux: a folder of vCard files as CardDAV sync tools keep it (one folder
// per collection, one .vcf per contact, though a file may hold several cards). Access is a grant
// kept in the user's settings under `accessGrantKey` ("authorized" or "denied"); the access
// request records "authorized", because opening the folder is the user's own choice and nothing
// else can be asked. Any change of the folder posts `didChangeNotification` with this store
// as sender, once per burst of changes.
class VCardContactStore final : public SystemContactStore {
  public:
    static constexpr std::string_view accessGrantKey = "contactsAccessGrant";
    // A larger file is passed over (and logged): several times its size would be held to read
    // it, on every synchronisation. A real address book of thousands of cards is a few MiB.
    static constexpr std::uintmax_t kMaxFileBytes = std::uintmax_t{32} * 1024 * 1024;

    // Watches `folder` from now on. Throws vask::Error when the folder cannot be watched.
    VCardContactStore(std::filesystem::path folder, UserDefaults& defaults,
                      NotificationCenter& center = NotificationCenter::shared(),
                      Scheduler& scheduler = Scheduler::system(),
                      Scheduler::Duration changeLatency = FolderWatcher::defaultLatency,
                      std::uintmax_t maxFileBytes = kMaxFileBytes);

    // VASK_CONTACTS_DIR when set, else the "contacts" folder of the user's data folder.
    static std::optional<std::filesystem::path> defaultFolder(const Environment& env);

    ContactAuthorizationStatus authorizationStatus() const override;
    void requestAccess(AccessCompletion completion) override;
    // Cards without a UID are known by their file's path within the folder (and their place in
    // the file when it holds several). A missing folder is an empty address book; a file that
    // cannot be read, or that holds something but yields no card, fails the whole enumeration
    // rather than dropping its contacts. A file larger than the cap is passed over and logged.
    std::vector<SystemContact> enumerateContacts(const ContactFetchRequest& request) override;

    const std::filesystem::path& folder() const { return folder_.path(); }
    const FolderWatcher& watcher() const { return folder_.watcher(); }

  private:
    FolderAccessGrant grant_;
    WatchedDataFolder folder_;
};

}  // namespace vask
