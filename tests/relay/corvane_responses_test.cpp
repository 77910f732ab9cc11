#include <gtest/gtest.h>

#include <atomic>

#include "preset_fixtures.h"
#include "refused_port.h"
#include "relay/corvane_responses.h"
#include "relay/preset_selection.h"
#include "support/log_capture.h"
#include "support/stub_http_server.h"

namespace vask {
namespace {

using Reply = test::StubHttpServer::Reply;
constexpr const char* responsesPath = "/api/v1/responses";

std::string textReply(const std::string& text) {
    return R"({"output":[{"type":"message","role":"assistant","content":[{"type":"text","text":")" +
           text + R"("}]}]})";
}

const std::string tierRefusal = R"({"error":"preset deep is not allowed for this tier"})";

class CorvaneResponsesTest : public ::testing::Test {
  protected:
    CorvaneResponses client() {
        return CorvaneResponses(http, server.baseURL(), presets,
                                [this](const std::optional<std::string>& failed) {
                                    refreshedWith.push_back(failed);
                                    return refreshed;
                                });
    }

    std::vector<nlohmann::json> bodies() const {
        std::vector<nlohmann::json> out;
        for (const auto& request : server.requests()) {
            out.push_back(nlohmann::json::parse(request.body));
        }
        return out;
    }

    test::StubHttpServer server;
    InMemoryDefaults defaults;
    PresetSelection presets{defaults};
    HttpClient http;
    std::optional<RouteCredentials> refreshed;
    std::vector<std::optional<std::string>> refreshedWith;
};

TEST_F(CorvaneResponsesTest, WithoutUsableCredentialsOrRouteNothingIsSent) {
    test::LogCapture log;
    server.script("POST", responsesPath, {Reply::json(200, textReply("hi"))});
    const RouteCredentials cases[] = {{}, {" \n", std::nullopt}, {"", "\t"}};
    for (const auto& credentials : cases) {
        EXPECT_EQ(client().complete({.prompt = "p", .credentials = credentials}), std::nullopt);
    }
    EXPECT_TRUE(log->records().empty());

    // An API key alone names no model.
    EXPECT_EQ(client().complete({.prompt = "p", .credentials = {"key", std::nullopt}}),
              std::nullopt);
    EXPECT_EQ(server.requestCount(), 0u);
    const auto events = log->events("responses_model_route_invalid");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].metadata.at("error"),
              "Developer API-key requests require an explicit utility model. Set "
              "VASK_RLM_UTILITY_MODEL.");
}

TEST_F(CorvaneResponsesTest, SendsOneCredentialHeaderAndTheWireBody) {
    server.script("POST", responsesPath, {Reply::json(200, textReply("hello"))});
    EXPECT_EQ(client().complete({.prompt = "  Title this\n",
                                 .maxOutputTokens = 64,
                                 .credentials = {"key", " tok\n"},
                                 .reasoningEffort = ""}),
              "hello");
    EXPECT_EQ(client().complete({.prompt = "q",
                                 .maxOutputTokens = 8,
                                 .credentials = {" key\n", std::nullopt},
                                 .route = ModelRoute::explicitModel("m-x"),
                                 .reasoningEffort = " "}),
              "hello");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& request : requests) {
        EXPECT_EQ(request.header("Content-Type"), "application/json");
        EXPECT_EQ(request.header("Accept"), "application/json");
        EXPECT_EQ(request.header("X-Corvane-Client"), "vask-swift");
    }
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer tok");
    EXPECT_FALSE(requests[0].header("X-Corvane-Api-Key"));
    EXPECT_EQ(requests[1].header("X-Corvane-Api-Key"), "key");
    EXPECT_FALSE(requests[1].header("Authorization"));

    const auto body = bodies();
    EXPECT_EQ(body[0],
              nlohmann::json::parse(
                  R"({"input":[{"type":"message","role":"user","content":)"
                  R"([{"type":"text","text":"  Title this\n"}]}],"max_output_tokens":64})"));
    EXPECT_EQ(body[1]["model"], "m-x");
    EXPECT_EQ(body[1]["reasoning_effort"], " ");
}

