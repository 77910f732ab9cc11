#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "foundation/access_token_refresher.h"
#include "foundation/token_refresh_coordinator.h"
#include "platform/iso8601.h"
#include "support/credential_stack.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/stub_http_server.h"

namespace vask {
namespace {

using Reply = test::StubHttpServer::Reply;
using Op = InMemorySecretBackend::Operation;
constexpr const char* path = "/api/v1/auth/refresh";

const CloudAuthSession storedSession{"old-access", "old-refresh",
                                     *parseISO8601("2026-01-31T12:00:00Z"), "user-7",
                                     "ada@example.com"};

std::string refreshReply(const nlohmann::json& customerToken = nullptr) {
    nlohmann::json reply = {{"access_token", "new-access"},
                            {"refresh_token", "new-refresh"},
                            {"refresh_expires_at", "2026-03-01T08:00:00Z"},
                            {"ignored", 1}};
    if (!customerToken.is_null() || customerToken.is_string()) {
        reply["customer_token"] = customerToken;
    }
    return reply.dump();
}

class TokenRefreshTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clock.setWallTime(*parseISO8601("2026-01-15T00:00:00Z"));
        storeAccount(stack);
    }

    static void storeAccount(const test::CredentialStack& s) {
        s.put("cloud.auth.session", storedSession.encoded());
        s.put("corvane.customer.token", "old-customer");
        s.put("corvane.customer.email", "stored@example.com");
    }

    std::optional<std::string> storedItem(const char* account) { return stack.item(account); }

    AccessTokenRefresher makeRefresher(test::CredentialStack& s, const test::StubHttpServer& relay,
                                       AccessTokenRefresher::TokenRefreshed onRefreshed) {
        return AccessTokenRefresher(s.cloud, s.tokens, relay.baseURL(), std::move(onRefreshed),
                                    http, StructuredLogger("token-refresher"), clock);
    }

    test::LogCapture log;
    test::FakeClock clock;
    HttpClient http;
    test::StubHttpServer server;
    test::CredentialStack stack;
    std::atomic<int> refreshedCount = 0;
    AccessTokenRefresher refresher = makeRefresher(stack, server, [this] {
        ++refreshedCount;
        stack.authMode.reset();
    });
    TokenRefreshCoordinator coordinator{TokenRefreshCoordinator::refreshing(refresher),
                                        [this] { return stack.authMode.get(); }};
};

TEST_F(TokenRefreshTest, SuccessStoresTheSessionAndCustomerToken) {
    server.script("POST", path, {Reply::json(200, refreshReply("  new-customer\n"))});
    EXPECT_EQ(refresher.refreshAccessToken(), "new-access");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(nlohmann::json::parse(requests[0].body),
              (nlohmann::json{{"refresh_token", "old-refresh"}}));

    const CloudAuthSession expected{"new-access", "new-refresh",
                                    *parseISO8601("2026-03-01T08:00:00Z"), "user-7",
                                    "ada@example.com"};
    EXPECT_EQ(CloudAuthSession::decode(*storedItem("cloud.auth.session")), expected);
    EXPECT_EQ(storedItem("corvane.customer.token"), "new-customer");
    // The e-mail comes from the stored session, never from the reply.
    EXPECT_EQ(storedItem("corvane.customer.email"), "ada@example.com");
    EXPECT_EQ(refreshedCount, 1);
    EXPECT_TRUE(log->contains("attempting_token_refresh"));
    EXPECT_TRUE(log->contains("token_refresh_success"));
}

TEST_F(TokenRefreshTest, CustomerTokenAbsentOrEmptyKeepsTheOldOne) {
    const nlohmann::json variants[] = {nullptr, "", " \n"};
    for (const auto& token : variants) {
        SCOPED_TRACE(token.dump());
        test::CredentialStack fresh;
        storeAccount(fresh);
        auto r = makeRefresher(fresh, server, [this] { ++refreshedCount; });
        server.script("POST", path, {Reply::json(200, refreshReply(token))});
        refreshedCount = 0;
        EXPECT_EQ(r.refreshAccessToken(), "new-access");
        EXPECT_EQ(fresh.item("corvane.customer.token"), "old-customer");
        EXPECT_EQ(refreshedCount, 1);
    }
}

