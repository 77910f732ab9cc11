#include <gtest/gtest.h>

#include "platform/json_value.h"

namespace vask {
namespace {

TEST(JSONValue, PrintsTheTextForm) {
    struct Case {
        const char* json;
        const char* printed;
    };
    const Case cases[] = {
        {R"({"b": [1, 2.5, true], "a": "x", "c": null})",
         R"({a: "x", b: [1, 2.5, true], c: null})"},
        {"1", "1"},
        {"1.0", "1"},
        {"1e0", "1"},
        {"-0.0", "0"},
        {"-12", "-12"},
        {"999999999999999", "999999999999999"},
        {"1000000000000000", "1e+15"},
        {"1e300", "1e+300"},
        {"0.1", "0.1"},
        {"9007199254740993", "9007199254740992"},
        {R"("true")", R"("true")"},
        {R"("say \"hi\"\nbye")", "\"say \"hi\"\nbye\""},
        {"[]", "[]"},
        {"{}", "{}"},
        {R"({"z": {}, "a": [[]]})", "{a: [[]], z: {}}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(JSONValue::parse(c.json).description(), c.printed);
    }
}

TEST(JSONValue, DecodesBooleansBeforeNumbersAndComparesByCase) {
    EXPECT_EQ(JSONValue::parse("true").kind(), JSONValue::Kind::boolean);
    EXPECT_EQ(JSONValue::parse("1").kind(), JSONValue::Kind::number);
    EXPECT_EQ(JSONValue::parse("[]").kind(), JSONValue::Kind::array);
    EXPECT_EQ(JSONValue::parse("{}").kind(), JSONValue::Kind::object);

    EXPECT_EQ(JSONValue::parse(R"({"a": 1, "b": [true]})"),
              JSONValue::parse(R"({"b": [true], "a": 1.0})"));
    EXPECT_NE(JSONValue::number(1), JSONValue::string("1"));
    EXPECT_NE(JSONValue::boolean(true), JSONValue::number(1));
    EXPECT_EQ(JSONValue::null(), JSONValue::parse("null"));
    EXPECT_THROW(JSONValue::parse("{not json"), JSONValue::DecodeError);
}

}  // namespace
}  // namespace vask
