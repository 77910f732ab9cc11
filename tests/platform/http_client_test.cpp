#include <gtest/gtest.h>

#include <thread>

#include "platform/http_client.h"
#include "support/stub_http_server.h"

namespace vask {
namespace {

using Reply = test::StubHttpServer::Reply;

TEST(HttpClientTest, CarriesMethodHeadersBodyAndStatusBothWays) {
    struct Case {
        const char* method;
        std::string body;
        Reply reply;
    };
    Reply withHeader = Reply::json(201, R"({"ok":true})");
    withHeader.headers = {{"X-Request-Id", "abc"}};
    const Case cases[] = {
        {"GET", "", Reply::json(200, "[]")},
        {"POST", R"({"refresh_token":"r"})", withHeader},
        {"PUT", "x", Reply::text(401, "unauthorized")},
        {"DELETE", "", Reply::text(500, "")},
        {"POST", "", Reply::json(204, "")},
    };
    test::StubHttpServer server;
    const HttpClient& client = HttpClient::shared();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + std::to_string(c.reply.status));
        server.script(c.method, "/api/v1/thing", {c.reply});
        const auto before = server.requestCount();
        const auto response =
            client.send({c.method,
                         server.baseURL().appendingPath("api/v1/thing"),
                         {{"Content-Type", "application/json"}, {"Authorization", "Bearer t"}},
                         c.body});
        EXPECT_EQ(response.status, c.reply.status);
        EXPECT_EQ(response.body, c.reply.body);
        if (!c.reply.headers.empty()) {
            EXPECT_EQ(response.header("x-request-id"), "abc");
        }
        const auto request = server.requests().at(before);
        EXPECT_EQ(request.method, c.method);
        EXPECT_EQ(request.body, c.body);
        EXPECT_EQ(request.header("authorization"), "Bearer t");
        EXPECT_EQ(request.header("Expect"), std::nullopt);
    }
}

TEST(HttpClientTest, TransportFailuresThrowWithADescription) {
    struct Case {
        const char* name;
        std::function<Url(test::StubHttpServer&)> prepare;
        std::chrono::milliseconds timeout;
        HttpClient::Error::Kind kind;
    };
    const Case cases[] = {
        {"connection refused",
         [](test::StubHttpServer& s) {
             const auto url = s.baseURL();
             s.stop();
             return url;
         },
         std::chrono::seconds(5), HttpClient::Error::Kind::transport},
        {"connection dropped mid-reply",
         [](test::StubHttpServer& s) {
             s.script("GET", "/", {Reply::dropped()});
             return s.baseURL().appendingPath("");
         },
         std::chrono::seconds(5), HttpClient::Error::Kind::transport},
        {"time limit",
         [](test::StubHttpServer& s) {
             auto slow = Reply::json(200, "{}");
             slow.delay = std::chrono::seconds(30);
             s.script("GET", "/", {slow});
             return s.baseURL().appendingPath("");
         },
         std::chrono::milliseconds(200), HttpClient::Error::Kind::timedOut},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::StubHttpServer server;
        const auto url = c.prepare(server);
        try {
            HttpClient::shared().send({"GET", url, {}, {}, c.timeout});
            FAIL() << "no error";
        } catch (const HttpClient::Error& e) {
            EXPECT_EQ(e.kind(), c.kind);
            EXPECT_STRNE(e.what(), "");
        }
    }
}

TEST(HttpClientTest, StopRequestCancelsAnExchangeInProgress) {
    test::StubHttpServer server;
    server.script("GET", "/slow", {Reply::json(200, "{}")});
    server.pause();
    std::stop_source stop;
    std::optional<HttpClient::Error::Kind> kind;
    std::thread caller([&] {
        try {
            HttpClient::shared().send(
                {"GET", server.baseURL().appendingPath("slow"), {}, {}, std::chrono::seconds(60)},
                stop.get_token());
        } catch (const HttpClient::Error& e) {
            kind = e.kind();
        }
    });
    ASSERT_TRUE(server.waitForRequests(1));
    stop.request_stop();
    caller.join();
    EXPECT_EQ(kind, HttpClient::Error::Kind::cancelled);
    server.resume();
}

}  // namespace
}  // namespace vask
