#include "foundation/token_refresh_coordinator.h"

namespace vask {

TokenRefreshCoordinator::TokenRefreshCoordinator(Refresh refresh, AuthModeProvider authModeProvider)
    : refresh_(std::move(refresh)), authModeProvider_(std::move(authModeProvider)) {}

TokenRefreshCoordinator::Refresh TokenRefreshCoordinator::refreshing(
    AccessTokenRefresher& refresher) {
    return [&refresher] {
        try {
            refresher.refreshAccessToken();
            return true;
        } catch (const std::exception&) {
            return false;
        }
    };
}

bool TokenRefreshCoordinator::refreshForRetry(const std::optional<std::string>& failedToken) {
    if (failedToken) {
        const auto mode = authModeProvider_();
        const auto* managed = mode.asManaged();
        if (managed == nullptr || managed->customerToken != *failedToken) {
            return true;
        }
    }

    std::shared_future<bool> outcome;
    bool created = false;
    {
        std::lock_guard lock(mutex_);
        if (inFlight_) {
            outcome = *inFlight_;
        } else {
            // The refresh runs on a thread of its own, so that a caller giving up waiting
            // never ends the refresh the others wait for.
            outcome = std::async(std::launch::async, refresh_).share();
            inFlight_ = outcome;
            created = true;
        }
    }
    const bool succeeded = outcome.get();
    if (created) {
        // Only the creator clears the handle: a caller arriving between the refresh's end and
        // this point still joins it instead of starting another.
        std::lock_guard lock(mutex_);
        inFlight_.reset();
    }
    return succeeded;
}

}  // namespace vask
