#include "foundation/google_auth_service.h"

#include <nlohmann/json.hpp>

#include "foundation/reply_redaction.h"
#include "platform/error.h"
#include "platform/iso8601.h"
#include "platform/json_fields.h"
#include "platform/text.h"

namespace vask {
namespace {

using Kind = GoogleAuthError::Kind;

std::string phrase(Kind kind) {
    switch (kind) {
        case Kind::oauthFailed:
            return "Google sign-in failed: ";
        case Kind::backendFailed:
            return "Server error";
        case Kind::networkError:
            return "Network error: ";
        case Kind::decodingError:
            return "Invalid server response: ";
        case Kind::missingConfiguration:
            return "Google OAuth is not configured. Please contact support.";
        case Kind::oauthCancelled:
            return "Sign-in was cancelled.";
        case Kind::browserUnavailable:
            return "No web browser could be opened.";
    }
    return {};
}

GoogleAuthError flowFailure(int code, const std::string& description) {
    return GoogleAuthError(Kind::oauthFailed,
                           std::make_exception_ptr(GoogleAuthFlowError(code, description)));
}

// Failures name the offending key, never a value: the body carries tokens.
GoogleAuthResult decodeReply(const std::string& body) {
    const auto json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_discarded()) {
        throw JsonFieldError("the reply is not valid JSON");
    }
    if (!json.is_object()) {
        throw JsonFieldError("the reply is not a JSON object");
    }
    GoogleAuthResult result;
    result.customerToken = jsonRequiredString(json, "customer_token");
    result.accessToken = jsonRequiredString(json, "access_token");
    result.refreshToken = jsonRequiredString(json, "refresh_token");
    const auto expiry = parseISO8601(jsonRequiredString(json, "refresh_expires_at"));
    if (!expiry) {
        throw JsonFieldError("\"refresh_expires_at\" is not an internet date-time");
    }
    result.refreshExpiresAt = *expiry;
    const auto user = json.find("user");
    if (user == json.end()) {
        throw JsonFieldError("missing key \"user\"");
    }
    if (!user->is_object()) {
        throw JsonFieldError("\"user\" is not an object");
    }
    result.userID = jsonRequiredString(*user, "id", "user.");
    result.userEmail = jsonRequiredString(*user, "email", "user.");
    return result;
}

}  // namespace

GoogleAuthError::GoogleAuthError(Kind kind, const std::string& description,
                                 std::exception_ptr underlying, std::optional<int> statusCode)
    : Error(description),
      kind_(kind),
      underlying_(std::move(underlying)),
      statusCode_(statusCode) {}

GoogleAuthError::GoogleAuthError(Kind kind, const std::exception_ptr& underlying)
    : GoogleAuthError(kind, phrase(kind) + describeException(underlying), underlying,
                      std::nullopt) {}

GoogleAuthError::GoogleAuthError(Kind kind) : GoogleAuthError(kind, phrase(kind), {}, {}) {}

GoogleAuthError GoogleAuthError::backendFailed(int statusCode, const std::string& message) {
    return GoogleAuthError(
        Kind::backendFailed,
        phrase(Kind::backendFailed) + " (" + std::to_string(statusCode) + "): " + message, {},
        statusCode);
}

GoogleAuthService::GoogleAuthService(Url backendBaseURL, std::string callbackScheme,
                                     StructuredLogger logger, WebAuthenticationSession& session,
                                     const HttpClient& http)
    : backendBaseURL_(std::move(backendBaseURL)),
      callbackScheme_(std::move(callbackScheme)),
      logger_(std::move(logger)),
      session_(session),
      http_(http) {}

std::optional<Url> GoogleAuthService::startPageURL() const {
    // The page opens in the user's browser: only a web address may be handed over.
    if ((backendBaseURL_.scheme() != "http" && backendBaseURL_.scheme() != "https") ||
        backendBaseURL_.host().empty()) {
        return std::nullopt;
    }
    return backendBaseURL_.appendingPath("auth/google/start").withQueryItems({{"native", "1"}});
}

