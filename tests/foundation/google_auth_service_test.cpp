#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "foundation/google_auth_service.h"
#include "platform/iso8601.h"
#include "support/log_capture.h"
#include "support/stub_http_server.h"

namespace vask {
namespace {

using Reply = test::StubHttpServer::Reply;
using Kind = GoogleAuthError::Kind;
constexpr const char* exchangePath = "/api/v1/auth/google/exchange";

// A session that records what it was asked to open and lets the test end the flow.
class ScriptedSession final : public WebAuthenticationSession {
  public:
    bool start(const Url& url, const std::string& callbackScheme, Completion completion) override {
        opened = url;
        scheme = callbackScheme;
        pending = std::move(completion);
        return startSucceeds;
    }
    void cancel() override {}

    void finish(Outcome outcome) { pending(std::move(outcome)); }

    bool startSucceeds = true;
    std::optional<Url> opened;
    std::string scheme;
    Completion pending;
};

std::optional<GoogleAuthService::CodeResult> runFlow(GoogleAuthService& service) {
    std::optional<GoogleAuthService::CodeResult> result;
    service.startOAuthFlow([&](GoogleAuthService::CodeResult r) { result = std::move(r); });
    return result;
}

std::string successBody(std::string_view expiry = "2026-03-01T08:00:00Z") {
    return nlohmann::json{{"customer_token", "cust-tok-1"},
                          {"access_token", "acc-tok-1"},
                          {"refresh_token", "ref-tok-1"},
                          {"refresh_expires_at", expiry},
                          {"user", {{"id", "user-42"}, {"email", "ada@example.com"}}},
                          {"extra", true}}
        .dump();
}

TEST(GoogleAuthCallbackTest, CodeFromCallbackURL) {
    struct Case {
        const char* url;
        std::optional<std::string> code;
        const char* error;  // description when no code
    };
    const std::vector<Case> cases = {
        {"vask://auth?code=abc", "abc", ""},
        {"vask://auth?code=", "", ""},  // an empty value is still a code
        {"vask://auth?code", std::nullopt, "Google sign-in failed: No authorization code received"},
        {"vask://auth?error=denied&code=xyz", "xyz", ""},
        {"vask://auth?error=access%20denied", std::nullopt, "Google sign-in failed: access denied"},
        {"vask://auth?error", std::nullopt,
         "Google sign-in failed: No authorization code received"},
        {"vask://auth?Code=abc", std::nullopt,
         "Google sign-in failed: No authorization code received"},
        {"vask://auth", std::nullopt, "Google sign-in failed: No authorization code received"},
        {"vask://other/path?code=a%2Bb", "a+b", ""},  // host and path are ignored
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const auto result = GoogleAuthService::codeFromCallback(*Url::parse(c.url));
        if (c.code) {
            ASSERT_TRUE(result.ok());
            EXPECT_EQ(result.value(), *c.code);
        } else {
            ASSERT_FALSE(result.ok());
            EXPECT_EQ(result.error().kind(), Kind::oauthFailed);
            EXPECT_STREQ(result.error().what(), c.error);
        }
    }
}

TEST(GoogleAuthFlowTest, StartPageAddress) {
    struct Case {
        const char* base;
        std::optional<std::string> opened;  // nothing: missingConfiguration
    };
    const std::vector<Case> cases = {
        {"https://cloud.example.com", "https://cloud.example.com/auth/google/start?native=1"},
        {"https://cloud.example.com/base/?stale=1#frag",
         "https://cloud.example.com/base/auth/google/start?native=1"},
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080/auth/google/start?native=1"},
        {"file:///etc/passwd", std::nullopt},
        {"mailto:someone@example.com", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.base);
        test::LogCapture log;
        ScriptedSession session;
        const HttpClient http;
        GoogleAuthService service(*Url::parse(c.base), "vask", StructuredLogger("google-auth"),
                                  session, http);
        const auto result = runFlow(service);
        if (c.opened) {
            ASSERT_TRUE(session.opened);
            EXPECT_EQ(session.opened->absoluteString(), *c.opened);
            EXPECT_EQ(session.scheme, "vask");
            EXPECT_FALSE(result);  // waits for the session
            const auto started = log->events("google_auth_starting");
            ASSERT_EQ(started.size(), 1u);
            EXPECT_EQ(started[0].metadata.at("callback_scheme"), "vask");
        } else {
            EXPECT_FALSE(session.opened);
            ASSERT_TRUE(result);
            EXPECT_EQ(result->error().kind(), Kind::missingConfiguration);
            EXPECT_STREQ(result->error().what(),
                         "Google OAuth is not configured. Please contact support.");
        }
    }
}

TEST(GoogleAuthFlowTest, SessionOutcomes) {
    using SessionKind = WebAuthenticationSessionError::Kind;
    struct Case {
        const char* name;
        bool starts;
        std::optional<WebAuthenticationSession::Outcome> outcome;
        std::optional<std::string> code;
        Kind kind;
        const char* description;
    };
    const auto failed = [](SessionKind kind, const char* text) {
        return WebAuthenticationSession::Outcome::failure(
            WebAuthenticationSessionError(kind, text));
    };
    const std::vector<Case> cases = {
        {"callback", true,
         WebAuthenticationSession::Outcome::success(*Url::parse("vask://a?code=c1")), "c1",
         Kind::oauthFailed, ""},
        {"cancelled", true, failed(SessionKind::canceledLogin, "x"), std::nullopt,
         Kind::oauthCancelled, "Sign-in was cancelled."},
        {"timed out", true, failed(SessionKind::timedOut, "Sign-in timed out."), std::nullopt,
         Kind::oauthFailed, "Google sign-in failed: Sign-in timed out."},
        // In plain words: how the opener failed is for the log.
        {"browser failed", true,
         failed(SessionKind::launchFailed,
                "The browser could not be opened: xdg-open exited "
                "with status 3"),
         std::nullopt, Kind::browserUnavailable, "No web browser could be opened."},
        {"start failed", false, std::nullopt, std::nullopt, Kind::browserUnavailable,
         "No web browser could be opened."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSession session;
        session.startSucceeds = c.starts;
        const HttpClient http;
        GoogleAuthService service(*Url::parse("https://cloud.example.com"), "vask",
                                  StructuredLogger("google-auth"), session, http);
        std::optional<GoogleAuthService::CodeResult> result;
        service.startOAuthFlow([&](GoogleAuthService::CodeResult r) { result = std::move(r); });
        if (c.outcome) {
            EXPECT_FALSE(result);
            session.finish(*c.outcome);
        }
        ASSERT_TRUE(result);
        if (c.code) {
            ASSERT_TRUE(result->ok());
            EXPECT_EQ(result->value(), *c.code);
        } else {
            ASSERT_FALSE(result->ok());
            EXPECT_EQ(result->error().kind(), c.kind);
            EXPECT_STREQ(result->error().what(), c.description);
        }
    }
}

class GoogleAuthExchangeTest : public ::testing::Test {
  protected:
    GoogleAuthService service() {
        return GoogleAuthService(server.baseURL(), "vask", StructuredLogger("google-auth"), session,
                                 http);
    }

    // Neither the code nor any token may reach a log line.
    void expectNoSecretsLogged() {
        for (const char* secret : {"the-code-777", "cust-tok-1", "acc-tok-1", "ref-tok-1"}) {
            EXPECT_FALSE(log->mentions(secret)) << secret;
        }
    }

    test::LogCapture log;
    test::StubHttpServer server;
    HttpClient http;
    ScriptedSession session;
};

TEST_F(GoogleAuthExchangeTest, SuccessPostsTheCodeAndReturnsTheTokens) {
    server.script("POST", exchangePath, {Reply::json(200, successBody())});
    const auto result = service().exchangeCode("the-code-777");

    const GoogleAuthResult expected{"cust-tok-1", "acc-tok-1",
                                    "ref-tok-1",  *parseISO8601("2026-03-01T08:00:00Z"),
                                    "user-42",    "ada@example.com"};
    EXPECT_EQ(result, expected);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(nlohmann::json::parse(requests[0].body), (nlohmann::json{{"code", "the-code-777"}}));
    EXPECT_TRUE(log->contains("google_auth_exchanging_code"));
    const auto success = log->events("google_auth_success");
    ASSERT_EQ(success.size(), 1u);
    EXPECT_EQ(success[0].metadata, (StructuredLogger::Metadata{{"user_id", "user-42"}}));
    expectNoSecretsLogged();
}

TEST_F(GoogleAuthExchangeTest, FailedReplies) {
    struct Case {
        const char* name;
        Reply reply;
        Kind kind;
        std::string description;
        const char* event;
    };
    auto without = [](const char* key) {
        auto body = nlohmann::json::parse(successBody());
        body.erase(key);
        return body.dump();
    };
    auto userWithout = [](const char* key) {
        auto body = nlohmann::json::parse(successBody());
        body["user"].erase(key);
        return body.dump();
    };
    const std::vector<Case> cases = {
        {"server error", Reply::text(500, "database down"), Kind::backendFailed,
         "Server error (500): database down", "google_auth_backend_error"},
        {"not UTF-8", Reply::text(400, "bad \xff\xfe"), Kind::backendFailed,
         "Server error (400): Unknown error", "google_auth_backend_error"},
        {"created is not OK, and its tokens are not repeated", Reply::json(201, successBody()),
         Kind::backendFailed,
         "Server error (201): " +
             [] {
                 auto body = nlohmann::json::parse(successBody());
                 for (const char* key : {"customer_token", "access_token", "refresh_token"}) {
                     body[key] = "[redacted]";
                 }
                 return body.dump();
             }(),
         "google_auth_backend_error"},
        {"refusal quoting the code", Reply::text(400, "code the-code-777 expired"),
         Kind::backendFailed, "Server error (400): code [code] expired",
         "google_auth_backend_error"},
        {"no user", Reply::json(200, without("user")), Kind::decodingError,
         "Invalid server response: missing key \"user\"", "google_auth_decode_error"},
        {"no e-mail", Reply::json(200, userWithout("email")), Kind::decodingError,
         "Invalid server response: missing key \"user.email\"", "google_auth_decode_error"},
        {"no customer token", Reply::json(200, without("customer_token")), Kind::decodingError,
         "Invalid server response: missing key \"customer_token\"", "google_auth_decode_error"},
        {"fractional expiry", Reply::json(200, successBody("2026-03-01T08:00:00.5Z")),
         Kind::decodingError,
         "Invalid server response: \"refresh_expires_at\" is not an internet date-time",
         "google_auth_decode_error"},
        {"not JSON", Reply::json(200, "{\"customer_token\": \"cust-tok-1\""), Kind::decodingError,
         "Invalid server response: the reply is not valid JSON", "google_auth_decode_error"},
        {"array", Reply::json(200, "[]"), Kind::decodingError,
         "Invalid server response: the reply is not a JSON object", "google_auth_decode_error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log->clear();
        server.script("POST", exchangePath, {c.reply});
        try {
            service().exchangeCode("the-code-777");
            ADD_FAILURE() << "no error";
        } catch (const GoogleAuthError& e) {
            EXPECT_EQ(e.kind(), c.kind);
            EXPECT_EQ(e.what(), c.description);
            if (c.kind == Kind::backendFailed) {
                EXPECT_EQ(e.statusCode(), c.reply.status);
            }
        }
        const auto events = log->events(c.event);
        ASSERT_EQ(events.size(), 1u);
        if (c.kind == Kind::backendFailed) {
            EXPECT_EQ(events[0].metadata.at("status_code"), std::to_string(c.reply.status));
            EXPECT_TRUE(c.description.ends_with(": " + events[0].metadata.at("message")));
        }
        EXPECT_FALSE(log->contains("google_auth_success"));
        expectNoSecretsLogged();
    }
}

TEST_F(GoogleAuthExchangeTest, BadCodesAndTransportFailuresAreThrown) {
    EXPECT_THROW(service().exchangeCode("bad\xff"), Error);
    EXPECT_EQ(server.requestCount(), 0u);  // refused before sending
    server.stop();
    EXPECT_THROW(service().exchangeCode("the-code-777"), HttpClient::Error);
    expectNoSecretsLogged();
}

}  // namespace
}  // namespace vask
