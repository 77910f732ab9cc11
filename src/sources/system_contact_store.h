#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/subscription.h"
#include "sources/system_contact.h"

namespace vask {

class SystemContactStoreError : public Error {
  public:
    // folderMissing and folderUnreadable: the folder the address book is read from is not
    // there, or cannot be listed or read.
    enum class Case { enumerationFailed, accessRequestFailed, folderMissing, folderUnreadable };

    SystemContactStoreError(Case kind, std::string message);
    Case kind() const { return kind_; }
    const std::string& message() const { return message_; }

  private:
    Case kind_;
    std::string message_;
};

// The user's address book as the platform keeps it: permission, enumeration and its changes.
class SystemContactStore {
  public:
    // Reports whether access was granted, or the reason the request itself failed. May call
    // back on any thread, at most once.
    using AccessCompletion =
        std::function<void(bool granted, const std::optional<std::string>& error)>;

    virtual ~SystemContactStore() = default;

    virtual ContactAuthorizationStatus authorizationStatus() const = 0;
    virtual void requestAccess(AccessCompletion completion) = 0;
    // Every contact, in the request's order. Throws SystemContactStoreError.
    virtual std::vector<SystemContact> enumerateContacts(const ContactFetchRequest& request) = 0;
    // `changed` runs on the store's own thread after each change of the address book (once per
    // burst of changes), for as long as the subscription lives.
    [[nodiscard]] virtual Subscription observeChanges(std::function<void()> changed) = 0;
};

}  // namespace vask
