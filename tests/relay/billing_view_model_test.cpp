#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>

#include "foundation/managed_tier_snapshot.h"
#include "platform/manual_executor.h"
#include "preset_fixtures.h"
#include "relay/billing_view_model.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/stub_http_server.h"

namespace vask {

void PrintTo(const BillingState& state, std::ostream* os) {
    static const char* const names[] = {"loaded", "error", "idle", "loading"};
    *os << names[static_cast<int>(state.kind())];
    if (state.failure()) {
        *os << "(\"" << state.failure()->what() << "\")";
    }
}

namespace {

using Reply = test::StubHttpServer::Reply;
using namespace std::chrono_literals;
constexpr const char* subscriptionPath = "/api/v1/customers/me/subscription";
constexpr const char* usagePath = "/api/v1/customers/me/usage";
constexpr const char* balancePath = "/api/v1/account/balance";

Reply subscription(const std::string& tier) {
    return Reply::json(
        200, R"({"subscription":{"tier_code":")" + tier + R"(","tier_display_name":"Plan"}})");
}
const Reply usage =
    Reply::json(200, R"({"usage":{"requests":3,"tokens":9,"total_cost_microcents":4200}})");
const Reply balance = Reply::json(200, R"({"balance_cents":1234,"balance_formatted":"$12.34",)"
                                       R"("currency":"USD","low_balance_threshold_cents":500})");

class BillingViewModelTest : public ::testing::Test {
  protected:
    AuthMode mode() {
        std::lock_guard lock(modeMutex);
        return currentMode;
    }
    void setMode(AuthMode next) {
        std::lock_guard lock(modeMutex);
        currentMode = std::move(next);
    }

