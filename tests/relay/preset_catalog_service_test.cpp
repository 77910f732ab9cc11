#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/manual_executor.h"
#include "platform/worker_pool.h"
#include "preset_fixtures.h"
#include "relay/corvane_billing_service.h"
#include "relay/preset_catalog_service.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/stub_http_server.h"

namespace vask {
namespace {

bool isReady(const std::shared_future<void>& future) {
    return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

// The fetch runs on `background`, a manual executor the test drains, so each test decides when
// a fetch comes back relative to what the main executor does meanwhile.
class PresetCatalogServiceTest : public ::testing::Test {
  protected:
    std::shared_ptr<PresetCatalogService> makeService() {
        return PresetCatalogService::create({
            .fetchCatalog =
                [this](const std::string& token) {
                    fetchedWith.push_back(token);
                    if (failWith) {
                        throw CorvaneServiceError::clientError(*failWith);
                    }
                    return catalog;
                },
            .authModeProvider = [this] { return mode; },
            .presets = presets,
            .main = main,
            .background = background,
        });
    }

    // Lets every fetch come back and runs what it posts to the main executor.
    void settle() {
        while (background.runUntilIdle() + main.runUntilIdle() > 0) {
        }
    }

    InMemoryDefaults defaults;
    PresetSelection presets{defaults};
    ManualExecutor main;
    ManualExecutor background;
    AuthMode mode = AuthMode::managed("cust-1", "access-1");
    ModelPresetCatalog catalog = test::sampleCatalog();
    std::optional<std::string> failWith;
    std::vector<std::string> fetchedWith;
};

TEST_F(PresetCatalogServiceTest, OverlappingRefreshesShareOneFetch) {
    test::LogCapture log;
    auto service = makeService();
    const auto first = service->refresh();
    const auto second = service->refresh();
    EXPECT_FALSE(isReady(first));
    settle();
    EXPECT_TRUE(isReady(first));
    EXPECT_TRUE(isReady(second));
    EXPECT_EQ(fetchedWith, std::vector<std::string>{"cust-1"});
    EXPECT_EQ(service->catalog(), catalog);
    EXPECT_EQ(service->selectedCode(), "deep");
    const auto events = log->events("preset_catalog_refreshed");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].metadata.at("presets"), "2");
    EXPECT_EQ(events[0].metadata.at("has_choice"), "false");

