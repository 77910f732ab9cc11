#pragma once

#include <set>
#include <string>
#include <vector>

#include "proactive/user_notification_center.h"

namespace vask::test {

// Answers at once, on the calling thread, and records what it was asked.
class FakeNotificationCenter final : public UserNotificationCenter {
  public:
    NotificationAuthorizationStatus status = NotificationAuthorizationStatus::authorized;
    bool grantOnRequest = true;
    std::optional<std::string> requestError;
    std::optional<std::string> addError;
    int authorizationRequests = 0;
    std::vector<UserNotificationRequest> added;
    std::set<std::string> delivered;
    std::set<std::string> pending;
    TapReceiver tapReceiver;

    void authorizationStatus(
        std::function<void(NotificationAuthorizationStatus)> completion) override {
        completion(status);
    }
    void requestAuthorization(
        std::function<void(bool, const std::optional<std::string>&)> completion) override {
        ++authorizationRequests;
        completion(grantOnRequest, requestError);
    }
    void add(const UserNotificationRequest& request, ErrorCompletion completion) override {
        added.push_back(request);
        if (!addError) {
            delivered.insert(request.identifier);
        }
        completion(addError);
    }
    void deliveredIdentifiers(IdentifiersCompletion completion) override {
        completion({delivered.begin(), delivered.end()});
    }
    void pendingIdentifiers(IdentifiersCompletion completion) override {
        completion({pending.begin(), pending.end()});
    }
    void removeDelivered(const std::vector<std::string>& identifiers) override {
        for (const auto& id : identifiers) {
            delivered.erase(id);
        }
    }
    void removePending(const std::vector<std::string>& identifiers) override {
        for (const auto& id : identifiers) {
            pending.erase(id);
        }
    }
    void setTapReceiver(TapReceiver receiver) override { tapReceiver = std::move(receiver); }
};

}  // namespace vask::test
