#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memory/memory_settings_presentation.h"

namespace vask {
namespace {

using namespace MemorySettingsPresentation;

TEST(MemorySettingsPresentation, Summary) {
    EXPECT_EQ(summary(false, 5), "Memory unavailable");
    EXPECT_EQ(summary(true, 0), "0 saved associations");
    EXPECT_EQ(summary(true, 1), "1 saved association");
    EXPECT_EQ(summary(true, 2), "2 saved associations");
}

// Memory is the account's, and the account may be behind a keyring: while the keyring holds it
// back, Settings says what the keyring does (as the account row does), never that memory is
// unavailable; once it answers, the count. Memory without a store is unavailable whatever the
// keyring does.
TEST(MemorySettingsPresentation, SummaryBehindAKeyringSaysWhatTheKeyringDoes) {
    const std::string unavailable = "Memory unavailable";
    struct Case {
        const char* name;
        AuthMode mode;
        bool unlocking;
        bool hasStore;
        bool isAvailable;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"locked", AuthMode::keyringLocked(), false, true, false, std::string(keyringLockedText)},
        {"locked, its prompt open", AuthMode::keyringLocked(), true, true, false,
         std::string(keyringUnlockingText)},
        {"not answering", AuthMode::keyringNotAnswering(), false, true, false,
         std::string(keyringNotAnsweringText)},
        {"not answering, an unlock asked", AuthMode::keyringNotAnswering(), true, true, false,
         std::string(keyringNotAnsweringText)},
        {"no keyring on the bus", AuthMode::keyringNotAvailable(), false, true, false,
         std::string(keyringNotAvailableText)},
        {"locked, memory off", AuthMode::keyringLocked(), false, false, false, unavailable},
        {"not answering, memory off", AuthMode::keyringNotAnswering(), false, false, false,
         unavailable},
        {"unlocked", AuthMode::managed("tok", "acc"), false, true, true, "3 saved associations"},
        {"unlocked, signing out", AuthMode::managed("tok", "acc"), false, true, false, unavailable},
        {"signed out", AuthMode::none(), false, true, false, unavailable},
        {"signed out, an unlock asked", AuthMode::none(), true, true, false, unavailable},
        {"API key", AuthMode::apiKey("k"), false, true, true, "3 saved associations"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(summary(c.hasStore, c.isAvailable, 3, keyringHold(c.mode, c.unlocking)), c.shown);
    }
}

TEST(MemorySettingsPresentation, SaveIsEnabledOnlyWithinTheByteLimits) {
    const std::string eAcute = "\u00e9";  // two bytes of UTF-8
    struct Case {
        const char* name;
        std::string term;
        std::string definition;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"term at 256 bytes", std::string(256, 'a'), "d", true},
        {"term at 257 bytes", std::string(257, 'a'), "d", false},
        {"term counted in bytes", std::string(254, 'a') + eAcute, "d", true},
        {"term one byte over in a character", std::string(255, 'a') + eAcute, "d", false},
        {"surrounding blanks are not counted", "  " + std::string(256, 'a') + "\n", "d", true},
        {"definition at 4096", "t", std::string(4096, 'b'), true},
        {"definition at 4097", "t", std::string(4097, 'b'), false},
        {"blank term", " \n\t", "d", false},
        {"empty definition", "t", "", false},
        {"NUL in term", std::string("a\0b", 3), "d", false},
        {"NUL in definition", "t", std::string("a\0", 2), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(hasValidContent(c.term, c.definition), c.valid);
    }
}

TEST(MemorySettingsPresentation, ManagerContentKeepsRowsDuringAReload) {
    EXPECT_EQ(managerContent(true, true), ManagerContent::loading);
    EXPECT_EQ(managerContent(true, false), ManagerContent::list);
    EXPECT_EQ(managerContent(false, true), ManagerContent::empty);
    EXPECT_FALSE(forgetAllEnabled(false, true));
    EXPECT_FALSE(forgetAllEnabled(true, false));
    EXPECT_TRUE(forgetAllEnabled(false, false));
}

TEST(MemorySettingsPresentation, IdentifiersUseTheLowerCaseUuid) {
    const auto id = Uuid::parse("0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D");
    ASSERT_TRUE(id);
    EXPECT_EQ(editIdentifier(*id), "edit-memory-0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d");
    EXPECT_EQ(forgetIdentifier(*id), "forget-memory-0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d");
}

TEST(MemorySettingsPresentation, ARequestWaitsWhileMemoryIsUnavailable) {
    const auto id = Uuid::random();
    EXPECT_FALSE(requestToPresent(id, false));
    EXPECT_EQ(requestToPresent(id, true), id);
    EXPECT_FALSE(requestToPresent(std::nullopt, true));
}

}  // namespace
}  // namespace vask
