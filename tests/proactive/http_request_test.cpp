#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "proactive/http_request.h"

namespace vask {
namespace {

TEST(HTTPRequestParsing, CompletesOnlyWithAUsableHeadAndTheWholeBody) {
    struct Case {
        const char* name;
        std::string buffer;
        std::optional<std::string> body;  // nothing: not complete
    };
    const std::string head = "POST /persona-context HTTP/1.1\r\n";
    const Case cases[] = {
        {"complete", head + "Content-Length: 2\r\n\r\n{}", "{}"},
        {"no blank line yet", head + "Content-Length: 2\r\n{}", std::nullopt},
        {"body still short", head + "Content-Length: 5\r\n\r\n{}", std::nullopt},
        {"bytes beyond the body ignored", head + "Content-Length: 2\r\n\r\n{}tail", "{}"},
        {"zero length", head + "Content-Length: 0\r\n\r\n", ""},
        {"plus sign", head + "Content-Length: +2\r\n\r\n{}", "{}"},
        {"minus zero", head + "Content-Length: -0\r\n\r\n", ""},
        {"negative", head + "Content-Length: -1\r\n\r\n{}", std::nullopt},
        {"no content length", head + "Host: x\r\n\r\n{}", std::nullopt},
        {"empty content length", head + "Content-Length:\r\n\r\n", std::nullopt},
        {"blanks inside the number", head + "Content-Length: 1 0\r\n\r\n", std::nullopt},
        {"above 64 bits", head + "Content-Length: 9223372036854775808\r\n\r\n", std::nullopt},
        {"huge but in range", head + "Content-Length: 9223372036854775807\r\n\r\n{}", std::nullopt},
        {"head not UTF-8", head + "X: \xff\r\nContent-Length: 0\r\n\r\n", std::nullopt},
        {"two pieces in the request line", "POST /persona-context\r\nContent-Length: 0\r\n\r\n",
         std::nullopt},
        {"runs of spaces", "POST   /persona-context   HTTP/1.1 extra\r\nContent-Length: 0\r\n\r\n",
         ""},
        {"empty head", "\r\n\r\n", std::nullopt},
        {"later header wins", head + "Content-Length: 9\r\ncontent-length: 1\r\n\r\nab", "a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto request = HTTPRequest::parseIfComplete(c.buffer);
        ASSERT_EQ(request.has_value(), c.body.has_value());
        if (request) {
            EXPECT_EQ(request->body, *c.body);
        }
    }
}

TEST(HTTPRequestParsing, HeaderNamesAreLowerCasedAndValuesTrimmedOfHorizontalSpace) {
    const auto request = HTTPRequest::parseIfComplete(
        "post  /x?y  HTTP/1.0\r\nAUTHORIZATION: \t Bearer  abc \u3000\r\nno colon line\r\n"
        "X-Odd :\u00a0v:w\r\nContent-Length: 0\r\n\r\n");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->method, "post");
    EXPECT_EQ(request->path, "/x?y");
    EXPECT_EQ(request->headers.at("authorization"), "Bearer  abc");
    EXPECT_EQ(request->headers.at("x-odd "), "v:w");
    EXPECT_EQ(request->headers.size(), 3u);
}

}  // namespace
}  // namespace vask
