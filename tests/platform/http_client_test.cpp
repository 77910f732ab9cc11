#include <gtest/gtest.h>

#include <optional>
#include <thread>
#include <vector>

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
    const HttpClient client;
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
            HttpClient().send({"GET", url, {}, {}, c.timeout});
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
            HttpClient().send(
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

TEST(HttpClientTest, StopAllEndsExchangesInProgressAndRefusesLaterOnes) {
    // The callers pass no stop token of their own, as a launch's background refresh does.
    test::StubHttpServer server;
    server.script("GET", "/slow", {Reply::json(200, "{}")});
    server.pause();
    HttpClient client;
    std::vector<std::optional<HttpClient::Error::Kind>> kinds(2);
    std::vector<std::thread> callers;
    for (auto& kind : kinds) {
        callers.emplace_back([&client, &server, &kind] {
            try {
                client.send({"GET",
                             server.baseURL().appendingPath("slow"),
                             {},
                             {},
                             std::chrono::seconds(60)});
            } catch (const HttpClient::Error& e) {
                kind = e.kind();
            }
        });
    }
    ASSERT_TRUE(server.waitForRequests(2));
    client.stopAll();
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(kinds[0], HttpClient::Error::Kind::cancelled);
    EXPECT_EQ(kinds[1], HttpClient::Error::Kind::cancelled);
    const auto before = server.requestCount();
    try {
        client.send({"GET", server.baseURL().appendingPath("slow"), {}, {}});
        ADD_FAILURE() << "a request after stopAll was sent";
    } catch (const HttpClient::Error& e) {
        EXPECT_EQ(e.kind(), HttpClient::Error::Kind::cancelled);
    }
    EXPECT_EQ(server.requestCount(), before);
    server.resume();
}

Reply redirect(int status, const std::string& location) {
    Reply reply = Reply::text(status, "");
    reply.headers = {{"Location", location}};
    return reply;
}

// Requests carry credentials in their headers and body: a redirect may take them only to the
// same scheme, host and port.
TEST(HttpClientTest, RedirectsStayWithinTheOrigin) {
    test::StubHttpServer server;
    test::StubHttpServer elsewhere;
    const auto here = server.baseURL().absoluteString();
    const auto sameHostOtherName = "http://localhost:" + std::to_string(server.port()) + "/landing";
    struct Case {
        const char* name;
        const char* method;
        Reply first;
        std::optional<HttpClient::Error::Kind> error;
        const char* landedMethod;  // at /landing, when followed
        bool landedWithBody;
    };
    const Case cases[] = {
        {"302 relative", "GET", redirect(302, "/landing"), std::nullopt, "GET", false},
        {"301 absolute, same origin", "GET", redirect(301, here + "/landing"), std::nullopt, "GET",
         false},
        {"307 repeats the POST", "POST", redirect(307, "/landing"), std::nullopt, "POST", true},
        {"308 repeats the POST", "POST", redirect(308, "/landing"), std::nullopt, "POST", true},
        {"303 continues as GET", "POST", redirect(303, "/landing"), std::nullopt, "GET", false},
        {"302 after a POST continues as GET", "POST", redirect(302, "/landing"), std::nullopt,
         "GET", false},
        {"other port", "GET", redirect(302, elsewhere.baseURL().absoluteString() + "/landing"),
         HttpClient::Error::Kind::redirectRefused, nullptr, false},
        {"307 to another port keeps the body home", "POST",
         redirect(307, elsewhere.baseURL().absoluteString() + "/landing"),
         HttpClient::Error::Kind::redirectRefused, nullptr, false},
        {"other host name", "GET", redirect(302, sameHostOtherName),
         HttpClient::Error::Kind::redirectRefused, nullptr, false},
        {"other scheme", "GET", redirect(302, "https://127.0.0.1:1/landing"),
         HttpClient::Error::Kind::redirectRefused, nullptr, false},
        {"endless", "GET", redirect(302, "/start"), HttpClient::Error::Kind::transport, nullptr,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.script(c.method, "/start", {c.first});
        server.script("GET", "/landing", {Reply::json(200, "landed")});
        server.script("POST", "/landing", {Reply::json(200, "landed")});
        elsewhere.script("GET", "/landing", {Reply::json(200, "stolen")});
        elsewhere.script("POST", "/landing", {Reply::json(200, "stolen")});
        const auto before = server.requestCount();
        const HttpRequest request{c.method,
                                  server.baseURL().appendingPath("start"),
                                  {{"X-Corvane-Api-Key", "key-1"}},
                                  std::string(c.method) == "POST" ? "secret body" : ""};
        try {
            const auto response = HttpClient().send(request);
            ASSERT_FALSE(c.error) << "followed";
            EXPECT_EQ(response.status, 200);
            EXPECT_EQ(response.body, "landed");
            const auto requests = server.requests();
            ASSERT_EQ(requests.size() - before, 2u);
            const auto& landed = requests.back();
            EXPECT_EQ(landed.path, "/landing");
            EXPECT_EQ(landed.method, c.landedMethod);
            EXPECT_EQ(landed.body, c.landedWithBody ? "secret body" : "");
            EXPECT_EQ(landed.header("X-Corvane-Api-Key"), "key-1");
        } catch (const HttpClient::Error& e) {
            ASSERT_TRUE(c.error) << e.what();
            EXPECT_EQ(e.kind(), *c.error);
        }
        EXPECT_EQ(elsewhere.requestCount(), 0u);
    }
}

TEST(HttpClientTest, RepliesPastTheCapAreRefused) {
    constexpr std::size_t cap = 64 << 10;
    struct Case {
        std::size_t size;
        bool accepted;
    };
    const Case cases[] = {{0, true}, {cap, true}, {cap + 1, false}, {cap * 8, false}};
    test::StubHttpServer server;
    const HttpClient client(cap);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        server.script("GET", "/big", {Reply::text(200, std::string(c.size, 'x'))});
        try {
            const auto response =
                client.send({"GET", server.baseURL().appendingPath("big"), {}, {}});
            EXPECT_TRUE(c.accepted);
            EXPECT_EQ(response.body.size(), c.size);
        } catch (const HttpClient::Error& e) {
            EXPECT_FALSE(c.accepted);
            EXPECT_EQ(e.kind(), HttpClient::Error::Kind::replyTooLarge);
            EXPECT_STREQ(e.what(), "The reply is larger than 65536 bytes");
        }
    }
    EXPECT_EQ(HttpClient::defaultMaxReplyBytes, std::size_t{32} << 20);
}

}  // namespace
}  // namespace vask
