#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/structured_logger.h"
#include "platform/executor.h"
#include "proactive/user_notification_center.h"

namespace vask {

// The one gateway to the desktop's notifications: permission, posting at once, sweeping by
// identifier prefix, and routing a tap to the handler registered for the notification's
// "action". Completions and handlers run on the main executor.
class NotificationService {
  public:
    using TapHandler = std::function<void(const NotificationUserInfo&)>;

    // Installs itself as the centre's tap receiver; the centre must outlive it.
    NotificationService(UserNotificationCenter& center, MainExecutor& main);
    ~NotificationService();
    NotificationService(const NotificationService&) = delete;
    NotificationService& operator=(const NotificationService&) = delete;

    void ensureAuthorized(std::function<void(bool)> completion);
    void authorizationStatus(std::function<void(NotificationAuthorizationStatus)> completion);
    // Returns at once; the outcome is only logged.
    void post(const std::string& id, const std::string& title, const std::string& body,
              const NotificationUserInfo& userInfo);
    // Removes delivered and pending notifications whose identifier starts with `prefix`.
    void removeAll(std::string_view prefix);
    // At quit: withdraws what this run shows, before returning. Nothing could route a tap on
    // it once the process is gone.
    void withdrawAllDelivered();

    // By user-info "action"; main executor only.
    std::map<std::string, TapHandler> tapHandlers;

    // A notification was activated; any thread.
    void didReceive(const NotificationUserInfo& userInfo);

  private:
    UserNotificationCenter& center_;
    MainExecutor& main_;
    StructuredLogger logger_{"notifications"};
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vask
