#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <stop_token>

#include "clock_driver.h"
#include "refused_port.h"
#include "relay/corvane_billing_service.h"
#include "support/comma_locale.h"
#include "support/log_capture.h"
#include "support/stub_http_server.h"

namespace vask {
namespace {

using Reply = test::StubHttpServer::Reply;
using namespace std::chrono_literals;

constexpr const char* modelsPath = "/api/v1/customers/me/models";
constexpr const char* subscriptionPath = "/api/v1/customers/me/subscription";
constexpr const char* usagePath = "/api/v1/customers/me/usage";

const std::string modelsBody =
    R"({"models":{"presets":[{"code":"fast","display_name":"Fast","is_default":false,)"
    R"("kind":"single","model":{"model_id":"m1","model_display_name":"M1"}},)"
    R"({"code":"deep","display_name":"Deep","description":"Thorough","is_default":true,)"
    R"("kind":"recursive","root":{"model_id":"r","model_display_name":"R"},)"
    R"("subcall":{"model_id":"s","model_display_name":"S"},"extra":1}]}})";

class CorvaneBillingServiceTest : public ::testing::Test {
  protected:
    CorvaneBillingService service() { return CorvaneBillingService(http, server.baseURL(), clock); }

    // Runs `call` and returns its error text ("" on success), how many requests reached the
    // server and how long the call waited on the clock.
    template <typename F>
    std::tuple<std::optional<CorvaneServiceError>, std::chrono::milliseconds> run(F call) {
        auto driven = test::driveOnFakeClock(clock, [&] {
            try {
                call();
                return std::optional<CorvaneServiceError>();
            } catch (const CorvaneServiceError& error) {
                return std::optional<CorvaneServiceError>(error);
            }
        });
        return {driven.result.get(), driven.waited};
    }

