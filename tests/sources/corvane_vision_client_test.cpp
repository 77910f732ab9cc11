#include "sources/corvane_vision_client.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/stub_http_server.h"

namespace vask {
namespace {

using nlohmann::json;
using Reply = test::StubHttpServer::Reply;

const std::string kAssistantReply = R"({"output": [{"type": "message", "role": "assistant",
    "content": [{"type": "text", "text": "# Title"}]}], "usage": null})";

TEST(CorvaneVisionClientTest, SendsTheDocumentWithTheCredentialHeader) {
    struct Case {
        std::string name;
        std::optional<std::string> apiKey;
        std::optional<std::string> token;
        std::optional<std::string> model;
    };
    const std::vector<Case> cases = {
        {"customer token", std::nullopt, "tok", "vision-1"},
        {"api key", "key", std::nullopt, std::nullopt},
        {"token wins over key", "key", "tok", std::nullopt},
        {"no credential still sends", std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::StubHttpServer server;
        server.script("POST", "/api/v1/responses", {Reply::json(200, kAssistantReply)});
        const HttpClient http;
        const CorvaneVisionClient client(c.apiKey, c.token, 45.0, server.baseURL(), http);
        const auto output = client.parseMarkdown("Convert", std::string("\x89PNG\0\x01", 6),
                                                 "image/png", "report.pdf-page-1.png", c.model);
        EXPECT_EQ(output.markdown, "# Title");
        EXPECT_EQ(output.tokenCost, 0);

        const auto request = server.requests().at(0);
        EXPECT_EQ(request.header("Content-Type"), "application/json");
        EXPECT_EQ(request.header("Accept"), "application/json");
        EXPECT_EQ(request.header("X-Corvane-Client"), "vask-file-parser");
        EXPECT_EQ(request.header("Authorization"),
                  c.token ? std::optional<std::string>("Bearer " + *c.token) : std::nullopt);
        EXPECT_EQ(request.header("X-Corvane-Api-Key"), c.token ? std::nullopt : c.apiKey);

        const auto body = json::parse(request.body);
        EXPECT_EQ(body.contains("model"), c.model.has_value());
        if (c.model) {
            EXPECT_EQ(body["model"], *c.model);
        }
        EXPECT_EQ(body["max_output_tokens"], 2048);
        EXPECT_FALSE(body.contains("reasoning_effort"));
        EXPECT_EQ(body["input"][0]["role"], "system");
        EXPECT_EQ(body["input"][0]["content"][0]["text"],
                  "You are a document parser. Return only markdown.");
        const auto& user = body["input"][1];
        EXPECT_EQ(user["role"], "user");
        EXPECT_EQ(user["content"][0], (json{{"type", "text"}, {"text", "Convert"}}));
        EXPECT_EQ(user["content"][1]["type"], "file");
        EXPECT_EQ(user["content"][1]["file"], (json{{"data_base64", "iVBORwAB"},
                                                    {"mime_type", "image/png"},
                                                    {"filename", "report.pdf-page-1.png"}}));
    }
}

TEST(CorvaneVisionClientTest, DecodesMarkdownAndTokenCost) {
    struct Case {
        std::string name;
        std::string body;
        std::optional<std::string> markdown;  // nothing: the decode fails
        std::int64_t tokenCost = 0;
    };
    const std::vector<Case> cases = {
        {"usage counted",
         R"({"output": [{"type": "message", "role": "assistant", "content": [
             {"type": "text", "text": "a"}, {"type": "image"}, {"type": "text", "text": "b"}]},
             {"type": "message", "role": "assistant", "content": [{"type": "text", "text": "c"}]}],
            "usage": {"input_tokens": 1200, "output_tokens": 300}})",
         "abc", 1500},
        {"usage absent", R"({"output": []})", "", 0},
        {"other items and roles give empty text",
         R"({"output": [{"type": "reasoning", "content": [{"type": "text", "text": "x"}]},
             {"type": "message", "content": [{"type": "text", "text": "y"}]},
             {"type": "message", "role": "Assistant", "content": [{"type": "text", "text": "z"}]}]})",
         "", 0},
        {"an item without content fails the whole reply",
         R"({"output": [{"type": "message", "role": "assistant", "content": [
             {"type": "text", "text": "kept?"}]}, {"type": "message", "role": "assistant"}]})",
         std::nullopt},
        {"a text part without text fails",
         R"({"output": [{"type": "message", "role": "assistant", "content": [{"type": "text"}]}]})",
         std::nullopt},
        {"usage with a missing count fails", R"({"output": [], "usage": {"input_tokens": 1}})",
         std::nullopt},
        {"no output fails", R"({"usage": null})", std::nullopt},
        {"not JSON fails", "<html>", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::StubHttpServer server;
        server.script("POST", "/api/v1/responses", {Reply::json(200, c.body)});
        const HttpClient http;
        const auto client = CorvaneVisionClient::withApiKey("k", 45.0, server.baseURL(), http);
        if (!c.markdown) {
            try {
                client.parseMarkdown("p", "d", "image/png", "f.png", std::nullopt);
                ADD_FAILURE() << "decoded";
            } catch (const VisionClientError& error) {
                EXPECT_EQ(error.kind(), VisionClientError::Case::decodingFailed);
            }
            continue;
        }
        const auto output = client.parseMarkdown("p", "d", "image/png", "f.png", std::nullopt);
        EXPECT_EQ(output.markdown, *c.markdown);
        EXPECT_EQ(output.tokenCost, c.tokenCost);
    }
}

