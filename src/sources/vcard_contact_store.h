#pragma once

#include "sources/data_folder_store.h"
#include "sources/system_contact_store.h"

namespace vask {

inline constexpr DataFolderKind vcardFolderKind{
    .extension = ".vcf",
    .accessGrantKey = "contactsAccessGrant",
    .grantedValue = "authorized",
    .loggerCategory = "contacts-store",
    .eventPrefix = "contacts",
    .folderVariable = "VASK_CONTACTS_DIR",
    .dataSubfolder = "contacts",
    // Several times a file's size is held to read it, on every synchronisation; a real address
    // book of thousands of cards is a few MiB.
    .maxFileBytes = std::uintmax_t{32} * 1024 * 1024,
};

// The address book on Linux: a folder of vCard files as CardDAV sync tools keep it (one folder
// per collection, one .vcf per contact, though a file may hold several cards). Access is a grant
// kept in the user's settings under `accessGrantKey` ("authorized" or "denied"); the access
// request records "authorized", because opening the folder is the user's own choice and nothing
// else can be asked. Its observers hear of each burst of changes of the folder once.
class VCardContactStore final : public DataFolderStore<SystemContactStore, vcardFolderKind> {
  public:
    using DataFolderStore::DataFolderStore;

    ContactAuthorizationStatus authorizationStatus() const override;
    void requestAccess(AccessCompletion completion) override;
    // Cards without a UID are known by their file's path within the folder (and their place in
    // the file when it holds several). A missing folder is an empty address book; a file that
    // cannot be read, or that holds something but yields no card, fails the whole enumeration
    // rather than dropping its contacts. A file larger than the cap is passed over and logged.
    std::vector<SystemContact> enumerateContacts(const ContactFetchRequest& request) override;
};

}  // namespace vask
