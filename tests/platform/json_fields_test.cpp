#include <gtest/gtest.h>

#include "platform/json_fields.h"

namespace vask {
namespace {

TEST(JsonFields, WholeNumbersAreReadOnlyWhenTheyFit) {
    struct Case {
        const char* json;
        std::optional<std::int64_t> expected;
    };
    const Case cases[] = {
        {"0", 0},
        {"-12", -12},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},
        {"18446744073709551615", std::nullopt},
        {"25.0", 25},
        {"-3e2", -300},
        {"10.5", std::nullopt},
        {"1e19", std::nullopt},
        {"-1e19", std::nullopt},
        {"1e300", std::nullopt},
        {"\"10\"", std::nullopt},
        {"true", std::nullopt},
        {"null", std::nullopt},
        {"[1]", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(jsonWholeNumber(nlohmann::json::parse(c.json)), c.expected) << c.json;
    }
}

TEST(JsonFields, RequiredStringsNameTheKeyNeverTheValue) {
    const auto object = nlohmann::json::parse(R"({"a": "x", "n": 5, "z": null, "s": "secret"})");
    struct Case {
        const char* key;
        const char* path;
        const char* error;  // nullptr: reads "x"
    };
    const Case cases[] = {
        {"a", "", nullptr},
        {"missing", "", "missing key \"missing\""},
        {"missing", "user.", "missing key \"user.missing\""},
        {"n", "", "\"n\" is not a string"},
        {"z", "", "\"z\" is not a string"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        if (c.error == nullptr) {
            EXPECT_EQ(jsonRequiredString(object, c.key, c.path), "x");
            continue;
        }
        try {
            jsonRequiredString(object, c.key, c.path);
            ADD_FAILURE() << "no error";
        } catch (const JsonFieldError& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
    }
}

}  // namespace
}  // namespace vask