TEST_F(TokenRefreshTest, FailuresChangeNothingStored) {
    using Kind = TokenRefreshError::Kind;
    struct Case {
        const char* name;
        std::optional<std::string> session;  // stored record; nothing: no record
        std::optional<Reply> reply;          // nothing: no request may be made
        Kind kind;
        const char* event;
        const char* description;  // what() of the error
    };
    const auto expiring = [](const char* when) {
        auto s = storedSession;
        s.refreshExpiresAt = *parseISO8601(when);
        return s.encoded();
    };
    const Case cases[] = {
        {"no session", std::nullopt, std::nullopt, Kind::noSession, "refresh_failed",
         "No active session - please sign in"},
        {"corrupt session", std::string("{"), std::nullopt, Kind::sessionLoadFailed,
         "refresh_failed", nullptr},
        {"refresh token expired a second ago", expiring("2026-01-14T23:59:59Z"), std::nullopt,
         Kind::refreshTokenExpired, "refresh_token_expired",
         "Session expired - please sign in again"},
        {"refused", storedSession.encoded(), Reply::text(401, "token revoked"), Kind::refreshFailed,
         "refresh_api_failed", "Token refresh failed: Token refresh failed: token revoked"},
        {"server error", storedSession.encoded(), Reply::text(500, ""), Kind::refreshFailed,
         "refresh_api_failed", "Token refresh failed: Token refresh failed: "},
        {"body not UTF-8", storedSession.encoded(), Reply::text(502, "\xff\xfe"),
         Kind::refreshFailed, "refresh_api_failed",
         "Token refresh failed: Token refresh failed: Unknown error"},
        {"fraction of seconds", storedSession.encoded(),
         Reply::json(200, R"({"access_token":"a","refresh_token":"r",)"
                          R"("refresh_expires_at":"2026-03-01T08:00:00.250Z"})"),
         Kind::refreshFailed, "refresh_api_failed", nullptr},
        {"missing key", storedSession.encoded(),
         Reply::json(200, R"({"access_token":"a","refresh_expires_at":"2026-03-01T08:00:00Z"})"),
         Kind::refreshFailed, "refresh_api_failed", nullptr},
        {"connection dropped", storedSession.encoded(), Reply::dropped(), Kind::refreshFailed,
         "refresh_api_failed", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::CredentialStack s;
        if (c.session)
            s.put("cloud.auth.session", *c.session);
        s.put("corvane.customer.token", "old-customer");
        test::StubHttpServer caseServer;
        if (c.reply)
            caseServer.script("POST", path, {*c.reply});
        int refreshed = 0;
        auto r = makeRefresher(s, caseServer, [&] { ++refreshed; });
        log->clear();
        try {
            r.refreshAccessToken();
            FAIL() << "refreshed";
        } catch (const TokenRefreshError& e) {
            EXPECT_EQ(e.kind(), c.kind);
            if (c.description) {
                EXPECT_STREQ(e.what(), c.description);
            }
        }
        EXPECT_EQ(caseServer.requestCount(), c.reply ? 1u : 0u);
        EXPECT_EQ(log->events(c.event).size(), 1u);
        EXPECT_EQ(s.item("cloud.auth.session"), c.session);
        EXPECT_EQ(s.item("corvane.customer.token"), "old-customer");
        EXPECT_EQ(refreshed, 0);
    }
}

TEST_F(TokenRefreshTest, RefusalsNeverCarryTokensIntoTheLog) {
    struct Case {
        const char* name;
        Reply reply;
        const char* description;  // nullptr: only checked for secrets and length
    };
    const Case cases[] = {
        {"refresh token quoted", Reply::text(400, "refresh token old-refresh is not valid"),
         "Token refresh failed: Token refresh failed: refresh token [redacted] is not valid"},
        {"tokens with a status other than 200", Reply::json(201, refreshReply("new-customer")),
         nullptr},
        {"five megabytes", Reply::text(400, std::string(5 << 20, 'x')), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log->clear();
        server.script("POST", path, {c.reply});
        try {
            refresher.refreshAccessToken();
            ADD_FAILURE() << "refreshed";
        } catch (const TokenRefreshError& e) {
            if (c.description) {
                EXPECT_STREQ(e.what(), c.description);
            }
            EXPECT_LT(std::string_view(e.what()).size(), 4000u);
        }
        for (const char* secret : {"old-refresh", "new-access", "new-refresh", "new-customer"}) {
            EXPECT_FALSE(log->mentions(secret)) << secret;
        }
        const auto failed = log->events("refresh_api_failed");
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_LT(failed[0].metadata.at("error").size(), 4000u);
    }
    EXPECT_EQ(storedItem("cloud.auth.session"), storedSession.encoded());
}

TEST_F(TokenRefreshTest, RefreshRedirectedToAnotherHostSendsItNothing) {
    test::StubHttpServer elsewhere;
    elsewhere.script("POST", path, {Reply::json(200, refreshReply("stolen-customer"))});
    for (const int status : {307, 308}) {
        SCOPED_TRACE(status);
        auto moved = Reply::text(status, "");
        moved.headers = {{"Location", elsewhere.baseURL().absoluteString() + path}};
        server.script("POST", path, {moved});
        EXPECT_THROW(refresher.refreshAccessToken(), TokenRefreshError);
        EXPECT_EQ(elsewhere.requestCount(), 0u);
        EXPECT_EQ(storedItem("cloud.auth.session"), storedSession.encoded());
        EXPECT_EQ(storedItem("corvane.customer.token"), "old-customer");
    }
}

TEST_F(TokenRefreshTest, RefusedRefreshNestsTheStatusError) {
    server.script("POST", path, {Reply::text(401, "nope")});
    try {
        refresher.refreshAccessToken();
        FAIL();
    } catch (const TokenRefreshError& outer) {
        ASSERT_EQ(outer.kind(), TokenRefreshError::Kind::refreshFailed);
        try {
            std::rethrow_exception(outer.underlying());
        } catch (const TokenRefreshError& middle) {
            ASSERT_EQ(middle.kind(), TokenRefreshError::Kind::refreshFailed);
            try {
                std::rethrow_exception(middle.underlying());
            } catch (const TokenRefreshResponseError& inner) {
                EXPECT_EQ(inner.code(), 401);
                EXPECT_STREQ(inner.what(), "nope");
            }
        }
    }
}

TEST_F(TokenRefreshTest, ExpiryExactlyNowIsStillValidAndIsLoggedInISOForm) {
    clock.setWallTime(storedSession.refreshExpiresAt);
    server.script("POST", path, {Reply::json(200, refreshReply())});
    EXPECT_EQ(refresher.refreshAccessToken(), "new-access");

    test::CredentialStack expired;
    storeAccount(expired);
    auto r = makeRefresher(expired, server, [] {});
    clock.setWallTime(storedSession.refreshExpiresAt + std::chrono::milliseconds(1));
    EXPECT_THROW(r.refreshAccessToken(), TokenRefreshError);
    EXPECT_EQ(log->events("refresh_token_expired").at(0).metadata.at("expired_at"),
              "2026-01-31T12:00:00Z");
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(TokenRefreshTest, SaveFailuresOfSessionAndCustomerToken) {
    server.script("POST", path, {Reply::json(200, refreshReply("new-customer"))});
    stack.backend->fail(Op::update, "cloud.auth.session", SecretBackend::internalError);
    try {
        refresher.refreshAccessToken();
        FAIL();
    } catch (const TokenRefreshError& e) {
        EXPECT_EQ(e.kind(), TokenRefreshError::Kind::sessionSaveFailed);
    }
    EXPECT_TRUE(log->contains("session_save_failed"));
    EXPECT_EQ(storedItem("corvane.customer.token"), "old-customer");
    EXPECT_EQ(refreshedCount, 0);

    stack.backend->clearFailures();
    stack.backend->fail(Op::update, "corvane.customer.token", SecretBackend::internalError);
    EXPECT_EQ(refresher.refreshAccessToken(), "new-access");
    EXPECT_TRUE(log->contains("customer_token_save_failed"));
    EXPECT_EQ(refreshedCount, 1);
}

TEST_F(TokenRefreshTest, ConcurrentCallersShareOneRefresh) {
    struct Case {
        const char* name;
        Reply reply;
        bool outcome;
    };
    const Case cases[] = {
        {"success", Reply::json(200, refreshReply()), true},
        {"failure", Reply::text(500, "down"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::StubHttpServer caseServer;
        caseServer.script("POST", path, {c.reply});
        caseServer.pause();
        test::CredentialStack s;
        storeAccount(s);
        std::atomic<int> modeReads = 0;
        auto r = makeRefresher(s, caseServer, [&] { s.authMode.reset(); });
        TokenRefreshCoordinator shared(TokenRefreshCoordinator::refreshing(r), [&] {
            ++modeReads;
            return s.authMode.get();
        });
        std::vector<std::thread> callers;
        std::vector<int> outcomes(10, -1);
        for (int i = 0; i < 10; ++i) {
            callers.emplace_back([&, i] {
                outcomes[static_cast<std::size_t>(i)] =
                    shared.refreshForRetry(std::string("old-customer")) ? 1 : 0;
            });
        }
        ASSERT_TRUE(caseServer.waitForRequests(1));
        // Every caller has passed the token check before the refresh may finish; the reply is
        // held until then.
        while (modeReads < 10) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        caseServer.resume();
        for (auto& t : callers) {
            t.join();
        }
        EXPECT_EQ(caseServer.requestCount(), 1u);
        EXPECT_EQ(outcomes, std::vector<int>(10, c.outcome ? 1 : 0));

        // A later caller with the same failed token starts a new refresh after a failure.
        if (!c.outcome) {
            EXPECT_FALSE(shared.refreshForRetry(std::string("old-customer")));
            EXPECT_EQ(caseServer.requestCount(), 2u);
        }
    }
}

TEST_F(TokenRefreshTest, CallersThatNeedNoRefreshReturnAtOnce) {
    server.script("POST", path, {Reply::json(200, refreshReply())});
    struct Case {
        const char* name;
        std::optional<std::string> failedToken;
        std::function<AuthMode()> mode;
        std::size_t requests;
    };
    const Case cases[] = {
        {"token already replaced", "older-customer",
         [] { return AuthMode::managed("old-customer", "a"); }, 0},
        {"signed out", "old-customer", [] { return AuthMode::none(); }, 0},
        {"API key", "old-customer", [] { return AuthMode::apiKey("old-customer"); }, 0},
        {"no failed token always refreshes", std::nullopt, [] { return AuthMode::none(); }, 1},
        {"same token refreshes", "old-customer",
         [] { return AuthMode::managed("old-customer", "a"); }, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::CredentialStack s;
        storeAccount(s);
        auto r = makeRefresher(s, server, [] {});
        TokenRefreshCoordinator caseCoordinator(TokenRefreshCoordinator::refreshing(r), c.mode);
        const auto before = server.requestCount();
        EXPECT_TRUE(caseCoordinator.refreshForRetry(c.failedToken));
        EXPECT_EQ(server.requestCount() - before, c.requests);
    }
}

TEST_F(TokenRefreshTest, RefreshEmptiesTheCachedModeAndLogsNoSecret) {
    server.script("POST", path, {Reply::json(200, refreshReply("new-customer"))});
    ASSERT_TRUE(stack.authMode.get() == AuthMode::managed("old-customer", "old-access"));
    EXPECT_TRUE(coordinator.refreshForRetry(std::string("old-customer")));
    EXPECT_TRUE(stack.authMode.get() == AuthMode::managed("new-customer", "new-access"));
    // The caller that still holds the old token retries with the new one, without a request.
    EXPECT_TRUE(coordinator.refreshForRetry(std::string("old-customer")));
    EXPECT_EQ(server.requestCount(), 1u);

    for (const char* secret : {"old-access", "old-refresh", "old-customer", "new-access",
                               "new-refresh", "new-customer"}) {
        EXPECT_FALSE(log->mentions(secret)) << secret;
    }
}

}  // namespace
}  // namespace vask
