#include <gtest/gtest.h>

#include "platform/base64.h"
#include "platform/iso8601.h"

namespace vask {
namespace {

TEST(ISO8601Test, AcceptsOnlyInternetDateTimesWithoutFractions) {
    using namespace std::chrono;
    const auto reference = sys_days(year(2026) / 1 / 31) + hours(12);
    struct Case {
        const char* text;
        std::optional<Clock::WallTime> expected;
    };
    const Case cases[] = {
        {"2026-01-31T12:00:00Z", reference},      {"2026-01-31T13:30:00+01:30", reference},
        {"2026-01-31T07:00:00-05:00", reference}, {"2026-01-31T12:00:00.000Z", std::nullopt},
        {"2026-01-31T12:00:00", std::nullopt},    {"2026-01-31 12:00:00Z", std::nullopt},
        {"2026-01-31t12:00:00z", std::nullopt},   {"2026-02-29T00:00:00Z", std::nullopt},
        {"2026-01-31T24:00:00Z", std::nullopt},   {"2026-01-31T12:00:60Z", std::nullopt},
        {"2026-1-31T12:00:00Z", std::nullopt},    {"2026-01-31T12:00:00+0100", std::nullopt},
        {"2026-01-31T12:00:00Z ", std::nullopt},  {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseISO8601(c.text), c.expected) << c.text;
    }
    EXPECT_EQ(parseISO8601("2024-02-29T00:00:00Z"), sys_days(year(2024) / 2 / 29));
}

TEST(ISO8601Test, FormatsUTCWholeSecondsAndRoundTrips) {
    using namespace std::chrono;
    const Clock::WallTime early =
        sys_days(year(1969) / 12 / 31) + hours(23) + minutes(59) + seconds(59) + milliseconds(900);
    EXPECT_EQ(formatISO8601(early), "1969-12-31T23:59:59Z");
    for (const char* text :
         {"2026-01-31T12:00:00Z", "2000-02-29T23:59:59Z", "1970-01-01T00:00:00Z"}) {
        EXPECT_EQ(formatISO8601(*parseISO8601(text)), text);
    }
}

TEST(Base64Test, RoundTripsAnyBytesAndRefusesMalformedText) {
    std::string allBytes;
    for (int i = 0; i < 256; ++i) {
        allBytes += static_cast<char>(i);
    }
    for (const std::string& bytes : {std::string(), std::string("f"), std::string("fo"),
                                     std::string("foo"), std::string("\0\0", 2), allBytes}) {
        EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes);
    }
    EXPECT_EQ(base64Encode("foob"), "Zm9vYg==");
    for (const char* bad : {"Zm9", "Zm9vYg=", "Zm=vYg==", "Zm9v\nYg==", "Zm9vY===", "Zm9v*g=="}) {
        EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
    }
}

}  // namespace
}  // namespace vask
