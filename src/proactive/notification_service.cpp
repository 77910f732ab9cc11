#include "proactive/notification_service.h"

#include <vector>

#include "proactive/log_privacy.h"

namespace vask {
namespace {

std::vector<std::string> withPrefix(const std::vector<std::string>& identifiers,
                                    std::string_view prefix) {
    std::vector<std::string> matching;
    for (const auto& identifier : identifiers) {
        if (identifier.starts_with(prefix)) {
            matching.push_back(identifier);
        }
    }
    return matching;
}

}  // namespace

NotificationService::NotificationService(UserNotificationCenter& center, MainExecutor& main)
    : center_(center), main_(main) {
    std::weak_ptr<bool> alive = alive_;
    center_.setTapReceiver([this, alive](const NotificationUserInfo& userInfo) {
        if (!alive.expired()) {
            didReceive(userInfo);
        }
    });
}

NotificationService::~NotificationService() {
    *alive_ = false;
    center_.setTapReceiver({});
}

void NotificationService::authorizationStatus(
    std::function<void(NotificationAuthorizationStatus)> completion) {
    center_.authorizationStatus(
        [this, alive = std::weak_ptr<bool>(alive_),
         completion = std::move(completion)](NotificationAuthorizationStatus status) {
            main_.post([alive, completion, status] {
                if (!alive.expired()) {
                    completion(status);
                }
            });
        });
}

void NotificationService::ensureAuthorized(std::function<void(bool)> completion) {
    authorizationStatus([this, completion =
                                   std::move(completion)](NotificationAuthorizationStatus status) {
        switch (status) {
            case NotificationAuthorizationStatus::authorized:
            case NotificationAuthorizationStatus::provisional:
            case NotificationAuthorizationStatus::ephemeral:
                completion(true);
                return;
            case NotificationAuthorizationStatus::denied:
                completion(false);
                return;
            case NotificationAuthorizationStatus::notDetermined:
                break;
        }
        center_.requestAuthorization([this, alive = std::weak_ptr<bool>(alive_), completion](
                                         bool granted, const std::optional<std::string>& error) {
            if (error) {
                logger_.error("notifications_authorization_error", {{"error", *error}});
            } else {
                logger_.info("notifications_authorization_requested",
                             {{"granted", granted ? "true" : "false"}});
            }
            const bool answer = granted && !error;
            main_.post([alive, completion, answer] {
                if (!alive.expired()) {
                    completion(answer);
                }
            });
        });
    });
}

void NotificationService::post(const std::string& id, const std::string& title,
                               const std::string& body, const NotificationUserInfo& userInfo) {
    center_.add({id, title, body, userInfo}, [logger = logger_, id = loggableIdentifier(id)](
                                                 const std::optional<std::string>& error) {
        if (error) {
            logger.error("notification_post_failed", {{"id", id}, {"error", *error}});
        } else {
            logger.info("notification_posted", {{"id", id}});
        }
    });
}

void NotificationService::removeAll(std::string_view prefix) {
    using Remove = void (UserNotificationCenter::*)(const std::vector<std::string>&);
    const auto sweep = [this, wanted = std::string(prefix)](Remove remove, const char* event) {
        return [&center = center_, logger = logger_, wanted, remove,
                event](const std::vector<std::string>& identifiers) {
            const auto matching = withPrefix(identifiers, wanted);
            if (!matching.empty()) {
                (center.*remove)(matching);
                logger.info(event,
                            {{"prefix", wanted}, {"count", std::to_string(matching.size())}});
            }
        };
    };
    center_.deliveredIdentifiers(
        sweep(&UserNotificationCenter::removeDelivered, "notifications_swept_delivered"));
    center_.pendingIdentifiers(
        sweep(&UserNotificationCenter::removePending, "notifications_swept_pending"));
}

void NotificationService::withdrawAllDelivered() {
    center_.withdrawAllDelivered();
}

void NotificationService::didReceive(const NotificationUserInfo& userInfo) {
    const auto action = userInfo.find("action");
    logger_.info("notification_tapped",
                 {{"action", action == userInfo.end() ? "none" : action->second}});
    main_.post([this, alive = std::weak_ptr<bool>(alive_), userInfo] {
        if (alive.expired()) {
            return;
        }
        const auto tapped = userInfo.find("action");
        if (tapped == userInfo.end()) {
            return;
        }
        if (const auto handler = tapHandlers.find(tapped->second); handler != tapHandlers.end()) {
            handler->second(userInfo);
        }
    });
}

}  // namespace vask
