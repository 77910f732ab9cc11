#pragma once

#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>

#include "foundation/access_token_refresher.h"
#include "foundation/auth_mode.h"

namespace vask {

// One shared, de-duplicated access-token refresh for every caller that got an unauthorised
// reply. At most one refresh runs at a time in the process; callers that arrive while it runs
// wait for the same outcome. Blocking: call it from a worker thread.
class TokenRefreshCoordinator {
  public:
    // True when a refresh succeeded. Must not throw.
    using Refresh = std::function<bool()>;
    using AuthModeProvider = std::function<AuthMode()>;

    TokenRefreshCoordinator(Refresh refresh, AuthModeProvider authModeProvider);

    // The refresh the application uses: one refreshAccessToken() of `refresher`, true when it
    // returns and false when it throws (the refresher has logged why).
    static Refresh refreshing(AccessTokenRefresher& refresher);

    // `failedToken` is the customer token the unauthorised call carried. True tells the caller
    // to retry once now with the current credentials; false that the refresh failed. Without a
    // managed account, or when the token has been replaced since, there is nothing to refresh
    // and the answer is true at once.
    bool refreshForRetry(const std::optional<std::string>& failedToken);

  private:
    Refresh refresh_;
    AuthModeProvider authModeProvider_;
    std::mutex mutex_;
    std::optional<std::shared_future<bool>> inFlight_;
};

}  // namespace vask
