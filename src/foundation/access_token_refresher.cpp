#include "foundation/access_token_refresher.h"

#include <nlohmann/json.hpp>

#include "foundation/nil_if_empty.h"
#include "foundation/reply_redaction.h"
#include "platform/error.h"
#include "platform/iso8601.h"
#include "platform/json_fields.h"

namespace vask {
namespace {

std::string phrase(TokenRefreshError::Kind kind) {
    switch (kind) {
        case TokenRefreshError::Kind::sessionLoadFailed:
            return "Failed to load session: ";
        case TokenRefreshError::Kind::refreshFailed:
            return "Token refresh failed: ";
        case TokenRefreshError::Kind::sessionSaveFailed:
            return "Failed to save session: ";
        case TokenRefreshError::Kind::noSession:
            return "No active session - please sign in";
        case TokenRefreshError::Kind::refreshTokenExpired:
            return "Session expired - please sign in again";
    }
    return {};
}

Error decodingError(const std::string& what) {
    return Error("The refresh reply could not be read: " + what);
}

}  // namespace

TokenRefreshError::TokenRefreshError(Kind kind, std::exception_ptr underlying)
    : Error(phrase(kind) + describeException(underlying)),
      kind_(kind),
      underlying_(std::move(underlying)) {}

TokenRefreshError::TokenRefreshError(Kind kind) : Error(phrase(kind)), kind_(kind) {}

AccessTokenRefresher::AccessTokenRefresher(AuthSessionStorage& cloudAuthStore,
                                           CustomerTokenStore& customerTokenStore,
                                           Url backendBaseURL, TokenRefreshed onTokenRefreshed,
                                           const HttpClient& http, StructuredLogger logger,
                                           const Clock& clock)
    : cloudAuthStore_(cloudAuthStore),
      customerTokenStore_(customerTokenStore),
      backendBaseURL_(std::move(backendBaseURL)),
      logger_(std::move(logger)),
      onTokenRefreshed_(std::move(onTokenRefreshed)),
      http_(http),
      clock_(clock) {}

std::string AccessTokenRefresher::refreshAccessToken() {
    std::lock_guard lock(mutex_);
    return refreshLocked();
}

std::string AccessTokenRefresher::refreshLocked() {
    using Kind = TokenRefreshError::Kind;
    std::optional<CloudAuthSession> session;
    try {
        session = cloudAuthStore_.load();
    } catch (const std::exception& e) {
        logger_.error("refresh_failed", {{"reason", "session_load_error"}, {"error", e.what()}});
        throw TokenRefreshError(Kind::sessionLoadFailed, std::current_exception());
    }
    if (!session) {
        logger_.error("refresh_failed", {{"reason", "no_session"}});
        throw TokenRefreshError(Kind::noSession);
    }
    // An expiry of exactly now still counts as valid.
    if (session->refreshExpiresAt < clock_.now()) {
        logger_.warning("refresh_token_expired",
                        {{"expired_at", formatISO8601(session->refreshExpiresAt)}});
        throw TokenRefreshError(Kind::refreshTokenExpired);
    }

    logger_.info("attempting_token_refresh");
    RefreshResult result;
    try {
        result = callRefreshEndpoint(session->refreshToken);
    } catch (const std::exception& e) {
        logger_.error("refresh_api_failed", {{"error", e.what()}});
        throw TokenRefreshError(Kind::refreshFailed, std::current_exception());
    }

    const CloudAuthSession renewed{result.accessToken, result.refreshToken, result.refreshExpiresAt,
                                   session->userID, session->userEmail};
    try {
        cloudAuthStore_.save(renewed);
    } catch (const std::exception& e) {
        logger_.error("session_save_failed", {{"error", e.what()}});
        throw TokenRefreshError(Kind::sessionSaveFailed, std::current_exception());
    }

    if (const auto customerToken =
            result.customerToken ? nilIfEmpty(*result.customerToken) : std::nullopt) {
        try {
            customerTokenStore_.save(*customerToken, session->userEmail);
        } catch (const std::exception& e) {
            logger_.warning("customer_token_save_failed", {{"error", e.what()}});
        }
    }

    if (onTokenRefreshed_) {
        onTokenRefreshed_();
    }
    logger_.info("token_refresh_success");
    return renewed.accessToken;
}

AccessTokenRefresher::RefreshResult AccessTokenRefresher::callRefreshEndpoint(
    const std::string& refreshToken) const {
    HttpRequest request{"POST",
                        backendBaseURL_.appendingPath("api/v1/auth/refresh"),
                        {{"Content-Type", "application/json"}},
                        nlohmann::json{{"refresh_token", refreshToken}}.dump(),
                        std::chrono::seconds(60)};
    const auto response = http_.send(request);
    if (response.status != 200) {
        // The refusal goes into a log: it may quote the refresh token, or carry tokens.
        throw TokenRefreshError(
            TokenRefreshError::Kind::refreshFailed,
            std::make_exception_ptr(TokenRefreshResponseError(
                response.status, redactedRefusal(response.body, refreshToken, "[redacted]"))));
    }

    const auto json = nlohmann::json::parse(response.body, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        throw decodingError("not a JSON object");
    }
    RefreshResult result;
    std::string expiry;
    try {
        result.accessToken = jsonRequiredString(json, "access_token");
        result.refreshToken = jsonRequiredString(json, "refresh_token");
        expiry = jsonRequiredString(json, "refresh_expires_at");
    } catch (const JsonFieldError& e) {
        throw decodingError(e.what());
    }
    const auto date = parseISO8601(expiry);
    if (!date) {
        throw decodingError("\"refresh_expires_at\" is not an ISO 8601 date: " + expiry);
    }
    result.refreshExpiresAt = *date;
    if (const auto it = json.find("customer_token"); it != json.end() && !it->is_null()) {
        if (!it->is_string()) {
            throw decodingError("\"customer_token\" is not a string");
        }
        result.customerToken = it->get<std::string>();
    }
    return result;
}

}  // namespace vask
