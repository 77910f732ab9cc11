#include <gtest/gtest.h>

#include "foundation/reply_redaction.h"
#include "platform/text.h"

namespace vask {
namespace {

TEST(ReplyRedaction, RefusalsKeepTheirWordsAndLoseTheirSecrets) {
    struct Case {
        const char* name;
        std::string body;
        const char* secret;
        std::string expected;
    };
    const Case cases[] = {
        {"plain text kept", "database down", "abc-123", "database down"},
        {"secret quoted in text", "code abc-123 expired", "abc-123", "code [s] expired"},
        {"secret inside a longer word stays", "xabc-123 abc-1234", "abc-123", "xabc-123 abc-1234"},
        {"short secret leaves other words whole", R"({"code":"e","error":"invalid code"})", "e",
         R"({"code":"[s]","error":"invalid code"})"},
        {"short secret in text", "bad request e", "e", "bad request [s]"},
        {"token members at any depth",
         R"({"error":{"detail":[{"refresh_token":"r1"}],"access_token":"a1"},"ok":false})", "",
         R"({"error":{"access_token":"[redacted]","detail":[{"refresh_token":"[redacted]"}]},)"
         R"("ok":false})"},
        {"camel-case token members", R"([{"accessToken":"a1","customerToken":"c1"}])", "",
         R"([{"accessToken":"[redacted]","customerToken":"[redacted]"}])"},
        {"secret as a nested value", R"({"errors":["token r-9 revoked",{"got":"r-9"}]})", "r-9",
         R"({"errors":["token [s] revoked",{"got":"[s]"}]})"},
        {"untouched JSON keeps its own form", "{\"error\": \"nope\"}", "zz",
         "{\"error\": \"nope\"}"},
        {"not UTF-8", "bad \xff\xfe", "abc", "Unknown error"},
        {"empty secret is no secret", "a b", "", "a b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(redactedRefusal(c.body, c.secret, "[s]"), c.expected);
    }
}

TEST(ReplyRedaction, LongRefusalsAreCut) {
    const std::string huge(5 << 20, 'x');
    for (const auto& body : {huge, R"({"error":")" + huge + R"("})"}) {
        const auto message = redactedRefusal(body, "secret", "[s]");
        EXPECT_EQ(text::graphemeCount(message), maxRefusalCharacters + 1);
        EXPECT_TRUE(message.ends_with("\u2026"));
    }
}

}  // namespace
}  // namespace vask
