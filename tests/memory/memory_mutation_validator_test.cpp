#include <gtest/gtest.h>

#include "memory/memory_mutation_validator.h"

namespace vask {
namespace {

using Error = MemoryMutationValidationError::Case;

const std::string idA = "3f2a9c4e-1b7d-4e8a-9c0f-5d6e7f8a9b0c";
const std::string idB = "4f2a9c4e-1b7d-4e8a-9c0f-5d6e7f8a9b0c";
const char* saveDirective = "remember that the cabin means the lake house";
const char* forgetDirective = "forget the cabin";
const char* statement = "my sister Bea is called Bean";

JSONValue str(std::string s) {
    return JSONValue::string(std::move(s));
}

JSONValue op(std::initializer_list<std::pair<const std::string, JSONValue>> fields) {
    return JSONValue::object(JSONValue::Object(fields));
}

JSONValue create(JSONValue term = str("Bean"), JSONValue definition = str("my sister Bea")) {
    return op(
        {{"op", str("create")}, {"term", std::move(term)}, {"definition", std::move(definition)}});
}

JSONValue suggest() {
    return op({{"op", str("suggest")},
               {"term", str("Bean")},
               {"definition", str("Bea")},
               {"rationale", str("she said so")}});
}

JSONValue forget(const std::string& id) {
    return op({{"op", str("forget")}, {"id", str(id)}});
}

JSONValue update(const std::string& id) {
    return op(
        {{"op", str("update")}, {"id", str(id)}, {"term", str("t")}, {"definition", str("d")}});
}

JSONValue::Object request(std::vector<JSONValue> operations) {
    return {{"memory_operations", JSONValue::array(std::move(operations))}};
}

TEST(MemoryMutationValidator, RejectsWithTheFirstFailingStep) {
    struct Case {
        const char* name;
        JSONValue::Object metadata;
        const char* userText;
        std::optional<Error> expected;  // nothing: accepted
    };
    const std::string term256(256, 'a');
    std::string threeByte100;
    for (int i = 0; i < 100; ++i) {
        threeByte100 += "\u20ac";
    }
    const Case cases[] = {
        {"no metadata", {}, saveDirective, Error::missingOperations},
        {"no key", {{"other", str("x")}}, saveDirective, Error::missingOperations},
        {"empty array", request({}), saveDirective, Error::missingOperations},
        {"object",
         {{"memory_operations", op({{"op", str("create")}})}},
         saveDirective,
         Error::invalidOperations},
        {"string", {{"memory_operations", str("create")}}, saveDirective, Error::invalidOperations},
        {"three suggestions", request({suggest(), suggest(), suggest()}), statement,
         Error::tooManyOperations},
        {"two suggestions", request({suggest(), suggest()}), statement, std::nullopt},
        {"six under a directive", request(std::vector<JSONValue>(6, create())), saveDirective,
         Error::tooManyOperations},
        {"five under a directive", request(std::vector<JSONValue>(5, create())), saveDirective,
         std::nullopt},
        {"blank question", request({suggest()}), "  ", Error::notDurableStatement},
        {"question mark", request({suggest()}), "Bean is my sister?", Error::notDurableStatement},
        {"starts with how", request({suggest()}), "How Bean got her name",
         Error::notDurableStatement},
        {"starts with does", request({suggest()}), "does it matter", Error::notDurableStatement},
        {"please can", request({suggest()}), "please can you tell me", Error::notDurableStatement},
        {"please tell", request({suggest()}), "please tell me about the trip", std::nullopt},
        {"create without directive", request({create()}), statement,
         Error::operationDoesNotMatchDirective},
        {"create under forget", request({create()}), forgetDirective,
         Error::operationDoesNotMatchDirective},
        {"suggest under save", request({suggest()}), saveDirective,
         Error::operationDoesNotMatchDirective},
        {"not an object", request({str("create")}), saveDirective,
         Error::operationDoesNotMatchDirective},
        {"empty object", request({op({})}), saveDirective, Error::operationDoesNotMatchDirective},
        {"no op", request({op({{"term", str("t")}})}), saveDirective,
         Error::operationDoesNotMatchDirective},
        {"op delete", request({op({{"op", str("delete")}})}), saveDirective,
         Error::operationDoesNotMatchDirective},
        {"op Create", request({op({{"op", str("Create")}})}), saveDirective,
         Error::operationDoesNotMatchDirective},
        {"extra key",
         request({op({{"op", str("create")},
                      {"term", str("t")},
                      {"definition", str("d")},
                      {"rationale", str("r")}})}),
         saveDirective, Error::invalidOperationSchema},
        {"missing definition", request({op({{"op", str("create")}, {"term", str("t")}})}),
         saveDirective, Error::invalidOperationSchema},
        {"null term", request({create(JSONValue::null())}), saveDirective, Error::invalidContent},
        {"number term", request({create(JSONValue::number(3))}), saveDirective,
         Error::invalidContent},
        {"blank term", request({create(str("   "))}), saveDirective, Error::invalidContent},
        {"NUL in term", request({create(str(std::string("a\0b", 3)))}), saveDirective,
         Error::invalidContent},
        {"256-byte term", request({create(str("  " + term256 + "  "))}), saveDirective,
         std::nullopt},
        {"257-byte term", request({create(str(term256 + "b"))}), saveDirective,
         Error::invalidContent},
        {"300-byte term", request({create(str(threeByte100))}), saveDirective,
         Error::invalidContent},
        {"4097-byte definition", request({create(str("t"), str(std::string(4097, 'd')))}),
         saveDirective, Error::invalidContent},
        {"upper-case id", request({forget("3F2A9C4E-1B7D-4E8A-9C0F-5D6E7F8A9B0C")}),
         forgetDirective, Error::invalidID},
        {"id without hyphens", request({forget("3f2a9c4e1b7d4e8a9c0f5d6e7f8a9b0c")}),
         forgetDirective, Error::invalidID},
        {"id in braces", request({forget("{" + idA + "}")}), forgetDirective, Error::invalidID},
        {"numeric id", request({op({{"op", str("forget")}, {"id", JSONValue::number(1)}})}),
         forgetDirective, Error::invalidID},
        {"same id twice", request({forget(idA), forget(idA)}), forgetDirective,
         Error::invalidOperations},
        {"two updates of one id", request({update(idA), update(idA)}), saveDirective,
         Error::invalidOperations},
        {"distinct ids", request({forget(idA), forget(idB)}), forgetDirective, std::nullopt},
        {"create beside update", request({create(), update(idA)}), saveDirective, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            MemoryMutationValidator::validate(c.metadata, c.userText);
            EXPECT_FALSE(c.expected.has_value()) << "accepted";
        } catch (const MemoryMutationValidationError& error) {
            ASSERT_TRUE(c.expected.has_value()) << error.what();
            EXPECT_EQ(error.errorCase(), *c.expected) << error.what();
        }
    }
}

TEST(MemoryMutationValidator, ProducesTrimmedTypedMutationsInOrder) {
    const auto mutations = MemoryMutationValidator::validate(
        request({create(str("  Bean \n"), str("\tmy sister Bea ")), update(idA)}), saveDirective);
    ASSERT_EQ(mutations.size(), 2u);
    EXPECT_EQ(mutations[0], (MemoryMutation{MemoryMutation::Create{"Bean", "my sister Bea"}}));
    EXPECT_EQ(mutations[1], (MemoryMutation{MemoryMutation::Update{*Uuid::parse(idA), "t", "d"}}));
}

}  // namespace
}  // namespace vask