    // Once finished, the next refresh fetches again.
    service->refresh();
    settle();
    EXPECT_EQ(fetchedWith.size(), 2u);
}

TEST_F(PresetCatalogServiceTest, OnlyManagedAccountsHaveACatalog) {
    presets.adopt(catalog);
    for (const auto& other : {AuthMode::apiKey("k"), AuthMode::none()}) {
        test::LogCapture log;
        mode = other;
        auto service = makeService();
        const auto before = service->record.get();
        EXPECT_TRUE(isReady(service->refresh()));
        settle();
        EXPECT_TRUE(fetchedWith.empty());
        EXPECT_EQ(service->record.get(), before);
        EXPECT_FALSE(service->lastRefreshFailed.get());
        EXPECT_TRUE(log->records().empty());
    }
}

TEST_F(PresetCatalogServiceTest, FailedRefreshHidesTheCatalogUntilTheNextSuccess) {
    test::LogCapture log;
    auto service = makeService();
    service->refresh();
    settle();
    const auto stored = service->record.get();

    failWith = "API error (500)";
    service->refresh();
    settle();
    EXPECT_TRUE(service->lastRefreshFailed.get());
    EXPECT_EQ(service->catalog(), std::nullopt);
    EXPECT_EQ(service->record.get(), stored);
    EXPECT_EQ(presets.current(), stored);
    EXPECT_EQ(log->events("preset_catalog_refresh_failed").at(0).metadata.at("error"),
              "API error (500)");

    failWith.reset();
    service->refresh();
    settle();
    EXPECT_FALSE(service->lastRefreshFailed.get());
    EXPECT_EQ(service->catalog(), catalog);
    EXPECT_NE(service->record.get().snapshot->id, stored.snapshot->id);
}

TEST_F(PresetCatalogServiceTest, SelectStoresOfferedChoicesAndRefetchesOnRefusal) {
    test::LogCapture log;
    auto service = makeService();
    EXPECT_EQ(service->selectedCode(), "");
    EXPECT_FALSE(service->select("fast"));  // no catalog yet
    settle();
    EXPECT_EQ(fetchedWith.size(), 1u);

    EXPECT_TRUE(service->select("FAST"));
    EXPECT_EQ(service->selectedCode(), "FAST");
    EXPECT_EQ(log->events("preset_selected").at(0).metadata.at("preset"), "FAST");

    const auto before = service->record.get();
    EXPECT_FALSE(service->select("gone"));
    EXPECT_EQ(service->record.get(), before);
    settle();
    EXPECT_EQ(fetchedWith.size(), 2u);
    EXPECT_EQ(service->record.get().selectedCode, "FAST");
}

TEST_F(PresetCatalogServiceTest, StaleCatalogIsHeardOnlyFromItsOwnSelection) {
    auto service = makeService();
    service->refresh();
    settle();
    const auto snapshotID = service->record.get().snapshot->id;

    InMemoryDefaults otherStore;
    PresetSelection other{otherStore};
    ASSERT_TRUE(other.clearStale("deep", other.adopt(catalog).snapshot->id));
    settle();
    EXPECT_EQ(fetchedWith.size(), 1u);
    EXPECT_EQ(service->record.get().snapshot->id, snapshotID);

    // Cleared on a worker thread, as the responses client does.
    std::thread([&] { EXPECT_TRUE(presets.clearStale("deep", snapshotID)); }).join();
    main.runUntilIdle();
    EXPECT_FALSE(service->record.get().snapshot);
    settle();
    EXPECT_EQ(fetchedWith.size(), 2u);
    EXPECT_TRUE(service->record.get().snapshot);
}

TEST_F(PresetCatalogServiceTest, RefreshStartedBeforeSignOutNeverAdoptsAfterIt) {
    auto service = makeService();
    service->refresh();
    settle();
    ASSERT_TRUE(service->select("fast"));

    // A refresh for the first account is under way when the user signs out.
    const auto stale = service->refresh();
    failWith.reset();
    service->clearAccountState();
    EXPECT_EQ(service->record.get(), PresetSelectionRecord::empty());
    EXPECT_FALSE(service->lastRefreshFailed.get());

    settle();
    EXPECT_TRUE(isReady(stale));
    EXPECT_EQ(service->record.get(), PresetSelectionRecord::empty());
    EXPECT_EQ(presets.current(), PresetSelectionRecord::empty());
    EXPECT_FALSE(defaults.value(PresetSelection::recordKey));

    // Another account signs in while an old fetch is still out: its refresh starts afresh
    // instead of joining the abandoned one.
    service->refresh();
    service->clearAccountState();
    mode = AuthMode::managed("cust-2", "access-2");
    catalog = ModelPresetCatalog{{test::singlePreset("solo", "m")}};
    const auto fresh = service->refresh();
    settle();
    EXPECT_TRUE(isReady(fresh));
    EXPECT_EQ(fetchedWith.back(), "cust-2");
    EXPECT_EQ(service->catalog(), catalog);
}

TEST_F(PresetCatalogServiceTest, FailedRefreshOfASignedOutAccountIsNotReported) {
    auto service = makeService();
    failWith = "API error (401)";
    service->refresh();
    service->clearAccountState();
    settle();
    EXPECT_FALSE(service->lastRefreshFailed.get());
}

TEST(PresetCatalogServiceWiring, FetchesThroughTheRelayOnAWorkerPool) {
    test::StubHttpServer server;
    server.script("GET", "/api/v1/customers/me/models",
                  {test::StubHttpServer::Reply::json(
                      200, R"({"models":{"presets":[{"code":"fast","display_name":"Fast",)"
                           R"("is_default":true,"kind":"single",)"
                           R"("model":{"model_id":"m1","model_display_name":"M1"}}]}})")});
    test::FakeClock clock;
    HttpClient http;
    const CorvaneBillingService billing(http, server.baseURL(), clock);
    InMemoryDefaults defaults;
    PresetSelection presets{defaults};
    ManualExecutor main;
    WorkerPool pool(2);
    auto service = PresetCatalogService::create({
        .fetchCatalog = [&](const std::string& token) { return billing.getCustomerModels(token); },
        .authModeProvider = [] { return AuthMode::managed("tok", "acc"); },
        .presets = presets,
        .main = main,
        .background = pool,
    });
    const auto done = service->refresh();
    ASSERT_TRUE(main.runUntil([&] { return isReady(done); }));
    EXPECT_EQ(service->selectedCode(), "fast");
    EXPECT_EQ(server.requests().at(0).header("Authorization"), "Bearer tok");
}

}  // namespace
}  // namespace vask
