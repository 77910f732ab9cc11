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
    // Long texts from the helper are cut for the user, never inside a character; the error
    // keeps them whole.
    const std::string e2000(2000, 'e');
    std::string accents;
    for (int i = 0; i < 1500; ++i) {
        accents += "\u00e9";
    }
    const std::vector<std::pair<RLMHelperError, std::string>> cut = {
        {RLMHelperError::processFailure(1, e2000), "RLM helper failed: " + e2000},
        {RLMHelperError::processFailure(1, e2000 + "e"), "RLM helper failed: " + e2000 + "\u2026"},
        {RLMHelperError::hostFailure(accents, {}),
         "RLM helper failed: " + accents.substr(0, 2000) + "\u2026"},
        {RLMHelperError::decodeFailure("a" + accents),
         "RLM helper response decode failed: a" + accents.substr(0, 1998) + "\u2026"},
    };
    for (const auto& [error, message] : cut) {
        EXPECT_EQ(std::string(error.what()), message);
    }
    EXPECT_EQ(RLMHelperError::processFailure(1, e2000 + "e").detail().size(), 2001u);
    EXPECT_THROW(RLMHelperError::plain(Case::processFailure), std::invalid_argument);
}

TEST(RLMHelperErrorTest, HostStderr) {
    EXPECT_EQ(RLMHelperError::hostStderr("X", "Y", std::nullopt), "X: Y");
    EXPECT_EQ(RLMHelperError::hostStderr("X", "Y", ""), "X: Y | details: ");
    EXPECT_EQ(RLMHelperError::hostStderr("X", "Y", "Z"), "X: Y | details: Z");
}

}  // namespace
}  // namespace vask
