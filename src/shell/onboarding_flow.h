#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace vask {

// The onboarding pages, in the order they are shown. The raw values are stored in the defaults.
enum class OnboardingStep : int {
    welcome = 0,
    signIn = 1,
    fullDiskAccess = 2,
    contacts = 3,
    indexing = 4,
    done = 5,
};

inline constexpr std::array<OnboardingStep, 6> allOnboardingSteps{
    OnboardingStep::welcome,  OnboardingStep::signIn,   OnboardingStep::fullDiskAccess,
    OnboardingStep::contacts, OnboardingStep::indexing, OnboardingStep::done};

// Exactly 0 to 5 name a step.
std::optional<OnboardingStep> onboardingStepFromRaw(std::int64_t raw);

struct OnboardingFlow {
    struct Conditions {
        bool signedIn = false;
        bool hasFullDiskAccess = false;
        bool contactsAuthorized = false;
        bool hasSynced = false;
    };

    // The step to show: forward from `from` past every step whose requirement is met, stopping
    // at the first that is not. The welcome page and the last page are never passed.
    static OnboardingStep resolve(OnboardingStep from, const Conditions& given);
};

}  // namespace vask
