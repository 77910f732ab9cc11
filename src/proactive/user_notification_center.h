#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/environment.h"

namespace vask {

using NotificationUserInfo = std::map<std::string, std::string>;

// One notification, delivered at once.
struct UserNotificationRequest {
    std::string identifier;
    std::string title;
    std::string body;
    NotificationUserInfo userInfo;

    bool operator==(const UserNotificationRequest&) const = default;
};

enum class NotificationAuthorizationStatus {
    notDetermined,
    denied,
    authorized,
    provisional,
    ephemeral
};

// The desktop's notification centre. Completions and taps may arrive on any thread.
class UserNotificationCenter {
  public:
    using TapReceiver = std::function<void(const NotificationUserInfo& userInfo)>;
    using ErrorCompletion = std::function<void(const std::optional<std::string>& error)>;
    using IdentifiersCompletion = std::function<void(const std::vector<std::string>&)>;

    virtual ~UserNotificationCenter() = default;

    virtual void authorizationStatus(
        std::function<void(NotificationAuthorizationStatus)> completion) = 0;
    // `granted` is meaningful only without an error.
    virtual void requestAuthorization(
        std::function<void(bool granted, const std::optional<std::string>& error)> completion) = 0;
    // A request with the identifier of a shown notification replaces it.
    virtual void add(const UserNotificationRequest& request, ErrorCompletion completion) = 0;
    virtual void deliveredIdentifiers(IdentifiersCompletion completion) = 0;
    virtual void pendingIdentifiers(IdentifiersCompletion completion) = 0;
    virtual void removeDelivered(const std::vector<std::string>& identifiers) = 0;
    virtual void removePending(const std::vector<std::string>& identifiers) = 0;
    // Called with the user info of a notification the user activated.
    virtual void setTapReceiver(TapReceiver receiver) = 0;
    // At quit: withdraws every delivered notification. Centres whose notifications outlive the
    // process, or that keep none, need not.
    virtual void withdrawAllDelivered() {}

    // The file sink when VASK_NOTIFICATION_SINK names a file, else the session bus's
    // notification server.
    static std::unique_ptr<UserNotificationCenter> makeSystem(const Environment& environment);
};

}  // namespace vask
