#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "sources/system_contact.h"

namespace vask {

class SystemContactStoreError : public Error {
  public:
    enum class Case { enumerationFailed, accessRequestFailed };

    SystemContactStoreError(Case kind, std::string message);
    Case kind() const { return kind_; }
    const std::string& message() const { return message_; }

  private:
    Case kind_;
    std::string message_;
};

// The user's address book as the platform keeps it: permission, enumeration and a change signal.
// Change notifications go through a NotificationCenter under `didChangeNotification`, with the
// store as sender.
class SystemContactStore {
  public:
    static constexpr std::string_view didChangeNotification = "contactStoreDidChange";

    // Reports whether access was granted, or the reason the request itself failed. May call
    // back on any thread, at most once.
    using AccessCompletion =
        std::function<void(bool granted, const std::optional<std::string>& error)>;

    virtual ~SystemContactStore() = default;

    virtual ContactAuthorizationStatus authorizationStatus() const = 0;
    virtual void requestAccess(AccessCompletion completion) = 0;
    // Every contact, in the request's order. Throws SystemContactStoreError.
    virtual std::vector<SystemContact> enumerateContacts(const ContactFetchRequest& request) = 0;
};

}  // namespace vask