TEST_F(CorvaneResponsesTest, ManagedCallRoutesThroughTheStoredSelection) {
    server.script("POST", responsesPath, {Reply::json(200, textReply("ok"))});
    presets.adopt(test::sampleCatalog());
    client().complete({.prompt = "p", .credentials = {std::nullopt, "tok"}});
    presets.select("fast");
    client().complete({.prompt = "p", .credentials = {std::nullopt, "tok"}});
    // An API key with a preset route is the caller's to give; a stored preset is not used.
    client().complete({.prompt = "p",
                       .credentials = {"key", std::nullopt},
                       .route = ModelRoute::explicitModel("dev")});
    const auto body = bodies();
    ASSERT_EQ(body.size(), 3u);
    EXPECT_EQ(body[0]["model"], "model-r");  // the default recursive preset's root model
    EXPECT_EQ(body[1]["model"], "model-f");
    EXPECT_EQ(body[2]["model"], "dev");
}

TEST_F(CorvaneResponsesTest, RecoversFromRefusalsAtMostOnceEach) {
    struct Case {
        const char* name;
        std::optional<ModelRoute> route;  // nothing: the stored preset
        RouteCredentials credentials;
        std::vector<Reply> replies;
        std::optional<RouteCredentials> refreshed;
        std::optional<std::string> text;
        // The "model" of each POST ("" when absent) and its Authorization header.
        std::vector<std::pair<std::string, std::string>> posts;
        std::size_t refreshes;
        std::size_t staleNotifications;
    };
    const RouteCredentials managed{std::nullopt, "tok"};
    const RouteCredentials renewed{std::nullopt, "tok-2"};
    const std::vector<Case> cases = {
        {"tier refusal retries on the plan default",
         std::nullopt,
         managed,
         {Reply::json(403, tierRefusal), Reply::json(200, textReply("ok"))},
         std::nullopt,
         "ok",
         {{"model-r", "Bearer tok"}, {"", "Bearer tok"}},
         0,
         1},
        {"second tier refusal ends the call",
         std::nullopt,
         managed,
         {Reply::json(403, tierRefusal)},
         std::nullopt,
         std::nullopt,
         {{"model-r", "Bearer tok"}, {"", "Bearer tok"}},
         0,
         1},
        {"403 without the phrase is a plain failure",
         std::nullopt,
         managed,
         {Reply::json(403, R"({"error":"Is Not Allowed For This Tier"})")},
         std::nullopt,
         std::nullopt,
         {{"model-r", "Bearer tok"}},
         0,
         0},
        {"tier refusal on an explicit route",
         ModelRoute::explicitModel("x"),
         managed,
         {Reply::json(403, tierRefusal)},
         std::nullopt,
         std::nullopt,
         {{"x", "Bearer tok"}},
         0,
         0},
        {"401 refreshes once and retries",
         std::nullopt,
         managed,
         {Reply::json(401, ""), Reply::json(200, textReply("ok"))},
         renewed,
         "ok",
         {{"model-r", "Bearer tok"}, {"model-r", "Bearer tok-2"}},
         1,
         0},
        {"second 401 ends without a second refresh",
         std::nullopt,
         managed,
         {Reply::json(401, "")},
         renewed,
         std::nullopt,
         {{"model-r", "Bearer tok"}, {"model-r", "Bearer tok-2"}},
         1,
         0},
        {"401 when the refresh failed",
         std::nullopt,
         managed,
         {Reply::json(401, "")},
         std::nullopt,
         std::nullopt,
         {{"model-r", "Bearer tok"}},
         1,
         0},
        {"401 with an API key alone",
         ModelRoute::explicitModel("x"),
         {"key", std::nullopt},
         {Reply::json(401, "")},
         renewed,
         std::nullopt,
         {{"x", ""}},
         0,
         0},
        {"tier refusal then 401 makes three POSTs",
         std::nullopt,
         managed,
         {Reply::json(403, tierRefusal), Reply::json(401, ""), Reply::json(200, textReply("ok"))},
         renewed,
         "ok",
         {{"model-r", "Bearer tok"}, {"", "Bearer tok"}, {"", "Bearer tok-2"}},
         1,
         1},
        {"401 then tier refusal then 401 again",
         std::nullopt,
         managed,
         {Reply::json(401, ""), Reply::json(403, tierRefusal), Reply::json(401, "")},
         renewed,
         std::nullopt,
         {{"model-r", "Bearer tok"}, {"model-r", "Bearer tok-2"}, {"", "Bearer tok-2"}},
         1,
         1},
        {"500 is not retried",
         std::nullopt,
         managed,
         {Reply::json(500, "")},
         std::nullopt,
         std::nullopt,
         {{"model-r", "Bearer tok"}},
         0,
         0},
        {"429 is not retried",
         std::nullopt,
         managed,
         {Reply::json(429, "")},
         std::nullopt,
         std::nullopt,
         {{"model-r", "Bearer tok"}},
         0,
         0},
        {"assistant with a capital A is empty output",
         std::nullopt,
         managed,
         {Reply::json(200, R"({"output":[{"type":"message","role":"Assistant","content":)"
                           R"([{"type":"text","text":"x"}]}]})")},
         std::nullopt,
         std::nullopt,
         {{"model-r", "Bearer tok"}},
         0,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::StubHttpServer stub;
        stub.script("POST", responsesPath, c.replies);
        InMemoryDefaults store;
        PresetSelection storePresets{store};
        storePresets.adopt(test::sampleCatalog());
        std::atomic<int> stale = 0;
        const auto observed = storePresets.observeStaleCatalog([&] { ++stale; });
        std::size_t refreshes = 0;
        CorvaneResponses responses(http, stub.baseURL(), storePresets,
                                   [&](const std::optional<std::string>& failed) {
                                       ++refreshes;
                                       EXPECT_EQ(failed, "tok");
                                       return c.refreshed;
                                   });
        EXPECT_EQ(
            responses.complete({.prompt = "p", .credentials = c.credentials, .route = c.route}),
            c.text);
        const auto requests = stub.requests();
        ASSERT_EQ(requests.size(), c.posts.size());
        for (std::size_t i = 0; i < requests.size(); ++i) {
            const auto body = nlohmann::json::parse(requests[i].body);
            EXPECT_EQ(body.value("model", ""), c.posts[i].first) << i;
            EXPECT_EQ(requests[i].header("Authorization").value_or(""), c.posts[i].second) << i;
        }
        EXPECT_EQ(refreshes, c.refreshes);
        EXPECT_EQ(stale.load(), static_cast<int>(c.staleNotifications));
        if (c.staleNotifications > 0) {
            EXPECT_FALSE(storePresets.current().snapshot);
        }
    }
}

TEST_F(CorvaneResponsesTest, TierRefusalOfAReplacedCatalogLeavesTheNewOneAlone) {
    test::LogCapture log;
    presets.adopt(test::sampleCatalog());
    const auto first = presets.current().utilityResolution();
    std::atomic<int> stale = 0;
    const auto observed = presets.observeStaleCatalog([&] { ++stale; });
    // The catalog is replaced while the refused call is under way.
    std::atomic<int> calls = 0;
    server.handle("POST", responsesPath, [&](const auto&) {
        if (calls++ == 0) {
            presets.adopt(test::sampleCatalog());
            return Reply::json(403, tierRefusal);
        }
        return Reply::json(200, textReply("ok"));
    });
    EXPECT_EQ(client().complete({.prompt = "p", .credentials = {std::nullopt, "tok"}}), "ok");
    const auto record = presets.current();
    ASSERT_TRUE(record.snapshot);
    EXPECT_NE(record.snapshot->id, first->snapshotID);
    EXPECT_EQ(stale.load(), 0);
    EXPECT_EQ(log->events("responses_stale_preset_cleared").at(0).metadata.at("model"), "model-r");
}

TEST_F(CorvaneResponsesTest, PreflightIsAskedBeforeEveryPost) {
    test::LogCapture log;
    presets.adopt(test::sampleCatalog());
    server.script("POST", responsesPath, {Reply::json(403, tierRefusal)});
    int asked = 0;
    EXPECT_EQ(client().complete({.prompt = "p",
                                 .credentials = {std::nullopt, "tok"},
                                 .preflight = [&] { return ++asked == 1; }}),
              std::nullopt);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(server.requestCount(), 1u);
    const auto records = log->records();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[records.size() - 2].event, "responses_stale_preset_cleared");
    EXPECT_EQ(records.back().event, "responses_preflight_declined");
    EXPECT_EQ(records.back().metadata.at("model"), "tier_default");
}

