#include "shell/onboarding_state.h"

#include <gtest/gtest.h>

namespace vask {
namespace {

using Step = OnboardingStep;
using Conditions = OnboardingFlow::Conditions;

constexpr Conditions all{true, true, true, true};
constexpr Conditions none{false, false, false, false};

TEST(OnboardingFlowTest, ResolveMovesForwardPastMetRequirementsOnly) {
    struct Case {
        Step from;
        Conditions given;
        Step expected;
    };
    const std::vector<Case> cases{
        {Step::welcome, all, Step::welcome},
        {Step::welcome, none, Step::welcome},
        {Step::signIn, all, Step::done},
        {Step::signIn, {false, true, true, true}, Step::signIn},
        {Step::signIn, {true, false, true, true}, Step::fullDiskAccess},
        {Step::fullDiskAccess, {false, true, false, true}, Step::contacts},
        {Step::contacts, {false, false, true, false}, Step::indexing},
        {Step::indexing, {false, false, false, true}, Step::done},
        {Step::indexing, none, Step::indexing},
        {Step::done, none, Step::done},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OnboardingFlow::resolve(c.from, c.given), c.expected)
            << "from " << static_cast<int>(c.from) << " signedIn=" << c.given.signedIn
            << " fda=" << c.given.hasFullDiskAccess << " contacts=" << c.given.contactsAuthorized
            << " synced=" << c.given.hasSynced;
    }
}

TEST(OnboardingFlowTest, OnlyZeroToFiveNameAStep) {
    for (std::int64_t raw : {-1, 6, 9, 1000}) {
        EXPECT_EQ(onboardingStepFromRaw(raw), std::nullopt) << raw;
    }
    for (const auto step : allOnboardingSteps) {
        EXPECT_EQ(onboardingStepFromRaw(static_cast<int>(step)), step);
    }
}

TEST(OnboardingStateTest, KeysAreScopedToTheInstance) {
    InMemoryDefaults defaults;
    const OnboardingState production(defaults, {}, "ai.ternwick.Vask");
    EXPECT_EQ(production.startedKey(), "onboarding.didStart");
    const OnboardingState dev(defaults, {{"VASK_SUPPORT_DIR", "dev"}}, "ai.ternwick.Vask");
    EXPECT_EQ(dev.startedKey(), "onboarding.didStart.dev");
    EXPECT_EQ(dev.completedKey(), "onboarding.didComplete.dev");
    EXPECT_EQ(dev.stepKey(), "onboarding.stepRaw.dev");
}

TEST(OnboardingStateTest, LaunchRules) {
    const FullDiskAccessResult granted{true, std::nullopt};
    const FullDiskAccessResult denied{false, "authorization denied"};
    const FullDiskAccessResult busy{false, "database is locked"};
    struct Case {
        const char* name;
        bool signedIn;
        FullDiskAccessResult access;
        std::optional<bool> started;
        std::optional<bool> completed;
        bool expected;
    };
    const std::vector<Case> cases{
        {"signed out", false, granted, true, true, true},
        {"no access", true, denied, true, true, true},
        {"never started", true, granted, std::nullopt, std::nullopt, false},
        {"left half-way", true, granted, true, std::nullopt, true},
        {"finished", true, granted, true, true, false},
        {"busy database, finished", true, busy, true, true, false},
    };
    for (const auto& c : cases) {
        InMemoryDefaults defaults;
        OnboardingState state(defaults, {}, "ai.ternwick.Vask");
        if (c.started) {
            defaults.set(state.startedKey(), *c.started);
        }
        if (c.completed) {
            defaults.set(state.completedKey(), *c.completed);
        }
        int probes = 0;
        const bool present = state.shouldPresentAtLaunch(
            [&] { return c.signedIn ? AuthMode::managed("t", "a") : AuthMode::none(); },
            [&] {
                ++probes;
                return c.access;
            });
        EXPECT_EQ(present, c.expected) << c.name;
        EXPECT_EQ(probes, c.signedIn ? 1 : 0) << c.name;
    }
}

TEST(OnboardingStateTest, ProgressIsSavedRestoredAndReset) {
    InMemoryDefaults defaults;
    OnboardingState state(defaults, {{"VASK_SUPPORT_DIR", "dev"}}, "ai.ternwick.Vask");
    EXPECT_EQ(state.savedStep(), Step::welcome) << "nothing stored reads as the first step";
    defaults.set(state.stepKey(), 9);
    EXPECT_EQ(state.savedStep(), std::nullopt);

    state.markStarted();
    state.save(Step::fullDiskAccess);
    EXPECT_EQ(state.savedStep(), Step::fullDiskAccess);
    EXPECT_FALSE(defaults.boolValue(state.completedKey()).valueOr(false));
    state.save(Step::done);
    EXPECT_TRUE(defaults.boolValue(state.completedKey()).valueOr(false));
    EXPECT_EQ(state.savedStep(), std::nullopt) << "a completed onboarding starts over";

    state.reset();
    for (const auto& key : {state.startedKey(), state.completedKey(), state.stepKey()}) {
        EXPECT_EQ(defaults.value(key), std::nullopt) << key;
    }
}

}  // namespace
}  // namespace vask