    // Runs the worker and main executors, and waits for the catalog waiter, until `done`.
    bool settle(const std::function<bool()>& done) {
        for (int i = 0; i < 2000; ++i) {
            while (background.runUntilIdle() + main.runUntilIdle() > 0) {
            }
            if (done()) {
                return true;
            }
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    void load(BillingViewModel& vm) {
        bool finished = false;
        vm.loadBillingInfo([&] { finished = true; });
        ASSERT_TRUE(settle([&] { return finished; }));
    }

    static std::vector<std::string> bearerTokens(const test::StubHttpServer& relay) {
        std::vector<std::string> tokens;
        for (const auto& request : relay.requests()) {
            tokens.push_back(request.header("Authorization").value_or("-") + " " + request.path);
        }
        return tokens;
    }

    std::shared_ptr<BillingViewModel> makeModel(CorvaneBillingService& billing) {
        return BillingViewModel::make({
            .service = billing,
            .authModeProvider = [this] { return mode(); },
            .catalogService = catalog,
            .tokenRefresh = tokenRefresh,
            .defaults = defaults,
            .main = main,
            .worker = background,
            .usageChanges = usageChanges,
        });
    }

    test::LogCapture log;
    ManualExecutor main;
    ManualExecutor background;
    test::FakeClock clock;
    test::StubHttpServer server;
    HttpClient http;
    CorvaneBillingService service{http, server.baseURL(), clock};
    InMemoryDefaults defaults;
    PresetSelection presets{defaults};
    UsageChanges usageChanges{0};
    std::mutex modeMutex;
    AuthMode currentMode = AuthMode::managed("cust-1", "acc-1");

    int refreshes = 0;
    bool refreshSucceeds = true;
    AuthMode modeAfterRefresh = AuthMode::managed("cust-2", "acc-2");
    TokenRefreshCoordinator tokenRefresh{[this] {
                                             ++refreshes;
                                             if (refreshSucceeds) {
                                                 setMode(modeAfterRefresh);
                                             }
                                             return refreshSucceeds;
                                         },
                                         [this] { return mode(); }};

    std::vector<std::string> catalogFetches;
    std::shared_ptr<PresetCatalogService> catalog = PresetCatalogService::create({
        .fetchCatalog =
            [this](const std::string& token) {
                catalogFetches.push_back(token);
                return test::sampleCatalog();
            },
        .authModeProvider = [this] { return mode(); },
        .presets = presets,
        .main = main,
        .background = background,
    });
    std::shared_ptr<BillingViewModel> model = makeModel(service);
};

TEST_F(BillingViewModelTest, LoadOutcomes) {
    struct Case {
        const char* name;
        AuthMode mode;
        std::vector<std::pair<const char*, Reply>> replies;
        BillingState::Kind kind;
        std::optional<BillingError> error;
        std::optional<std::string> tierSnapshot;  // "old" is there before the load
        std::size_t catalogFetches;
    };
    const std::vector<Case> cases = {
        {"managed",
         AuthMode::managed("cust-1", "a"),
         {{subscriptionPath, subscription("pro")}, {usagePath, usage}},
         BillingState::Kind::loaded,
         std::nullopt,
         "pro",
         1},
        {"managed without tier",
         AuthMode::managed("cust-1", "a"),
         {{subscriptionPath, subscription("")}, {usagePath, usage}},
         BillingState::Kind::loaded,
         std::nullopt,
         std::nullopt,
         1},
        {"developer",
         AuthMode::apiKey("key-1"),
         {{balancePath, balance}},
         BillingState::Kind::loaded,
         std::nullopt,
         "old",
         0},
        {"no credentials",
         AuthMode::none(),
         {},
         BillingState::Kind::error,
         BillingError::noCredentials(),
         "old",
         0},
        {"refused",
         AuthMode::managed("cust-1", "a"),
         {{subscriptionPath, Reply::json(403, R"({"error":"forbidden"})")}},
         BillingState::Kind::error,
         BillingError::networkError("API error (403): forbidden"),
         "old",
         0},
        {"undecodable usage",
         AuthMode::managed("cust-1", "a"),
         {{subscriptionPath, subscription("pro")},
          {usagePath, Reply::json(200, R"({"usage":{"requests":1}})")}},
         BillingState::Kind::error,
         std::nullopt,
         "old",
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log->clear();
        catalogFetches.clear();
        catalog->clearAccountState();
        defaults.set(managedTierSnapshotKey, "old");
        setMode(c.mode);
        for (const auto& [path, reply] : c.replies) {
            server.script("GET", path, {reply});
        }

        load(*model);

        EXPECT_EQ(model->state.get().kind(), c.kind);
        if (c.error) {
            EXPECT_EQ(model->state.get().failure(), c.error);
        } else if (c.kind == BillingState::Kind::error) {
            // The relay client's own message.
            ASSERT_TRUE(model->state.get().failure());
            EXPECT_TRUE(std::string_view(model->state.get().failure()->what())
                            .starts_with("Decoding error: "));
        }
        if (c.kind == BillingState::Kind::error) {
            const auto failed = log->events("billing_load_failed");
            ASSERT_EQ(failed.size(), 1u);
            EXPECT_FALSE(failed[0].metadata.at("error").empty());
        }
        EXPECT_EQ(defaults.stringValue(managedTierSnapshotKey).optional(), c.tierSnapshot);
        EXPECT_EQ(catalogFetches.size(), c.catalogFetches);
        EXPECT_EQ(refreshes, 0);
    }
}

TEST_F(BillingViewModelTest, ManagedResultWaitsForTheCatalogAndIsLogged) {
    server.script("GET", subscriptionPath, {subscription("pro")});
    server.script("GET", usagePath, {usage});
    model->loadBillingInfo();
    background.runUntilIdle();  // the billing calls
    main.runUntilIdle();        // their result, which starts the catalog refresh
    EXPECT_EQ(server.requestCount(), 2u);
    EXPECT_TRUE(catalogFetches.empty());
    EXPECT_EQ(model->state.get(), BillingState::loading());
    EXPECT_EQ(defaults.stringValue(managedTierSnapshotKey).optional(), "pro");

    ASSERT_TRUE(settle([&] { return model->state.get().kind() != BillingState::Kind::loading; }));
    EXPECT_EQ(model->state.get().kind(), BillingState::Kind::loaded);
    EXPECT_EQ(catalogFetches, std::vector<std::string>{"cust-1"});
    EXPECT_TRUE(catalog->catalog().has_value());
    const auto loaded = log->events("billing_info_loaded");
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].metadata,
              (StructuredLogger::Metadata{
                  {"account_type", "managed"}, {"plan", "pro"}, {"cost_microcents", "4200"}}));
}

TEST_F(BillingViewModelTest, UnauthorizedManagedLoadRetriesOnceAfterARefresh) {
    struct Case {
        const char* name;
        bool refreshSucceeds;
        AuthMode modeAfterRefresh;
        std::vector<Reply> subscriptionReplies;
        BillingState::Kind kind;
        std::vector<std::string> requests;
        bool retryLogged;
    };
    const std::vector<Case> cases = {
        {"retry succeeds",
         true,
         AuthMode::managed("cust-2", "acc-2"),
         {Reply::json(401, ""), subscription("pro")},
         BillingState::Kind::loaded,
         {"Bearer cust-1 /api/v1/customers/me/subscription",
          "Bearer cust-2 /api/v1/customers/me/subscription",
          "Bearer cust-2 /api/v1/customers/me/usage"},
         true},
        {"second 401",
         true,
         AuthMode::managed("cust-2", "acc-2"),
         {Reply::json(401, ""), Reply::json(401, "")},
         BillingState::Kind::error,
         {"Bearer cust-1 /api/v1/customers/me/subscription",
          "Bearer cust-2 /api/v1/customers/me/subscription"},
         true},
        {"refresh fails",
         false,
         AuthMode::managed("cust-2", "acc-2"),
         {Reply::json(401, "")},
         BillingState::Kind::error,
         {"Bearer cust-1 /api/v1/customers/me/subscription"},
         false},
        {"signed out meanwhile",
         true,
         AuthMode::none(),
         {Reply::json(401, "")},
         BillingState::Kind::error,
         {"Bearer cust-1 /api/v1/customers/me/subscription"},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::StubHttpServer relay;
        CorvaneBillingService relayService{http, relay.baseURL(), clock};
        const auto vm = makeModel(relayService);
        log->clear();
        refreshes = 0;
        refreshSucceeds = c.refreshSucceeds;
        modeAfterRefresh = c.modeAfterRefresh;
        setMode(AuthMode::managed("cust-1", "acc-1"));
        relay.script("GET", subscriptionPath, c.subscriptionReplies);
        relay.script("GET", usagePath, {usage});

        load(*vm);

        EXPECT_EQ(refreshes, 1);
        EXPECT_EQ(vm->state.get().kind(), c.kind);
        if (c.kind == BillingState::Kind::error) {
            EXPECT_EQ(vm->state.get().failure(), BillingError::noCredentials());
        }
        EXPECT_EQ(bearerTokens(relay), c.requests);
        EXPECT_EQ(log->contains("managed_billing_auth_refreshed_retry"), c.retryLogged);
    }
}

TEST_F(BillingViewModelTest, DeveloperAccountNeverRefreshesTokens) {
    setMode(AuthMode::apiKey("key-1"));
    server.script("GET", balancePath, {Reply::json(401, "")});
    load(*model);
    EXPECT_EQ(refreshes, 0);
    EXPECT_EQ(model->state.get().failure(), BillingError::noCredentials());
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(BillingViewModelTest, SecondLoadDuringALoadReturnsAtOnce) {
    server.script("GET", subscriptionPath, {subscription("pro")});
    server.script("GET", usagePath, {usage});
    model->loadBillingInfo();
    bool secondDone = false;
    model->loadBillingInfo([&] { secondDone = true; });
    EXPECT_TRUE(secondDone);
    ASSERT_TRUE(settle([&] { return model->state.get().kind() == BillingState::Kind::loaded; }));
    EXPECT_EQ(server.requestCount(), 2u);  // one subscription and one usage call
}

// A load still running when the account changes answers for the account that asked: neither
// shown nor remembered for whoever is signed in when it arrives.
TEST_F(BillingViewModelTest, AnswersForAnAccountNoLongerSignedInAreDropped) {
    struct Case {
        const char* name;
        std::vector<Reply> subscriptions;
        AuthMode signedInOnArrival;
        BillingState::Kind shown;
        std::optional<std::string> snapshot;
        std::vector<std::string> requests;
    };
    const std::string sub = " /api/v1/customers/me/subscription";
    const std::vector<Case> cases{
        {"same account",
         {subscription("pro")},
         AuthMode::managed("cust-1", "acc-1"),
         BillingState::Kind::loaded,
         "pro",
         {"Bearer cust-1" + sub}},
        {"signed out",
         {subscription("pro")},
         AuthMode::none(),
         BillingState::Kind::idle,
         std::nullopt,
         {"Bearer cust-1" + sub}},
        {"failure after sign-out",
         {Reply::json(403, R"({"error":"forbidden"})")},
         AuthMode::none(),
         BillingState::Kind::idle,
         std::nullopt,
         {"Bearer cust-1" + sub}},
        {"another account",
         {subscription("pro"), subscription("max")},
         AuthMode::managed("cust-9", "acc-9"),
         BillingState::Kind::loaded,
         "max",
         {"Bearer cust-1" + sub, "Bearer cust-9" + sub}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::StubHttpServer relay;
        CorvaneBillingService billing{http, relay.baseURL(), clock};
        relay.script("GET", subscriptionPath, c.subscriptions);
        relay.script("GET", usagePath, {usage, usage});
        defaults.remove(managedTierSnapshotKey);
        setMode(AuthMode::managed("cust-1", "acc-1"));
        auto vm = makeModel(billing);
        int finished = 0;
        vm->loadBillingInfo([&] { ++finished; });
        // The relay answers; the account changes before the answer reaches the main thread.
        background.runUntilIdle();
        setMode(c.signedInOnArrival);
        ASSERT_TRUE(settle([&] {
            return finished == 1 && vm->state.get().kind() != BillingState::Kind::loading;
        }));
        EXPECT_EQ(vm->state.get().kind(), c.shown);
        if (const auto& info = vm->state.get().info()) {
            EXPECT_EQ(std::get<ManagedBillingInfo>(*info).tierCode, c.snapshot.value_or(""));
        }
        EXPECT_EQ(defaults.stringValue(managedTierSnapshotKey).optional(), c.snapshot);
        std::vector<std::string> subscriptionRequests;
        for (const auto& request : bearerTokens(relay)) {
            if (request.ends_with(sub)) {
                subscriptionRequests.push_back(request);
            }
        }
        EXPECT_EQ(subscriptionRequests, c.requests);
    }
}

TEST_F(BillingViewModelTest, UsageChanges) {
    struct Case {
        const char* name;
        bool loadFirst;
        int notificationsDuringLoad;
        int notificationsAfter;
        std::size_t loads;
    };
    const std::vector<Case> cases = {
        {"never loaded: stays unloaded", false, 0, 3, 0},
        {"after a load: one reload each", true, 0, 1, 2},
        {"three during a load fold into one", true, 3, 0, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::StubHttpServer relay;
        relay.script("GET", balancePath, {balance});
        CorvaneBillingService relayService{http, relay.baseURL(), clock};
        setMode(AuthMode::apiKey("key-1"));
        const auto vm = makeModel(relayService);
        std::vector<BillingState::Kind> states;
        auto subscription = vm->state.subscribe(
            [&](const BillingState& s) { states.push_back(s.kind()); }, Delivery::changesOnly);

        bool finished = !c.loadFirst;
        if (c.loadFirst) {
            vm->loadBillingInfo([&] { finished = true; });
            main.runUntilIdle();  // the fetch waits on the worker: the load is running
            for (int i = 0; i < c.notificationsDuringLoad; ++i) {
                countUsageChange(usageChanges);
            }
            main.runUntilIdle();
            EXPECT_EQ(vm->state.get().kind(), BillingState::Kind::loading);
        }
        ASSERT_TRUE(settle([&] { return finished; }));
        for (int i = 0; i < c.notificationsAfter; ++i) {
            countUsageChange(usageChanges);
            ASSERT_TRUE(settle([&] {
                return vm->state.get().kind() != BillingState::Kind::loading &&
                       background.pendingCount() == 0 && main.pendingCount() == 0;
            }));
        }

        EXPECT_EQ(relay.requestCount(), c.loads);
        if (c.loads == 2) {
            using K = BillingState::Kind;
            EXPECT_EQ(states,
                      (std::vector<K>{K::loading, K::loaded, K::idle, K::loading, K::loaded}));
        } else {
            EXPECT_EQ(vm->state.get().kind(), BillingState::Kind::idle);
        }
    }
}

// The panel may close at any point of a load: nothing the load still has queued may touch the
// model or wait for it.
TEST_F(BillingViewModelTest, DestroyedDuringALoad) {
    struct Case {
        const char* name;
        bool relayCallsDone;  // else destroyed while they wait on the worker
    };
    const Case cases[] = {{"relay calls queued", false}, {"waiting for the catalog", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.script("GET", subscriptionPath, {subscription("pro")});
        server.script("GET", usagePath, {usage});
        catalogFetches.clear();
        auto vm = makeModel(service);
        bool finished = false;
        vm->loadBillingInfo([&] { finished = true; });
        if (c.relayCallsDone) {
            background.runUntilIdle();
            main.runUntilIdle();  // starts the catalog refresh
            ASSERT_EQ(background.pendingCount(), 1u);
        }

        auto destroyed = std::async(std::launch::async, [&vm] { vm.reset(); });
        const bool returned = destroyed.wait_for(10s) == std::future_status::ready;
        // Unblocks a destructor that waits for the catalog, so that the test can end.
        settle([&] { return destroyed.wait_for(0s) == std::future_status::ready; });
        EXPECT_TRUE(returned) << "destroying the model waited for the load";
        ASSERT_TRUE(settle([&] { return background.pendingCount() + main.pendingCount() == 0; }));
        EXPECT_FALSE(finished);
        EXPECT_EQ(catalogFetches.size(), c.relayCallsDone ? 1u : 0u);
    }
}

}  // namespace
}  // namespace vask
