#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "foundation/structured_logger.h"
#include "platform/serial_queue.h"
#include "proactive/user_notification_center.h"

namespace vask {

// Desktop notifications through the freedesktop notification server on the session bus
// (org.freedesktop.Notifications, over gio's GDBus). The server numbers notifications itself; our
// identifiers are mapped to its numbers for replacing, closing and routing actions. There is no
// permission to ask for, and nothing is ever pending. A server the bus starts on demand (one
// that is activatable but not running yet) is started by the first post. Without a session bus
// or any server for it, posting logs and shows nothing. The server routes actions to the
// connection that posted, so only this run's notifications can be tapped; they are withdrawn
// when the application quits.
class FreedesktopNotificationCenter final : public UserNotificationCenter {
  public:
    static constexpr const char* serverName = "org.freedesktop.Notifications";
    // A notification shows a few lines; longer message texts are cut to this many characters.
    static constexpr std::size_t bodyCharacterCap = 200;

    // The body as sent: cut to the cap (with an ellipsis), made valid UTF-8, and with `&`, `<`
    // and `>` escaped when the server reads bodies as markup, so a sender's text can neither
    // style itself nor plant a link.
    static std::string bodyText(std::string_view body, bool serverReadsMarkup);

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
    // At quit: gives up every call to the server still waiting or queued (no post goes out from
    // here on), closes every notification this run shows, and waits until those requests are on
    // the bus, never for the server's replies.
    void withdrawAllDelivered() override;

  private:
    struct Bus;

    std::unique_ptr<Bus> bus_;
    // Calls to the server go out one at a time, in order, off the caller's thread.
    SerialQueue calls_{"ai.ternwick.notifications"};
    StructuredLogger logger_{"notifications"};
};

}  // namespace vask
