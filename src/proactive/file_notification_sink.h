#pragma once

#include <filesystem>
#include <mutex>
#include <set>
#include <string>

#include "foundation/structured_logger.h"
#include "proactive/user_notification_center.h"

namespace vask {

// A notification centre that shows nothing and records each post and removal as one JSON line
// in a file, for end-to-end tests: {"event":"post","id","title","body","userInfo"} and
// {"event":"remove","id"}. Posted identifiers count as delivered until removed.
class FileNotificationSink final : public UserNotificationCenter {
  public:
    static constexpr const char* pathVariable = "VASK_NOTIFICATION_SINK";

    explicit FileNotificationSink(std::filesystem::path path);

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
    // Appends one line; the error text on failure.
    std::optional<std::string> append(const std::string& line);

    std::filesystem::path path_;
    std::mutex mutex_;
    std::set<std::string> delivered_;
    StructuredLogger logger_{"notifications"};
};

}  // namespace vask
