#pragma once

#include <exception>
#include <functional>
#include <mutex>
#include <string>

#include "foundation/cloud_auth_store.h"
#include "foundation/customer_token_store.h"
#include "foundation/structured_logger.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/http_client.h"
#include "platform/url.h"

namespace vask {

class TokenRefreshError : public Error {
  public:
    enum class Kind {
        sessionLoadFailed,
        refreshFailed,
        sessionSaveFailed,
        noSession,
        refreshTokenExpired
    };

    // For the cases that wrap a lower-level failure; `underlying` must hold a std::exception.
    TokenRefreshError(Kind kind, std::exception_ptr underlying);
    // For noSession and refreshTokenExpired.
    explicit TokenRefreshError(Kind kind);

    Kind kind() const { return kind_; }
    // The wrapped failure; null for noSession and refreshTokenExpired.
    std::exception_ptr underlying() const { return underlying_; }

  private:
    Kind kind_;
    std::exception_ptr underlying_;
};

// The cloud backend refused the refresh: domain "TokenRefresh", the HTTP status as the code and
// the reply's body (or "Unknown error") as the description.
class TokenRefreshResponseError : public Error {
  public:
    static constexpr std::string_view domain = "TokenRefresh";

    TokenRefreshResponseError(int code, const std::string& description)
        : Error(description), code_(code) {}
    int code() const { return code_; }

  private:
    int code_;
};

// Trades the stored refresh token for a new session at the cloud backend. Holds no state of
// its own between calls; concurrent calls run one after another, since a refresh token is
// good for one exchange. Blocking: call it from a worker thread.
class AccessTokenRefresher {
  public:
    using TokenRefreshed = std::function<void()>;

    AccessTokenRefresher(AuthSessionStorage& cloudAuthStore, CustomerTokenStore& customerTokenStore,
                         Url backendBaseURL, TokenRefreshed onTokenRefreshed,
                         const HttpClient& http,
                         StructuredLogger logger = StructuredLogger("token-refresher"),
                         const Clock& clock = Clock::system());

    // The new access token. Throws TokenRefreshError; a failed refresh changes nothing stored.
    std::string refreshAccessToken();

  private:
    struct RefreshResult {
        std::string accessToken;
        std::string refreshToken;
        Clock::WallTime refreshExpiresAt;
        std::optional<std::string> customerToken;
    };

    RefreshResult callRefreshEndpoint(const std::string& refreshToken) const;
    std::string refreshLocked();

    AuthSessionStorage& cloudAuthStore_;
    CustomerTokenStore& customerTokenStore_;
    Url backendBaseURL_;
    StructuredLogger logger_;
    TokenRefreshed onTokenRefreshed_;
    const HttpClient& http_;
    const Clock& clock_;
    std::mutex mutex_;
};

}  // namespace vask
