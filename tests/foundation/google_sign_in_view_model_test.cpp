#include <gtest/gtest.h>

#include <future>

#include <nlohmann/json.hpp>

#include "foundation/browser_authentication_session.h"
#include "foundation/google_sign_in_view_model.h"
#include "platform/iso8601.h"
#include "platform/manual_executor.h"
#include "platform/worker_pool.h"
#include "redirecting_auth_session.h"
#include "support/credential_stack.h"
#include "support/eventually.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/stub_http_server.h"

namespace vask {

void PrintTo(const GoogleSignInState& state, std::ostream* os) {
    static const char* const names[] = {"idle", "signingIn", "success", "error"};
    *os << names[static_cast<int>(state.kind())];
    if (state.kind() == GoogleSignInState::Kind::error) {
        *os << "(\"" << state.errorText() << "\")";
    }
}

namespace {

using Reply = test::StubHttpServer::Reply;
using StateKind = GoogleSignInState::Kind;
using Op = InMemorySecretBackend::Operation;
using namespace std::chrono_literals;
using test::eventually;

constexpr const char* service = test::CredentialStack::service;
constexpr const char* exchangePath = "/api/v1/auth/google/exchange";
constexpr SecretBackend::Status locked = SecretBackend::interactionNotAllowed;

std::string exchangeReply() {
    return nlohmann::json{{"customer_token", "new-cust-tok"},
                          {"access_token", "new-acc-tok"},
                          {"refresh_token", "new-ref-tok"},
                          {"refresh_expires_at", "2026-03-01T08:00:00Z"},
                          {"user", {{"id", "user-9"}, {"email", "grace@example.com"}}}}
        .dump();
}

Reply redirect(const std::string& location) {
    Reply reply = Reply::text(302, "");
    reply.headers = {{"Location", location}};
    return reply;
}

class GoogleSignInViewModelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The backend's start page hands over to its own Google return page, which ends the
        // flow on the callback scheme.
        server.script("GET", "/auth/google/start",
                      {redirect(server.baseURL().absoluteString() + "/auth/google/return")});
        server.script("GET", "/auth/google/return",
                      {redirect("vask://auth/callback?code=the-code-777")});
    }

    std::shared_ptr<GoogleSignInViewModel> makeModel(
        std::shared_ptr<const GoogleAuthService> authService, Executor* workerExecutor = nullptr) {
        return GoogleSignInViewModel::make({
            .authService = std::move(authService),
            .customerTokenStore = stack.tokens,
            .cloudAuthStore = stack.cloud,
            .apiKeyStore = stack.keys,
            .keychain = keychainForSignOut,
            .authModeProvider = [this] { return authMode.get(); },
            .resetAuthMode =
                [this] {
                    ++resetCount;
                    authMode.reset();
                },
            .memory = {.currentPrincipal = [this] { return principal; },
                       .suspend =
                           [this](const std::string& p) {
                               memoryCalls.push_back("suspend " + p + tokenState());
                           },
                       .finishSignOut =
                           [this](const std::optional<std::string>& p) {
                               memoryCalls.push_back("finish " + p.value_or("none") + tokenState());
                           }},
            .refreshPresetCatalog = [this] { ++catalogRefreshes; },
            .clearPresetAccountState = [this] { ++presetClears; },
            .defaults = defaults,
            .logger = StructuredLogger("google-signin-vm"),
            .signInRecord = signInRecord,
            .main = main,
            .worker = workerExecutor ? *workerExecutor : worker,
        });
    }

    std::shared_ptr<GoogleSignInViewModel> makeModel() { return makeModel(auth); }

    // Whether the customer token was still stored when memory was called.
    std::string tokenState() const {
        return backend->get(service, "corvane.customer.token") ? " (token stored)"
                                                               : " (token gone)";
    }

    void signInAndWait(GoogleSignInViewModel& model) {
        model.signIn();
        ASSERT_EQ(model.state.get().kind(), StateKind::signingIn);
        ASSERT_TRUE(
            main.runUntil([&] { return model.state.get().kind() != StateKind::signingIn; }));
    }