void GoogleAuthService::startOAuthFlow(const CodeCompletion& done) const {
    const auto url = startPageURL();
    if (!url) {
        done(CodeResult::failure(GoogleAuthError(Kind::missingConfiguration)));
        return;
    }
    logger_.info("google_auth_starting", {{"callback_scheme", callbackScheme_}});
    const bool started = session_.start(
        *url, callbackScheme_,
        [done](const WebAuthenticationSession::Outcome& outcome) { deliver(outcome, done); });
    if (!started) {
        // Why is in the session's log (the command, its error); the user is told in plain words.
        done(CodeResult::failure(GoogleAuthError(Kind::browserUnavailable)));
    }
}

bool GoogleAuthService::awaitOAuthCallback(const CodeCompletion& done) const {
    return session_.await(
        callbackScheme_,
        [done](const WebAuthenticationSession::Outcome& outcome) { deliver(outcome, done); });
}

void GoogleAuthService::deliver(const WebAuthenticationSession::Outcome& outcome,
                                const CodeCompletion& done) {
    if (outcome) {
        done(codeFromCallback(outcome.value()));
        return;
    }
    switch (outcome.error().kind()) {
        case WebAuthenticationSessionError::Kind::canceledLogin:
            done(CodeResult::failure(GoogleAuthError(Kind::oauthCancelled)));
            return;
        case WebAuthenticationSessionError::Kind::launchFailed:
            done(CodeResult::failure(GoogleAuthError(Kind::browserUnavailable)));
            return;
        case WebAuthenticationSessionError::Kind::timedOut:
            break;
    }
    done(CodeResult::failure(
        GoogleAuthError(Kind::oauthFailed, std::make_exception_ptr(outcome.error()))));
}

GoogleAuthService::CodeResult GoogleAuthService::codeFromCallback(const Url& callbackURL) {
    const auto items = callbackURL.queryItems();
    const auto first = [&items](std::string_view name) -> const Url::QueryItem* {
        for (const auto& item : items) {
            if (item.name == name) {
                return &item;
            }
        }
        return nullptr;
    };
    // "?code=" is an (empty) code; "?code" without "=" is no code at all.
    if (const auto* code = first("code"); code && code->value) {
        return CodeResult::success(*code->value);
    }
    if (const auto* error = first("error"); error && error->value) {
        return CodeResult::failure(flowFailure(-4, *error->value));
    }
    return CodeResult::failure(flowFailure(-1, "No authorization code received"));
}

GoogleAuthResult GoogleAuthService::exchangeCode(const std::string& code,
                                                 std::stop_token stop) const {
    if (!text::isValidUtf8(code)) {
        throw Error("The authorization code is not valid UTF-8");
    }
    const HttpRequest request{"POST",
                              backendBaseURL_.appendingPath("api/v1/auth/google/exchange"),
                              {{"Content-Type", "application/json"}},
                              nlohmann::json{{"code", code}}.dump(),
                              std::chrono::seconds(60)};
    logger_.info("google_auth_exchanging_code");
    const auto response = http_.send(request, std::move(stop));

    if (response.status != 200) {
        // Both logged and shown: never the code or a token.
        const auto message = redactedRefusal(response.body, code, "[code]");
        logger_.error("google_auth_backend_error",
                      {{"status_code", std::to_string(response.status)}, {"message", message}});
        throw GoogleAuthError::backendFailed(response.status, message);
    }

    GoogleAuthResult result;
    try {
        result = decodeReply(response.body);
    } catch (const JsonFieldError& e) {
        logger_.error("google_auth_decode_error", {{"error", e.what()}});
        throw GoogleAuthError(Kind::decodingError, std::current_exception());
    }
    logger_.info("google_auth_success", {{"user_id", result.userID}});
    return result;
}

}  // namespace vask
