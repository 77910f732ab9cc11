#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "foundation/structured_logger.h"
#include "platform/serial_queue.h"
#include "proactive/user_notification_center.h"

namespace vask {

// Desktop notifications through the freedesktop notification server on the session bus
// (org.freedesktop.Notifications, over gio's GDBus). The server numbers notifications itself; our
// identifiers are mapped to its numbers for replacing, closing and routing actions. There is no
// permission to ask for, and nothing is ever pending. Without a session bus or a server on it,
// posting logs and shows nothing.
class FreedesktopNotificationCenter final : public UserNotificationCenter {
  public:
    static constexpr const char* serverName = "org.freedesktop.Notifications";

    // `busName` names the server (tests use one nobody owns).
    explicit FreedesktopNotificationCenter(std::string busName = serverName);
    ~FreedesktopNotificationCenter() override;
    FreedesktopNotificationCenter(const FreedesktopNotificationCenter&) = delete;
    FreedesktopNotificationCenter& operator=(const FreedesktopNotificationCenter&) = delete;

    void authorizationStatus(
        std::function<void(NotificationAuthorizationStatus)> completion) override;
    void requestAuthorization(
        std::function<void(bool, const std::optional<std::string>&)> completion) override;
    void add(const UserNotificationRequest& request, ErrorCompletion completion) override;
    void deliveredIdentifiers(IdentifiersCompletion completion) override;
    void pendingIdentifiers(IdentifiersCompletion completion) override;
    void removeDelivered(const std::vector<std::string>& identifiers) override;
    void removePending(const std::vector<std::string>& identifiers) override;
    void setTapReceiver(TapReceiver receiver) override;

  private:
    struct Bus;

    std::unique_ptr<Bus> bus_;
    // Calls to the server go out one at a time, in order, off the caller's thread.
    SerialQueue calls_{"ai.ternwick.notifications"};
    StructuredLogger logger_{"notifications"};
};

}  // namespace vask
