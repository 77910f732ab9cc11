#include "store/phone_number_normalizer.h"

#include <gtest/gtest.h>

namespace vask {
namespace {

TEST(PhoneNumberNormalizer, ReducesNumbersToPlusAndDigits) {
    struct Case {
        const char* raw;
        const char* countryCode;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"", "1", std::nullopt},
        {" \n\t ", "1", std::nullopt},
        {"(555) 010-0123", "1", "+15550100123"},
        {"1-555-010-0123", "1", "+15550100123"},
        {"+44 20 7946 0000", "1", "+442079460000"},
        {"0044 20 7946 0000", "1", "+442079460000"},
        {"555-0100 ext. 12", "1", std::nullopt},
        {"555 0100 EXT 12", "1", std::nullopt},
        {"212 555 0100#3", "1", "+12125550100"},
        {"212-555-0100 Ext 9", "1", "+12125550100"},
        {"12345", "1", std::nullopt},
        {"1234567890123456", "1", std::nullopt},
        {"+1234567890123456", "1", "+1234567890123456"},
        {"00", "1", "+"},
        {"call me", "1", std::nullopt},
        {"5550100123", "", "+5550100123"},
        {"5550100123", "49", "+495550100123"},
        {"12345678", "1", "+12345678"},
        {"1234567", "1", std::nullopt},
        // Decimal digits of other scripts become ASCII digits.
        {"\xd9\xa5\xd9\xa5\xd9\xa5\xd9\xa5\xd9\xa5\xd9\xa5\xd9\xa5\xd9\xa5", "1", "+55555555"},
        {"(\xdb\xb5\xdb\xb5\xdb\xb5) \xdb\xb0\xdb\xb1\xdb\xb0-\xdb\xb0\xdb\xb1\xdb\xb2\xdb\xb3",
         "1", "+15550100123"},
        {"\xe0\xa5\xa6\xe0\xa5\xa6\xe0\xa5\xaa\xe0\xa5\xaa 20 7946 0000", "1", "+442079460000"},
        {"\xef\xbc\x8b\xef\xbc\x94\xef\xbc\x94 20 7946 0000", "1", "+442079460000"},
        // Ill-formed UTF-8 is not a digit and never fails the call.
        {"555\xff"
         "0100123",
         "1", "+15550100123"},
        {"\xc3", "1", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        EXPECT_EQ(PhoneNumberNormalizer::normalize(c.raw, c.countryCode), c.expected);
    }
}

}  // namespace
}  // namespace vask
