#include <gtest/gtest.h>

#include "platform/text.h"

namespace vask {
namespace {

TEST(Utf8ChecksTest, ValidityAndCuts) {
    struct Row {
        std::string bytes;
        bool valid;
    };
    const std::vector<Row> rows = {
        {"", true},
        {"plain", true},
        {"\u00e9\u20ac\U0001F600", true},
        {"\xc3\x28", false},          // broken continuation
        {"\xc0\xaf", false},          // overlong
        {"\xe0\x80\xaf", false},      // overlong, three bytes
        {"\xed\xa0\x80", false},      // surrogate
        {"\xf4\x90\x80\x80", false},  // past U+10FFFF
        {"\xf0\x9f\x98", false},      // cut short at the end
        {"\xff", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(text::isValidUtf8(row.bytes), row.valid) << testing::PrintToString(row.bytes);
    }
    const std::string mixed = "a\u00e9\U0001F600";  // 1 + 2 + 4 bytes
    EXPECT_EQ(text::utf8Prefix(mixed, 100), mixed);
    EXPECT_EQ(text::utf8Prefix(mixed, 2), "a");
    EXPECT_EQ(text::utf8Prefix(mixed, 3), "a\u00e9");
    EXPECT_EQ(text::utf8Prefix(mixed, 6), "a\u00e9");
    EXPECT_EQ(text::utf8Prefix(mixed, 0), "");
}

}  // namespace
}  // namespace vask