TEST(CorvaneVisionClientTest, FailedStatusesCarryTheBody) {
    struct Case {
        int status;
        std::string body;
        std::string description;
    };
    const std::vector<Case> cases = {
        {413, "", "Corvane request failed (status 413)"},
        {400, "bad image", "Corvane request failed (status 400): bad image"},
        {401, "expired", "Corvane request failed (status 401): expired"},
        {500, "\xFF\xFE", "Corvane request failed (status 500)"},  // not UTF-8: dropped
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        test::StubHttpServer server;
        server.script("POST", "/api/v1/responses", {Reply::text(c.status, c.body)});
        server.script("GET", "/api/v1/models", {Reply::text(c.status, c.body)});
        const HttpClient http;
        const auto client =
            CorvaneVisionClient::withCustomerToken("t", 45.0, server.baseURL(), http);
        for (const bool models : {false, true}) {
            try {
                if (models) {
                    client.fetchVisionModels();
                } else {
                    client.parseMarkdown("p", "d", "image/png", "f.png", std::nullopt);
                }
                ADD_FAILURE() << "succeeded";
            } catch (const VisionClientError& error) {
                EXPECT_EQ(error.kind(), VisionClientError::Case::requestFailed);
                EXPECT_EQ(error.status(), c.status);
                EXPECT_EQ(std::string(error.what()), c.description);
            }
        }
        EXPECT_EQ(server.requestCount(), 2U);  // never retried
    }
}

TEST(CorvaneVisionClientTest, ModelListKeepsOnlyVisionCapableModels) {
    test::StubHttpServer server;
    server.script("GET", "/api/v1/models", {Reply::json(200, R"({"models": [
        {"model_id": "a", "capabilities": ["text", "VISION"]},
        {"model_id": "b", "capabilities": ["visionary"]},
        {"model_id": "c", "capabilities": []},
        {"model_id": "d", "capabilities": ["Vision"], "extra": 1},
        {"model_id": "a", "capabilities": ["vision"]}]})")});
    const HttpClient http;
    const CorvaneVisionClient client(std::nullopt, std::nullopt, 45.0, server.baseURL(), http);
    EXPECT_EQ(client.fetchVisionModels(), (std::set<std::string>{"a", "d"}));
    const auto request = server.requests().at(0);
    EXPECT_EQ(request.header("Accept"), "application/json");
    EXPECT_EQ(request.header("X-Corvane-Client"), "vask-file-parser");
    EXPECT_FALSE(request.header("Content-Type").has_value());
    EXPECT_FALSE(request.header("Authorization").has_value());
    EXPECT_FALSE(request.header("X-Corvane-Api-Key").has_value());

    EXPECT_THROW(CorvaneVisionClient::decodeModels(R"({"models": [{"model_id": "x"}]})"),
                 VisionClientError);
}

TEST(CorvaneVisionClientTest, TransportFailuresAndCancellationAreThrown) {
    test::StubHttpServer server;
    server.script("GET", "/api/v1/models", {Reply::dropped()});
    const HttpClient http;
    const auto client = CorvaneVisionClient::withApiKey("k", 45.0, server.baseURL(), http);
    EXPECT_THROW(client.fetchVisionModels(), HttpClient::Error);

    server.pause();
    std::stop_source stop;
    stop.request_stop();
    try {
        client.fetchVisionModels(stop.get_token());
        ADD_FAILURE() << "succeeded";
    } catch (const HttpClient::Error& error) {
        EXPECT_EQ(error.kind(), HttpClient::Error::Kind::cancelled);
    }
    server.resume();
}

}  // namespace
}  // namespace vask
