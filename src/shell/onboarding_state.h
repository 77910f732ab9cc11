#pragma once

#include <functional>
#include <optional>
#include <string>

#include "foundation/auth_mode.h"
#include "platform/environment.h"
#include "platform/user_defaults.h"
#include "shell/onboarding_flow.h"
#include "store/full_disk_access_checker.h"

namespace vask {

// Onboarding progress kept in the defaults, under instance-scoped keys, and the decision whether
// onboarding opens at launch. Main executor.
class OnboardingState {
  public:
    static constexpr const char* startedBaseKey = "onboarding.didStart";
    static constexpr const char* completedBaseKey = "onboarding.didComplete";
    static constexpr const char* stepBaseKey = "onboarding.stepRaw";

    OnboardingState(UserDefaults& defaults, const Environment& env,
                    const std::optional<std::string>& bundleId);

    const std::string& startedKey() const { return startedKey_; }
    const std::string& completedKey() const { return completedKey_; }
    const std::string& stepKey() const { return stepKey_; }

    // Signed out or without access to the Messages database: yes. Otherwise only when onboarding
    // was started and never completed. Both inputs are read on every call; a probe that cannot
    // tell (a busy database) does not count as missing access.
    bool shouldPresentAtLaunch(const std::function<AuthMode()>& authMode,
                               const std::function<FullDiskAccessResult()>& probe) const;
    bool wasStarted() const;

    void markStarted();
    // The step shown last; nothing once onboarding was completed or when no valid step is kept.
    std::optional<OnboardingStep> savedStep() const;
    // Reaching the last step records completion.
    void save(OnboardingStep step);
    // Forgets all progress (sign-out).
    void reset();

  private:
    UserDefaults& defaults_;
    std::string startedKey_;
    std::string completedKey_;
    std::string stepKey_;
};

}  // namespace vask