    test::StubHttpServer server;
    test::FakeClock clock;
    HttpClient http;
};

TEST_F(CorvaneBillingServiceTest, RetriesOnlyTransientStatusesWithinTheBackoffBounds) {
    const std::string longHtml = "<html>" + std::string(4994, 'x');
    const std::string decoding = "Decoding error: ";
    struct Case {
        const char* name;
        std::vector<Reply> replies;
        std::optional<std::string> error;  // nothing: success; "Decoding error: " is a prefix
        std::size_t requests;
        std::chrono::milliseconds minWait;
        std::chrono::milliseconds maxWait;
    };
    const std::vector<Case> cases = {
        {"503 then 200",
         {Reply::json(503, ""), Reply::json(200, modelsBody)},
         std::nullopt,
         2,
         200ms,
         300ms},
        {"three 503s carry the third message",
         {Reply::json(503, R"({"message":"one"})"), Reply::json(503, R"({"message":"two"})"),
          Reply::json(503, R"({"message":"three"})")},
         "API error (503): three",
         3,
         600ms,
         900ms},
        {"429 then 401 is never retried",
         {Reply::json(429, ""), Reply::json(401, R"({"error":"expired"})")},
         "Your session expired. Please sign in again.",
         2,
         200ms,
         300ms},
        {"message wins over error",
         {Reply::json(500, R"({"error":"b","message":"a"})")},
         "API error (500): a",
         3,
         600ms,
         900ms},
        {"non-string error falls back to the raw text",
         {Reply::json(400, "  {\"error\":{\"code\":1}}\n")},
         "API error (400): {\"error\":{\"code\":1}}",
         1,
         0ms,
         0ms},
        {"long HTML body is cut at 200 characters",
         {Reply::text(502, "\n" + longHtml)},
         "API error (502): " + longHtml.substr(0, 200),
         3,
         600ms,
         900ms},
        {"empty 404", {Reply::json(404, "")}, "API error (404)", 1, 0ms, 0ms},
        {"blank 404", {Reply::text(404, " \n\t ")}, "API error (404)", 1, 0ms, 0ms},
        {"403 with an error member",
         {Reply::json(403, R"({"error":"forbidden"})")},
         "API error (403): forbidden",
         1,
         0ms,
         0ms},
        {"200 without a required key",
         {Reply::json(200, R"({"models":{}})")},
         decoding,
         1,
         0ms,
         0ms},
        {"200 that is not JSON", {Reply::text(200, "<html>")}, decoding, 1, 0ms, 0ms},
        {"dropped connection then 200",
         {Reply::dropped(), Reply::json(200, modelsBody)},
         std::nullopt,
         2,
         200ms,
         300ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::StubHttpServer stub;
        stub.script("GET", modelsPath, c.replies);
        CorvaneBillingService billing(http, stub.baseURL(), clock);
        std::optional<ModelPresetCatalog> catalog;
        const auto [error, waited] = run([&] { catalog = billing.getCustomerModels("tok"); });
        EXPECT_EQ(stub.requestCount(), c.requests);
        EXPECT_GE(waited, c.minWait);
        EXPECT_LE(waited, c.maxWait);
        if (!c.error) {
            EXPECT_FALSE(error) << error->what();
            ASSERT_TRUE(catalog);
            EXPECT_EQ(catalog->presets.size(), 2u);
        } else if (*c.error == decoding) {
            ASSERT_TRUE(error);
            EXPECT_TRUE(std::string(error->what()).starts_with(decoding)) << error->what();
        } else {
            ASSERT_TRUE(error);
            EXPECT_EQ(std::string(error->what()), *c.error);
        }
    }
}

TEST_F(CorvaneBillingServiceTest, TransportFailureOnEveryAttemptKeepsItsOwnDescription) {
    const test::RefusedPort refused;
    CorvaneBillingService billing(http, refused.baseURL(), clock);
    const auto [error, waited] = run([&] { billing.getCustomerModels("tok"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCase(), CorvaneServiceError::Case::clientError);
    EXPECT_FALSE(std::string(error->what()).starts_with("API error"));
    EXPECT_FALSE(std::string(error->what()).empty());
    EXPECT_GE(waited, 600ms);
    EXPECT_LE(waited, 900ms);
}

TEST_F(CorvaneBillingServiceTest, StopDuringBackoffEndsTheCallWithoutAnotherRequest) {
    server.script("GET", modelsPath, {Reply::json(503, "")});
    auto billing = service();
    std::stop_source stop;
    auto call = std::async(std::launch::async, [&] {
        try {
            billing.getCustomerModels("tok", stop.get_token());
            return std::string("no error");
        } catch (const CorvaneServiceError& error) {
            return std::string(error.what());
        }
    });
    while (clock.pendingTasks() == 0) {
        std::this_thread::sleep_for(200us);
    }
    stop.request_stop();
    EXPECT_EQ(call.get(), "The operation was cancelled.");
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(CorvaneBillingServiceTest, AClientStoppedForAQuitEndsTheCallWithoutBackoff) {
    // The launch's preset refresh passes no stop token: stopping the client must end it at once,
    // not after the backoff and the retries it would give a failed exchange.
    server.script("GET", modelsPath, {Reply::json(200, modelsBody)});
    server.pause();
    HttpClient client;
    CorvaneBillingService billing(client, server.baseURL(), clock);
    auto call = std::async(std::launch::async, [&] {
        try {
            billing.getCustomerModels("tok");
            return std::string("no error");
        } catch (const CorvaneServiceError& error) {
            return std::string(error.what());
        }
    });
    ASSERT_TRUE(server.waitForRequests(1));
    client.stopAll();
    const bool endedAtOnce = call.wait_for(10s) == std::future_status::ready;
    // Should a backoff wait on the clock after all, let it end so that the test can.
    while (call.wait_for(10ms) != std::future_status::ready) {
        clock.advance(1s);
    }
    EXPECT_TRUE(endedAtOnce);
    EXPECT_NE(call.get(), "no error");
    EXPECT_EQ(server.requestCount(), 1u);
    server.resume();
}

TEST_F(CorvaneBillingServiceTest, CustomerModelsMapsPresetsInOrderWithTheirHeaders) {
    test::LogCapture log;
    server.script("GET", modelsPath, {Reply::json(200, modelsBody)});
    const auto catalog = service().getCustomerModels("tok-1");
    ASSERT_EQ(catalog.presets.size(), 2u);
    EXPECT_EQ(catalog.presets[0].code, "fast");
    EXPECT_EQ(catalog.presets[0].description, "");
    EXPECT_EQ(catalog.presets[0].execution, PresetExecution::single({"m1", "M1"}));
    EXPECT_EQ(catalog.presets[1].execution, PresetExecution::recursive({"r", "R"}, {"s", "S"}));
    EXPECT_TRUE(catalog.presets[1].isDefault);
    EXPECT_EQ(log->events("customer_models_fetched").at(0).metadata.at("presets"), "2");

    const auto request = server.requests().at(0);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.header("Accept"), "application/json");
    EXPECT_EQ(request.header("X-Corvane-Client"), "vask-swift");
    EXPECT_EQ(request.header("Authorization"), "Bearer tok-1");
    EXPECT_FALSE(request.header("X-Corvane-Api-Key"));
    EXPECT_EQ(request.query, "");
}

TEST_F(CorvaneBillingServiceTest, DeveloperBillingUsesTheApiKeyHeader) {
    test::LogCapture log;
    server.script(
        "GET", "/api/v1/account/balance",
        {Reply::json(200, R"({"balance_cents":1234,"balance_formatted":"$12.34",)"
                          R"("currency":"USD","low_balance_threshold_cents":500,"x":[]})")});
    const auto info = service().getDeveloperBilling("key-1");
    EXPECT_EQ(std::get<DeveloperBillingInfo>(info),
              (DeveloperBillingInfo{1234, "$12.34", "USD", 500}));
    const auto request = server.requests().at(0);
    EXPECT_EQ(request.header("X-Corvane-Api-Key"), "key-1");
    EXPECT_FALSE(request.header("Authorization"));
    EXPECT_EQ(log->events("developer_billing_fetched").at(0).metadata.at("balance_cents"), "1234");

    server.script("GET", "/api/v1/account/balance",
                  {Reply::json(200, R"({"balance_cents":1,"balance_formatted":"$0.01",)"
                                    R"("low_balance_threshold_cents":500})")});
    EXPECT_THROW(service().getDeveloperBilling("key-1"), CorvaneServiceError);
}

TEST_F(CorvaneBillingServiceTest, ManagedBillingReadsSubscriptionThenUsage) {
    test::LogCapture log;
    server.script("GET", subscriptionPath,
                  {Reply::json(200, R"({"subscription":{"tier_code":" \nPro_Plus ",)"
                                    R"("tier_display_name":" Pro ","price_amount_cents":1999,)"
                                    R"("price_interval":"month",)"
                                    R"("current_period_end":"2025-01-31T12:00:00.123456Z"}})")});
    server.script(
        "GET", usagePath,
        {Reply::json(200, R"({"usage":{"requests":7,"tokens":100,)"
                          R"("total_cost_microcents":4200,"low":null,)"
                          R"("percentage_used":45.5,"window_end":"2025-01-31T12:00:00Z"}})")});
    const auto info = std::get<ManagedBillingInfo>(service().getManagedBilling("tok"));
    EXPECT_EQ(info.tierCode, "pro_plus");
    EXPECT_EQ(info.tierDisplayName, " Pro ");
    EXPECT_FALSE(info.isLow);
    EXPECT_EQ(info.requests, 7);
    EXPECT_EQ(info.totalCostMicrocents, 4200);
    ASSERT_TRUE(info.currentPeriodEnd && info.windowEnd);
    EXPECT_EQ(*info.currentPeriodEnd, *info.windowEnd);
    EXPECT_EQ(info.usagePercentDisplay(), 46);
    const auto events = log->events("managed_billing_fetched");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].metadata,
              (std::map<std::string, std::string>{
                  {"plan", "pro_plus"}, {"cost_microcents", "4200"}, {"requests", "7"}}));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, subscriptionPath);
    EXPECT_EQ(requests[1].path, usagePath);
}

TEST_F(CorvaneBillingServiceTest, ManagedBillingNeverReturnsAPartialResult) {
    const std::string subscription =
        R"({"subscription":{"tier_code":"pro","tier_display_name":"Pro"}})";
    struct Case {
        const char* name;
        Reply subscription;
        Reply usage;
        const char* errorPrefix;
        std::size_t usageRequests;
    };
    const Case cases[] = {
        {"subscription 401", Reply::json(401, ""), Reply::json(200, "{}"),
         "Your session expired. Please sign in again.", 0},
        {"usage without total cost", Reply::json(200, subscription),
         Reply::json(200, R"({"usage":{"requests":1,"tokens":2}})"), "Decoding error: ", 1},
        {"date-only timestamp",
         Reply::json(200, R"({"subscription":{"tier_code":"pro",)"
                          R"("tier_display_name":"Pro",)"
                          R"("current_period_end":"2025-01-31"}})"),
         Reply::json(200, "{}"), "Decoding error: ", 0},
        {"timestamp with a wrong type", Reply::json(200, subscription),
         Reply::json(200, R"({"usage":{"requests":1,"tokens":2,"total_cost_microcents":3,)"
                          R"("window_end":12}})"),
         "Decoding error: ", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::StubHttpServer stub;
        stub.script("GET", subscriptionPath, {c.subscription});
        stub.script("GET", usagePath, {c.usage});
        CorvaneBillingService billing(http, stub.baseURL(), clock);
        try {
            billing.getManagedBilling("tok");
            ADD_FAILURE() << "no error";
        } catch (const CorvaneServiceError& error) {
            EXPECT_TRUE(std::string(error.what()).starts_with(c.errorPrefix)) << error.what();
        }
        std::size_t usageRequests = 0;
        for (const auto& request : stub.requests()) {
            usageRequests += request.path == usagePath ? 1 : 0;
        }
        EXPECT_EQ(usageRequests, c.usageRequests);
    }
}

TEST(CorvaneBillingServiceStatic, ExtractMessageRules) {
    std::string combining;
    for (int i = 0; i < 250; ++i) {
        combining += "e\xCC\x81";  // e + COMBINING ACUTE ACCENT: one character, three bytes
    }
    struct Case {
        const char* name;
        std::string body;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"message string", R"({"message":"  kept as is  "})", "  kept as is  "},
        {"error string", R"({"error":"nope","message":3})", "nope"},
        {"neither a string", R"({"message":null})", R"({"message":null})"},
        {"JSON array", R"(["a"])", R"(["a"])"},
        {"blank", " \r\n", std::nullopt},
        {"not UTF-8", "bad \xFF byte", std::nullopt},
        {"cut at 200 characters, not bytes", combining, combining.substr(0, 600)},
        {"huge JSON message cut before it reaches a log",
         R"({"error":")" + std::string(5 << 20, 'x') + R"("})", std::string(1000, 'x') + "\u2026"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CorvaneBillingService::extractMessage(c.body), c.expected);
    }
}

TEST(CorvaneBillingServiceStatic, BackoffStaysWithinItsBounds) {
    struct Case {
        int attempt;
        int low;
        int high;
    };
    for (const auto& c : {Case{1, 200, 300}, Case{2, 400, 600}, Case{3, 800, 1050},
                          Case{4, 1600, 1850}, Case{5, 2000, 2250}, Case{40, 2000, 2250}}) {
        SCOPED_TRACE(c.attempt);
        for (int i = 0; i < 300; ++i) {
            const int wait = CorvaneBillingService::backoffMilliseconds(c.attempt);
            ASSERT_GE(wait, c.low);
            ASSERT_LE(wait, c.high);
        }
    }
}

TEST(CorvaneBillingServiceStatic, RelayBaseURLOverride) {
    struct Case {
        const char* name;
        Environment env;
        std::string expected;
    };
    const Case cases[] = {
        {"unset", {}, "https://relay.corvane.ai"},
        {"padded local URL",
         {{"VASK_RELAY_BASE_URL", " http://127.0.0.1:8080\n"}},
         "http://127.0.0.1:8080"},
        {"blank", {{"VASK_RELAY_BASE_URL", "  "}}, "https://relay.corvane.ai"},
        {"not http", {{"VASK_RELAY_BASE_URL", "file:///etc"}}, "https://relay.corvane.ai"},
        {"relative", {{"VASK_RELAY_BASE_URL", "relay"}}, "https://relay.corvane.ai"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CorvaneBillingService::resolveBaseURL(c.env).absoluteString(), c.expected);
    }
}

TEST(ManagedBillingInfo, DisplayValues) {
    const auto info = [](std::string name, std::optional<std::int64_t> cents,
                         std::optional<std::string> interval, std::optional<double> percent) {
        ManagedBillingInfo i;
        i.tierDisplayName = std::move(name);
        i.priceAmountCents = cents;
        i.priceInterval = std::move(interval);
        i.percentageUsed = percent;
        return i;
    };
    struct Case {
        ManagedBillingInfo info;
        std::string plan;
        std::optional<std::string> price;
        int percent;
    };
    const Case cases[] = {
        {info(" \t ", 1999, "month", std::nullopt), "Vask", "$19.99/month", 0},
        {info("\tPro ", 1999, "Month", 45.5), "Vask Pro", "$19.99", 46},
        {info("VASK Max", 1999, "year", 150), "VASK Max", "$19.99/year", 100},
        {info("vasko", std::nullopt, "month", -3), "vasko", std::nullopt, 0},
        {info("Team", 5, "week", 0.4), "Vask Team", "$0.05", 0},
        {info("Team", 0, std::nullopt, 0.5), "Vask Team", "$0.00", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plan);
        EXPECT_EQ(c.info.planDisplayName(), c.plan);
        EXPECT_EQ(c.info.priceDisplay(), c.price);
        EXPECT_EQ(c.info.usagePercentDisplay(), c.percent);
    }
}

// The application adopts the user's locale for the C library; a price is still "$9.99", never
// "$9,99", under a comma-decimal one.
TEST(ManagedBillingInfo, PriceKeepsItsFormUnderACommaDecimalLocale) {
    test::ScopedCommaLocale german;
    if (!german.active) {
        GTEST_SKIP() << german.reason;
    }
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.2f", 9.99);
    ASSERT_STREQ(probe, "9,99") << "the comma locale is in effect";
    struct Case {
        std::int64_t cents;
        std::optional<std::string> interval;
        std::string price;
    };
    const Case cases[] = {
        {999, "month", "$9.99/month"},  {123456, "year", "$1234.56/year"},
        {5, std::nullopt, "$0.05"},     {100, "month", "$1.00/month"},
        {-250, std::nullopt, "$-2.50"}, {INT64_MIN, std::nullopt, "$-92233720368547758.08"},
    };
    for (const auto& c : cases) {
        ManagedBillingInfo info;
        info.priceAmountCents = c.cents;
        info.priceInterval = c.interval;
        EXPECT_EQ(info.priceDisplay(), c.price) << c.cents;
    }
}

}  // namespace
}  // namespace vask