    // Signs out and waits for the outcome, which comes back from the worker.
    void signOutAndWait(GoogleSignInViewModel& model) {
        bool done = false;
        model.signOut([&] { done = true; });
        ASSERT_TRUE(main.runUntil([&] { return done; }));
    }

    void storeSignedInAccount() {
        backend->put(service, "corvane.customer.token", "old-cust-tok");
        backend->put(service, "corvane.customer.email", "stored@example.com");
        backend->put(service, "cloud.auth.session",
                     CloudAuthSession{"old-acc", "old-ref", *parseISO8601("2026-02-01T00:00:00Z"),
                                      "user-1", "stored@example.com"}
                         .encoded());
        backend->put(service, "corvane.api.key", "dev-key");
        defaults.set(managedTierSnapshotKey, "pro");
    }

    void expectNoSecretsLogged() {
        for (const char* secret : {"the-code-777", "new-cust-tok", "new-acc-tok", "new-ref-tok"}) {
            EXPECT_FALSE(log->mentions(secret)) << secret;
        }
    }

    test::LogCapture log;
    ManualExecutor main;
    test::StubHttpServer server;
    HttpClient http;
    test::RedirectingAuthSession session{main};
    std::shared_ptr<const GoogleAuthService> auth = std::make_shared<GoogleAuthService>(
        server.baseURL(), "vask", StructuredLogger("google-auth"), session, http);
    test::CredentialStack stack;
    const std::shared_ptr<InMemorySecretBackend>& backend = stack.backend;
    AuthModeCache& authMode = stack.authMode;
    InMemoryDefaults defaults;
    std::optional<std::string> principal = "principal-1";
    SecureStorage* keychainForSignOut = nullptr;
    SignInRecord* signInRecord = nullptr;
    std::vector<std::string> memoryCalls;
    int resetCount = 0;
    int catalogRefreshes = 0;
    int presetClears = 0;
    // Declared last: destroying it runs what is queued while everything above still lives.
    WorkerPool worker{1};
};