TEST_F(CorvaneResponsesTest, FailuresAreLoggedWithTheirEvents) {
    struct Case {
        const char* name;
        std::optional<Reply> reply;  // nothing: the server is gone
        const char* event;
        std::map<std::string, std::string> metadata;
    };
    const std::vector<Case> cases = {
        {"transport failure", std::nullopt, "responses_request_failed", {{"model", "m"}}},
        {"not JSON",
         Reply::text(200, "hello"),
         "responses_empty_output",
         {{"model", "m"}, {"max_tokens", "12"}}},
        {"server error",
         Reply::json(503, "busy"),
         "responses_http_error",
         {{"model", "m"}, {"status", "503"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture log;
        test::StubHttpServer stub;
        const test::RefusedPort refused;
        if (c.reply) {
            stub.script("POST", responsesPath, {*c.reply});
        }
        CorvaneResponses responses(http, c.reply ? stub.baseURL() : refused.baseURL(), presets,
                                   [](const auto&) { return std::nullopt; });
        EXPECT_EQ(responses.complete({.prompt = "p",
                                      .maxOutputTokens = 12,
                                      .credentials = {std::nullopt, "secret-token"},
                                      .route = ModelRoute::explicitModel("m")}),
                  std::nullopt);
        const auto records = log->records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].event, c.event);
        EXPECT_EQ(records[0].metadata, c.metadata);
        EXPECT_FALSE(log->mentions("secret-token"));
    }
}

TEST(CorvaneResponsesText, ExtractsAssistantTextParts) {
    struct Case {
        const char* name;
        std::string body;
        std::string expected;
    };
    const Case cases[] = {
        {"parts and messages concatenate",
         R"({"output":[{"type":"message","role":"assistant","content":[{"type":"text","text":"A"},)"
         R"({"type":"image","text":"no"},{"type":"text","text":"B"}]},{"type":"reasoning"},)"
         R"({"type":"message","role":"assistant","content":[{"type":"text","text":"C"}]}],)"
         R"("usage":{}})",
         "ABC"},
        {"whitespace is text", textReply("  "), "  "},
        {"not JSON", "nope", ""},
        {"top level array", "[]", ""},
        {"output not an array", R"({"output":{}})", ""},
        {"content not an array",
         R"({"output":[{"type":"message","role":"assistant","content":"A"}]})", ""},
        {"text not a string",
         R"({"output":[{"type":"message","role":"assistant","content":[{"type":"text","text":1}]}]})",
         ""},
        {"user messages skipped",
         R"({"output":[{"type":"message","role":"user","content":[{"type":"text","text":"A"}]}]})",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CorvaneResponses::extractText(c.body), c.expected);
    }
}

TEST(CorvaneResponsesRefresh, RebuildsCredentialsFromTheModeAfterARefresh) {
    struct Case {
        const char* name;
        bool refreshed;
        AuthMode mode;
        std::optional<RouteCredentials> expected;
    };
    const Case cases[] = {
        {"refresh failed", false, AuthMode::managed("t2", "a2"), std::nullopt},
        {"managed", true, AuthMode::managed("t2", "a2"), RouteCredentials{std::nullopt, "t2"}},
        {"api key", true, AuthMode::apiKey("k"), RouteCredentials{"k", std::nullopt}},
        {"signed out meanwhile", true, AuthMode::none(), RouteCredentials{}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::string> asked;
        const auto refresh = CorvaneResponses::refreshingThrough(
            [&](const std::optional<std::string>& failed) {
                asked = failed;
                return c.refreshed;
            },
            [&] { return c.mode; });
        EXPECT_EQ(refresh("t1"), c.expected);
        EXPECT_EQ(asked, "t1");
    }
}

}  // namespace
}  // namespace vask
