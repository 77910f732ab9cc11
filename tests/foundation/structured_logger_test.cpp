#include <gtest/gtest.h>

#include "foundation/nil_if_empty.h"
#include "foundation/structured_logger.h"
#include "support/log_capture.h"

namespace vask {
namespace {

TEST(StructuredLogger, FormatsTheEventThenUnquotedPairs) {
    struct Case {
        const char* name;
        StructuredLogger::Metadata metadata;
        std::string expected;
    };
    const Case cases[] = {
        {"no metadata: the name alone, no trailing blank", {}, "auth_mode_resolved"},
        {"one entry", {{"mode", "managed"}}, "auth_mode_resolved mode=managed"},
        {"blank inside a value runs on unquoted",
         {{"error", "no such file"}},
         "auth_mode_resolved error=no such file"},
        {"equals and newline unchanged", {{"k", "a=b\nc"}}, "auth_mode_resolved k=a=b\nc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(StructuredLogger::format("auth_mode_resolved", c.metadata), c.expected);
    }
    const auto two = StructuredLogger::format("keychain_read_failed",
                                              {{"status", "-25300"}, {"key", "corvane.api.key"}});
    EXPECT_TRUE(two == "keychain_read_failed key=corvane.api.key status=-25300" ||
                two == "keychain_read_failed status=-25300 key=corvane.api.key");
}

TEST(StructuredLogger, WarningAndErrorShareTheErrorLevel) {
    test::LogCapture log;
    const StructuredLogger logger("config");
    logger.info("a");
    logger.warning("b", {{"x", "1"}});
    logger.error("c");
    const auto records = log->records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].level, LogLevel::info);
    EXPECT_EQ(records[1].level, LogLevel::error);
    EXPECT_EQ(records[2].level, LogLevel::error);
    EXPECT_EQ(records[1].subsystem, "ai.ternwick.Vask");
    EXPECT_EQ(records[1].category, "config");
    EXPECT_EQ(records[1].event, "b");
    EXPECT_EQ(records[1].metadata.at("x"), "1");
    EXPECT_EQ(records[1].message, "b x=1");
}

TEST(StructuredLogger, DisabledLevelWritesNothing) {
    class ErrorsOnly final : public LogSink {
      public:
        bool isEnabled(LogLevel level) const override { return level == LogLevel::error; }
        void write(const LogRecord& record) override { written.push_back(record.event); }
        std::vector<std::string> written;
    };
    auto sink = std::make_shared<ErrorsOnly>();
    auto previous = LogSink::install(sink);
    const StructuredLogger logger("config");
    logger.info("dropped");
    logger.error("kept");
    LogSink::install(previous);
    EXPECT_EQ(sink->written, (std::vector<std::string>{"kept"}));
}

TEST(NilIfEmpty, TrimsOrGivesNothing) {
    struct Case {
        std::string input;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"  key \n", "key"}, {"\tsk-abc def\r\n", "sk-abc def"}, {" \t\n ", std::nullopt},
        {"", std::nullopt},  {"\u00a0\u2028", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(nilIfEmpty(c.input), c.expected);
    }
}

}  // namespace
}  // namespace vask
