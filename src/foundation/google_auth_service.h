#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "foundation/structured_logger.h"
#include "foundation/web_authentication_session.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/http_client.h"
#include "platform/result.h"
#include "platform/url.h"

namespace vask {

// What a completed Google sign-in hands over: the relay's customer token and the cloud session.
struct GoogleAuthResult {
    std::string customerToken;
    std::string accessToken;
    std::string refreshToken;
    Clock::WallTime refreshExpiresAt;
    std::string userID;
    std::string userEmail;

    bool operator==(const GoogleAuthResult&) const = default;
};

// A failure inside the sign-in flow itself: domain "GoogleAuth" with a code (-1 no code
// received, -2 the flow could not start, -3 not an HTTP reply, -4 the backend's own refusal).
class GoogleAuthFlowError : public Error {
  public:
    static constexpr std::string_view domain = "GoogleAuth";

    GoogleAuthFlowError(int code, const std::string& description)
        : Error(description), code_(code) {}
    int code() const { return code_; }

  private:
    int code_;
};

class GoogleAuthError : public Error {
  public:
    enum class Kind {
        oauthFailed,
        backendFailed,
        networkError,
        decodingError,
        missingConfiguration,
        oauthCancelled,
        // No browser could show the start page; the flow may still be finished by hand.
        browserUnavailable
    };

    // For oauthFailed, networkError and decodingError; `underlying` must hold a std::exception.
    GoogleAuthError(Kind kind, const std::exception_ptr& underlying);
    // For missingConfiguration, oauthCancelled and browserUnavailable.
    explicit GoogleAuthError(Kind kind);
    static GoogleAuthError backendFailed(int statusCode, const std::string& message);

    Kind kind() const { return kind_; }
    // The wrapped failure, when the case carries one.
    std::exception_ptr underlying() const { return underlying_; }
    // For backendFailed.
    std::optional<int> statusCode() const { return statusCode_; }

  private:
    GoogleAuthError(Kind kind, const std::string& description, std::exception_ptr underlying,
                    std::optional<int> statusCode);

    Kind kind_;
    std::exception_ptr underlying_;
    std::optional<int> statusCode_;
};

// Google sign-in through the cloud backend: the backend's start page runs the Google flow in a
// web authentication session and ends on the callback scheme with an authorization code, which
// is then exchanged at the backend for the customer token and the cloud session. Stores
// nothing, and never logs the code or a token.
class GoogleAuthService {
  public:
    using CodeResult = Result<std::string, GoogleAuthError>;
    using CodeCompletion = std::function<void(CodeResult)>;

    GoogleAuthService(Url backendBaseURL, std::string callbackScheme, StructuredLogger logger,
                      WebAuthenticationSession& session, const HttpClient& http);

    // Main executor. Opens the start page and calls `done` exactly once with the authorization
    // code or a GoogleAuthError; for a base URL that cannot carry a web page
    // (missingConfiguration) before anything opens, and otherwise on the main executor.
    void startOAuthFlow(const CodeCompletion& done) const;
    // Main executor. After browserUnavailable: waits, opening nothing, for the callback of the
    // start page opened by hand, and calls `done` as startOAuthFlow does. False when the session
    // cannot (`done` is never called then).
    bool awaitOAuthCallback(const CodeCompletion& done) const;
    // The start page, for the user to open by hand; nothing without a usable base URL.
    std::optional<Url> startPageURL() const;

    // Blocking: call it from a worker thread. Throws GoogleAuthError, or the transport's
    // HttpClient::Error unchanged.
    GoogleAuthResult exchangeCode(const std::string& code, std::stop_token stop = {}) const;

    // The code of a callback URL, as the backend's redirect gives it.
    static CodeResult codeFromCallback(const Url& callbackURL);

    const Url& backendBaseURL() const { return backendBaseURL_; }
    const std::string& callbackScheme() const { return callbackScheme_; }

  private:
    static void deliver(const WebAuthenticationSession::Outcome& outcome,
                        const CodeCompletion& done);

    Url backendBaseURL_;
    std::string callbackScheme_;
    StructuredLogger logger_;
    WebAuthenticationSession& session_;
    const HttpClient& http_;
};

}  // namespace vask