// A customer token with no cloud session is a sign-in cut short between its writes (a kill):
// the start, signed out, leaves none of it stored.
TEST_F(GoogleSignInViewModelTest, CreationLoadsTheEmailOnlyForAManagedAccount) {
    struct Case {
        const char* name;
        bool token;
        bool session;
        std::optional<std::string> email;
        // Whether the token is still stored after creation.
        bool tokenKept;
    };
    const std::vector<Case> cases = {
        {"managed", true, true, "stored@example.com", true},
        {"token without cloud session", true, false, std::nullopt, false},
        {"nothing stored", false, false, std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::CredentialStack fresh;
        if (c.token) {
            fresh.put("corvane.customer.token", "tok");
            fresh.put("corvane.customer.email", "stored@example.com");
        }
        if (c.session) {
            fresh.put("cloud.auth.session",
                      CloudAuthSession{"a", "r", *parseISO8601("2026-02-01T00:00:00Z"), "u",
                                       "stored@example.com"}
                          .encoded());
        }
        ManualExecutor storage;
        const auto model = GoogleSignInViewModel::make({
            .authService = auth,
            .customerTokenStore = fresh.tokens,
            .cloudAuthStore = fresh.cloud,
            .apiKeyStore = fresh.keys,
            .authModeProvider = [&] { return fresh.authMode.get(); },
            .defaults = defaults,
            .main = main,
            .worker = storage,
        });
        // Storage is read on the worker, never while the main executor builds the model.
        EXPECT_EQ(fresh.backend->operationCount(), 0u);
        EXPECT_EQ(model->userEmail.get(), std::nullopt);
        storage.runUntilIdle();
        main.runUntilIdle();
        EXPECT_EQ(model->userEmail.get(), c.email);
        EXPECT_EQ(model->state.get(), GoogleSignInState::idle());
        EXPECT_EQ(fresh.item("corvane.customer.token").has_value(), c.tokenKept);
        EXPECT_EQ(fresh.item("corvane.customer.email").has_value(), c.tokenKept);
    }
}

TEST_F(GoogleSignInViewModelTest, SignInStoresTheAccountAndSwitchesToManaged) {
    server.script("POST", exchangePath, {Reply::json(200, exchangeReply())});
    const auto model = makeModel();
    EXPECT_TRUE(authMode.get().isNone());
    std::vector<GoogleSignInState> states;
    auto subscription =
        model->state.subscribe([&](const GoogleSignInState& s) { states.push_back(s); });

    signInAndWait(*model);

    EXPECT_EQ(model->state.get(), GoogleSignInState::success());
    EXPECT_EQ(model->userEmail.get(), "grace@example.com");
    EXPECT_EQ(backend->get(service, "corvane.customer.token"), "new-cust-tok");
    EXPECT_EQ(backend->get(service, "corvane.customer.email"), "grace@example.com");
    const auto stored = CloudAuthSession::decode(*backend->get(service, "cloud.auth.session"));
    EXPECT_EQ(stored,
              (CloudAuthSession{"new-acc-tok", "new-ref-tok", *parseISO8601("2026-03-01T08:00:00Z"),
                                "user-9", "grace@example.com"}));
    // The cached "none" from before sign-in is gone: the next read is the new account.
    EXPECT_EQ(resetCount, 1);
    EXPECT_EQ(authMode.get(), AuthMode::managed("new-cust-tok", "new-acc-tok"));
    EXPECT_EQ(catalogRefreshes, 1);
    EXPECT_TRUE(memoryCalls.empty());

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].query, "native=1");
    EXPECT_EQ(nlohmann::json::parse(requests[2].body), (nlohmann::json{{"code", "the-code-777"}}));
    EXPECT_EQ(states, (std::vector<GoogleSignInState>{GoogleSignInState::idle(),
                                                      GoogleSignInState::signingIn(),
                                                      GoogleSignInState::success()}));
    const auto completed = log->events("google_signin_completed");
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].metadata.at("email"), "grace@example.com");
    expectNoSecretsLogged();
}

TEST_F(GoogleSignInViewModelTest, FailedSignInsStoreNothing) {
    struct Case {
        const char* name;
        const char* callback;
        Reply exchange;
        const char* shown;
        bool exchanged;
    };
    const std::vector<Case> cases = {
        {"server error", "vask://auth/callback?code=the-code-777",
         Reply::text(500, "exchange exploded"), "Server error (500): exchange exploded", true},
        {"bare ?code is no code", "vask://auth/callback?code", Reply::json(200, exchangeReply()),
         "Google sign-in failed: No authorization code received", false},
        {"backend refusal", "vask://auth/callback?error=access_denied",
         Reply::json(200, exchangeReply()), "Google sign-in failed: access_denied", false},
        {"empty code is exchanged and refused", "vask://auth/callback?code=",
         Reply::text(400, "empty code"), "Server error (400): empty code", true},
        {"reply without user", "vask://auth/callback?code=the-code-777",
         Reply::json(200, R"({"customer_token":"new-cust-tok"})"),
         "Invalid server response: missing key \"access_token\"", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log->clear();
        const auto before = server.requestCount();
        server.script("GET", "/auth/google/return", {redirect(c.callback)});
        server.script("POST", exchangePath, {c.exchange});
        const auto model = makeModel();

        signInAndWait(*model);

        EXPECT_EQ(model->state.get(), GoogleSignInState::error(c.shown));
        EXPECT_EQ(model->userEmail.get(), std::nullopt);
        EXPECT_EQ(backend->itemCount(), 0u);
        EXPECT_EQ(resetCount, 0);
        EXPECT_EQ(catalogRefreshes, 0);
        EXPECT_EQ(server.requestCount() - before, c.exchanged ? 3u : 2u);
        const auto failed = log->events("google_signin_failed");
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0].metadata.at("error"), c.shown);
        expectNoSecretsLogged();
    }
}

