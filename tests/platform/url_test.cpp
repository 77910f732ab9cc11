#include <gtest/gtest.h>

#include "platform/url.h"

namespace vask {
namespace {

TEST(Url, ParsesOnlyWellFormedAbsoluteUrls) {
    struct Case {
        const char* input;
        bool parses;
        const char* host;
        int port;  // -1: none
        const char* path;
    };
    const Case cases[] = {
        {"https://cloud.example.com", true, "cloud.example.com", -1, ""},
        {"http://127.0.0.1:8080/base/", true, "127.0.0.1", 8080, "/base/"},
        {"https://[::1]:9/x?y=1#z", true, "[::1]", 9, "/x"},
        {"HTTPS://Example.COM/Path", true, "example.com", -1, "/Path"},
        {"vask://auth/callback?code=abc", true, "auth", -1, "/callback"},
        {"", false, "", -1, ""},
        {"   ", false, "", -1, ""},
        {"not a url", false, "", -1, ""},
        {"example.com/path", false, "", -1, ""},
        {"https://", false, "", -1, ""},
        {"https:///path", false, "", -1, ""},
        {"https://host:99999", false, "", -1, ""},
        {"https://host:80a", false, "", -1, ""},
        {"https://bad%zzescape", false, "", -1, ""},
        {"https://host/a b", false, "", -1, ""},
        {"1https://host", false, "", -1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const auto url = Url::parse(c.input);
        ASSERT_EQ(url.has_value(), c.parses);
        if (url) {
            EXPECT_EQ(url->host(), c.host);
            EXPECT_EQ(url->port().value_or(-1), c.port);
            EXPECT_EQ(url->path(), c.path);
            EXPECT_EQ(url->absoluteString(), c.input);
        }
    }
}

TEST(Url, AppendingPathAndQueryItems) {
    const auto base = *Url::parse("https://cloud.example.com/");
    EXPECT_EQ(base.appendingPath("api/v1/auth/refresh").absoluteString(),
              "https://cloud.example.com/api/v1/auth/refresh");
    EXPECT_EQ(Url::parse("http://h:1/root")->appendingPath("/x").absoluteString(),
              "http://h:1/root/x");

    const auto withQuery = base.appendingPath("auth/google/start")
                               .withQueryItems({{"native", "1"}, {"next", "a b&c=d/é"}});
    EXPECT_EQ(withQuery.absoluteString(),
              "https://cloud.example.com/auth/google/start?native=1&next=a%20b%26c%3Dd%2F%C3%A9");
    const auto items = withQuery.queryItems();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1].value, "a b&c=d/é");

    const auto callback = *Url::parse("vask://auth?code&state=");
    const Url::QueryItems expected{{"code", std::nullopt}, {"state", ""}};
    EXPECT_EQ(callback.queryItems(), expected);
    EXPECT_EQ(Url::percentDecode("%4"), "%4");
}

}  // namespace
}  // namespace vask
