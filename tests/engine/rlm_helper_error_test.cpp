#include <gtest/gtest.h>

#include <unicode/locid.h>

#include "engine/rlm_helper_error.h"

namespace vask {
namespace {

using Case = RLMHelperError::Case;

TEST(RLMHelperErrorTest, Messages) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
    ASSERT_TRUE(U_SUCCESS(status));
    const std::vector<std::pair<RLMHelperError, std::string>> cases = {
        {RLMHelperError::processFailure(2, ""), "RLM helper failed with exit code 2."},
        {RLMHelperError::processFailure(3, "boom"), "RLM helper failed: boom"},
        {RLMHelperError::processFailure(-1, ""), "RLM helper failed with exit code -1."},
        {RLMHelperError::tokenBudgetExhausted(12500, 900, {}),
         "Vask couldn't start the next model step: it needed room for up to 12.5k tokens, but "
         "this run had 900 remaining. No additional model call was made."},
        {RLMHelperError::iterationLimitReached(5, {}),
         "Vask stopped after 5 reasoning steps without confirming an answer. Please retry."},
        {RLMHelperError::invalidPersonaContextEndpoint("http://localhost:1"),
         "Persona context endpoint is invalid: http://localhost:1"},
        {RLMHelperError::decodeFailure("bad"), "RLM helper response decode failed: bad"},
        {RLMHelperError::plain(Case::emptyOutput), "RLM helper returned no output."},
        {RLMHelperError::plain(Case::executionTimeout),
         "This request took too long and was stopped. Please retry."},
        {RLMHelperError::usageLimitReached({}), "You've reached the current usage limit."},
    };
    for (const auto& [error, message] : cases) {
        EXPECT_EQ(std::string(error.what()), message);
    }
    EXPECT_THROW(RLMHelperError::plain(Case::processFailure), std::invalid_argument);
}

TEST(RLMHelperErrorTest, HostStderr) {
    EXPECT_EQ(RLMHelperError::hostStderr("X", "Y", std::nullopt), "X: Y");
    EXPECT_EQ(RLMHelperError::hostStderr("X", "Y", ""), "X: Y | details: ");
    EXPECT_EQ(RLMHelperError::hostStderr("X", "Y", "Z"), "X: Y | details: Z");
}

}  // namespace
}  // namespace vask