TEST_F(GoogleSignInViewModelTest, CancelledFlowReturnsToIdleSilently) {
    server.script("GET", "/auth/google/return",
                  {Reply::text(200, "<html>Choose an account</html>")});
    const auto model = makeModel();
    model->signIn();
    ASSERT_TRUE(eventually([&] { return session.isOnPage(); }));
    EXPECT_EQ(model->state.get(), GoogleSignInState::signingIn());

    session.cancel();
    ASSERT_TRUE(main.runUntil([&] { return model->state.get().kind() != StateKind::signingIn; }));
    EXPECT_EQ(model->state.get(), GoogleSignInState::idle());
    EXPECT_TRUE(log->contains("google_signin_cancelled"));
    EXPECT_FALSE(log->contains("google_signin_failed"));
    EXPECT_EQ(backend->itemCount(), 0u);
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST_F(GoogleSignInViewModelTest, WithoutAuthServiceSignInIsNotConfigured) {
    const auto model = makeModel(nullptr);
    model->signIn();
    EXPECT_EQ(model->state.get(), GoogleSignInState::error("Google Sign-In is not configured."));
    EXPECT_EQ(main.pendingCount(), 0u);
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(GoogleSignInViewModelTest, FailedSessionWriteKeepsTheCustomerToken) {
    server.script("POST", exchangePath, {Reply::json(200, exchangeReply())});
    backend->fail(Op::add, "cloud.auth.session", locked);
    const auto model = makeModel();

    signInAndWait(*model);

    EXPECT_EQ(model->state.get().kind(), StateKind::error);
    EXPECT_EQ(model->userEmail.get(), std::nullopt);
    EXPECT_EQ(backend->get(service, "corvane.customer.token"), "new-cust-tok");
    EXPECT_FALSE(backend->get(service, "cloud.auth.session"));
    EXPECT_EQ(resetCount, 0);
    expectNoSecretsLogged();
}

TEST_F(GoogleSignInViewModelTest, SupersededAttemptDoesNotResetTheNewOne) {
    test::FakeClock clock;
    BrowserAuthenticationSession browser(main, clock, {"/bin/true"});
    const auto model = makeModel(std::make_shared<GoogleAuthService>(
        server.baseURL(), "vask", StructuredLogger("google-auth"), browser, http));
    server.script("POST", exchangePath, {Reply::json(200, exchangeReply())});

    model->signIn();
    model->signIn();  // the user clicks again while the first page is still open
    main.runUntilIdle();
    EXPECT_EQ(model->state.get(), GoogleSignInState::signingIn());
    EXPECT_TRUE(log->contains("google_signin_cancelled"));

    ASSERT_TRUE(browser.deliverCallback(*Url::parse("vask://auth/callback?code=the-code-777")));
    ASSERT_TRUE(main.runUntil([&] { return model->state.get().kind() != StateKind::signingIn; }));
    EXPECT_EQ(model->state.get(), GoogleSignInState::success());
    EXPECT_EQ(server.requestCount(), 1u);
}

// With no browser to open the page, the user is told so in plain words and given the page's
// link; opened by hand, it still signs in. How the opener failed goes to the log only.
TEST_F(GoogleSignInViewModelTest, WithoutABrowserTheLinkOpenedByHandStillSignsIn) {
    test::FakeClock clock;
    for (const std::vector<std::string>& opener :
         {std::vector<std::string>{"/bin/false"},
          std::vector<std::string>{"/nonexistent/xdg-open"}}) {
        SCOPED_TRACE(opener.front());
        log->clear();
        BrowserAuthenticationSession browser(main, clock, opener);
        auto browserless = std::make_shared<GoogleAuthService>(
            server.baseURL(), "vask", StructuredLogger("google-auth"), browser, http);
        const auto model = makeModel(browserless);
        server.script("POST", exchangePath, {Reply::json(200, exchangeReply())});

        model->signIn();
        ASSERT_TRUE(
            main.runUntil([&] { return model->state.get().kind() != StateKind::signingIn; }));
        const auto link = browserless->startPageURL()->absoluteString();
        EXPECT_EQ(model->state.get(),
                  GoogleSignInState::browserUnavailable("No web browser could be opened.", link));
        EXPECT_EQ(model->signInLink(), link);
        EXPECT_EQ(model->state.get().errorText().find("status"), std::string::npos);
        ASSERT_TRUE(eventually([&] { return !log->events("web_auth_launch_failed").empty(); }))
            << "the reason is logged";

        ASSERT_TRUE(browser.deliverCallback(*Url::parse("vask://auth/callback?code=the-code-777")));
        ASSERT_TRUE(main.runUntil([&] { return model->state.get().kind() != StateKind::error; }));
        EXPECT_EQ(model->state.get(), GoogleSignInState::success());
        EXPECT_EQ(model->userEmail.get(), "grace@example.com");
        signOutAndWait(*model);
    }
}

// The user signs out while the code is being exchanged: whichever comes last, the screens never
// show an account whose credentials are not stored, nor keep credentials of an account they do
// not show, when the sign-out reports and after everything queued has run.
TEST_F(GoogleSignInViewModelTest, SignOutDuringTheExchangeLeavesNoHalfAccount) {
    const auto expectOneAccountOrNone = [&](const GoogleSignInViewModel& model) {
        const auto token = backend->get(service, "corvane.customer.token");
        const auto storedSession = backend->get(service, "cloud.auth.session");
        if (model.state.get() == GoogleSignInState::success()) {
            EXPECT_EQ(token, "new-cust-tok");
            EXPECT_TRUE(storedSession.has_value());
            EXPECT_EQ(model.userEmail.get(), "grace@example.com");
            EXPECT_EQ(authMode.get(), AuthMode::managed("new-cust-tok", "new-acc-tok"));
        } else {
            EXPECT_EQ(token, std::nullopt);
            EXPECT_EQ(storedSession, std::nullopt);
            EXPECT_EQ(model.userEmail.get(), std::nullopt);
            EXPECT_TRUE(authMode.get().isNone());
        }
    };
    // The sign-out comes before the account's storing is queued, or after it.
    for (const bool signOutBeforeStoring : {true, false}) {
        SCOPED_TRACE(signOutBeforeStoring ? "before storing" : "while storing");
        server.script("POST", exchangePath, {Reply::json(200, exchangeReply())});
        ManualExecutor work;
        const auto model = makeModel(auth, &work);
        work.runUntilIdle();  // the stored account is read first
        main.runUntilIdle();
        model->signIn();
        // The code arrives from the browser, and its exchange is queued on the worker.
        ASSERT_TRUE(main.runUntil([&] { return work.pendingCount() > 0; }));
        work.runUntilIdle();  // the exchange comes back
        if (!signOutBeforeStoring) {
            main.runUntilIdle();  // the account's storing is queued
        }
        bool done = false;
        model->signOut([&] { done = true; });
        while (!done) {
            ASSERT_GT(work.runUntilIdle() + main.runUntilIdle(), 0u);
        }
        expectOneAccountOrNone(*model);

        // What was still queued runs (a worker drops nothing).
        while (work.runUntilIdle() + main.runUntilIdle() > 0) {
        }
        expectOneAccountOrNone(*model);
    }
}

// A keyring that stopped answering holds a sign-out's removals: the main executor goes on at
// once, and the outcome arrives when the keyring answers.
TEST_F(GoogleSignInViewModelTest, SignOutReturnsAtOnceAndReportsWhenStorageAnswers) {
    storeSignedInAccount();
    const auto model = makeModel();
    ASSERT_TRUE(main.runUntil([&] { return model->userEmail.get().has_value(); }));
    std::promise<void> answer;
    std::shared_future<void> answered = answer.get_future().share();
    backend->holdRemovals(answered);

    bool done = false;
    model->signOut([&] { done = true; });
    main.runUntilIdle();
    EXPECT_FALSE(done);
    EXPECT_EQ(model->userEmail.get(), "stored@example.com");
    EXPECT_EQ(backend->get(service, "corvane.customer.token"), "old-cust-tok");

    answer.set_value();
    ASSERT_TRUE(main.runUntil([&] { return done; }));
    EXPECT_EQ(model->state.get(), GoogleSignInState::idle());
    EXPECT_EQ(model->userEmail.get(), std::nullopt);
    EXPECT_EQ(backend->itemCount(), 0u);
    EXPECT_TRUE(authMode.get().isNone());
}

struct SignOutCase {
    const char* name;
    std::optional<std::string> principal;
    std::optional<std::string> failingItem;
    std::vector<std::string> remaining;
};

const std::vector<std::string> allItems = {"cloud.auth.session", "corvane.api.key",
                                           "corvane.customer.email", "corvane.customer.token"};

void PrintTo(const SignOutCase& c, std::ostream* os) {
    *os << c.name;
}

class SignOutTest : public GoogleSignInViewModelTest,
                    public ::testing::WithParamInterface<SignOutCase> {};

TEST_P(SignOutTest, ClearsInOrderAndStopsAtTheFirstStoreFailure) {
    const auto& c = GetParam();
    principal = c.principal;
    storeSignedInAccount();
    const auto model = makeModel();
    ASSERT_TRUE(main.runUntil([&] { return model->userEmail.get().has_value(); }));
    ASSERT_EQ(model->userEmail.get(), "stored@example.com");
    if (c.failingItem) {
        backend->fail(Op::remove, *c.failingItem, locked);
    }

    signOutAndWait(*model);

    std::vector<std::string> remaining;
    for (const auto& item : allItems) {
        if (backend->get(service, item)) {
            remaining.push_back(item);
        }
    }
    EXPECT_EQ(remaining, c.remaining);
    // Memory is suspended before any credential goes and always released at the end.
    std::vector<std::string> expectedMemory;
    if (c.principal) {
        expectedMemory.push_back("suspend " + *c.principal + " (token stored)");
    }
    expectedMemory.push_back(
        "finish " + c.principal.value_or("none") +
        (c.failingItem == "corvane.customer.token" ? " (token stored)" : " (token gone)"));
    EXPECT_EQ(memoryCalls, expectedMemory);

    const bool succeeded = !c.failingItem;
    EXPECT_EQ(defaults.value(managedTierSnapshotKey).has_value(), !succeeded);
    EXPECT_EQ(presetClears, succeeded ? 1 : 0);
    EXPECT_EQ(resetCount, succeeded ? 1 : 0);
    EXPECT_EQ(log->contains("signout_completed"), succeeded);
    if (succeeded) {
        EXPECT_EQ(model->state.get(), GoogleSignInState::idle());
        EXPECT_EQ(model->userEmail.get(), std::nullopt);
        EXPECT_TRUE(authMode.get().isNone());
    } else {
        const auto failed = log->events("signout_failed");
        ASSERT_EQ(failed.size(), 1u);
        const auto description = failed[0].metadata.at("error");
        EXPECT_FALSE(description.empty());
        EXPECT_EQ(model->state.get(),
                  GoogleSignInState::error("Failed to sign out: " + description));
        EXPECT_EQ(model->userEmail.get(), "stored@example.com");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SignOutTest,
    ::testing::Values(
        SignOutCase{"EverythingCleared", "principal-1", std::nullopt, {}},
        SignOutCase{"NoMemoryPrincipal", std::nullopt, std::nullopt, {}},
        SignOutCase{"CustomerTokenRefused", "principal-1", "corvane.customer.token", allItems},
        SignOutCase{"CloudSessionRefused",
                    "principal-1",
                    "cloud.auth.session",
                    {"cloud.auth.session", "corvane.api.key"}},
        SignOutCase{"APIKeyRefused", std::nullopt, "corvane.api.key", {"corvane.api.key"}}),
    [](const ::testing::TestParamInfo<SignOutCase>& param) { return param.param.name; });

TEST_F(GoogleSignInViewModelTest, RetriedSignOutFinishesWhatTheFailedOneLeft) {
    storeSignedInAccount();
    const auto model = makeModel();
    backend->fail(Op::remove, "cloud.auth.session", locked);
    signOutAndWait(*model);
    ASSERT_EQ(model->state.get().kind(), StateKind::error);

    backend->clearFailures();
    signOutAndWait(*model);
    EXPECT_EQ(model->state.get(), GoogleSignInState::idle());
    EXPECT_EQ(backend->itemCount(), 0u);
    EXPECT_FALSE(defaults.value(managedTierSnapshotKey));
}

// How a sign-out reaches storage.
class CountingStorage final : public SecureStorage {
  public:
    explicit CountingStorage(SecureStorage& inner) : inner_(inner) {}
    std::optional<std::string> read(std::string_view key) override { return inner_.read(key); }
    void write(std::string_view data, std::string_view key) override { inner_.write(data, key); }
    void remove(std::string_view key) override {
        ++removals;
        inner_.remove(key);
    }
    void removeAll(const std::vector<std::string>& keys) override {
        ++removeAlls;
        if (beforeRemoveAll) {
            beforeRemoveAll();
        }
        inner_.removeAll(keys);
    }
    int removals = 0;
    int removeAlls = 0;
    std::function<void()> beforeRemoveAll;

  private:
    SecureStorage& inner_;
};

// A sign-out removes every item of the account in one removal (noted whole, and held up by a
// keyring that stopped answering for one call only); what the stores cached goes with it, and
// a removal that failed leaves them reading storage afresh.
TEST_F(GoogleSignInViewModelTest, ASignOutRemovesEveryItemAtOnce) {
    for (const bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "a removal fails" : "all removed");
        storeSignedInAccount();
        stack.tokens.forget();
        authMode.reset();
        CountingStorage counting(stack.keychain);
        keychainForSignOut = &counting;
        const auto model = makeModel();
        ASSERT_TRUE(main.runUntil([&] { return model->userEmail.get().has_value(); }));
        backend->clearFailures();
        if (fails) {
            backend->fail(Op::remove, "cloud.auth.session", locked);
        }
        signOutAndWait(*model);
        EXPECT_EQ(counting.removeAlls, 1);
        EXPECT_EQ(counting.removals, 0);
        EXPECT_EQ(backend->itemCount(), fails ? 1u : 0u);
        EXPECT_EQ(model->state.get().kind(), fails ? StateKind::error : StateKind::idle);
        authMode.reset();
        EXPECT_TRUE(authMode.get().isNone());
        backend->clearFailures();
    }
}

// Vask's own record of the sign-in: noted once a sign-in is stored, forgotten only once a
// sign-out's removal is noted, so that a keyring locked from then on gives nothing back.
TEST_F(GoogleSignInViewModelTest, TheSignInRecordFollowsSignInAndSignOut) {
    SignInRecord record(defaults, "account.signedIn");
    signInRecord = &record;
    server.script("POST", exchangePath, {Reply::json(200, exchangeReply())});
    CountingStorage counting(stack.keychain);
    keychainForSignOut = &counting;
    const auto model = makeModel();
    EXPECT_FALSE(record.signedIn());
    signInAndWait(*model);
    EXPECT_TRUE(record.signedIn());

    std::optional<bool> atRemoval;
    counting.beforeRemoveAll = [&] { atRemoval = record.signedIn(); };
    signOutAndWait(*model);
    EXPECT_EQ(atRemoval, true);
    EXPECT_FALSE(record.signedIn());
}

}  // namespace
}  // namespace vask
