#include "shell/onboarding_state.h"

#include "foundation/app_environment.h"
#include "shell/full_disk_access_view_model.h"

namespace vask {

OnboardingState::OnboardingState(UserDefaults& defaults, const Environment& env,
                                 const std::optional<std::string>& bundleId)
    : defaults_(defaults),
      startedKey_(AppEnvironment::instanceScopedKey(startedBaseKey, env, bundleId)),
      completedKey_(AppEnvironment::instanceScopedKey(completedBaseKey, env, bundleId)),
      stepKey_(AppEnvironment::instanceScopedKey(stepBaseKey, env, bundleId)) {}

bool OnboardingState::shouldPresentAtLaunch(
    const std::function<AuthMode()>& authMode,
    const std::function<FullDiskAccessResult()>& probe) const {
    if (authMode().isNone()) {
        return true;
    }
    const auto access = probe();
    if (!access.hasAccess && !FullDiskAccessViewModel::isInconclusive(access)) {
        return true;
    }
    if (!wasStarted()) {
        return false;
    }
    return !defaults_.boolValue(completedKey_).valueOr(false);
}

bool OnboardingState::wasStarted() const {
    return defaults_.boolValue(startedKey_).valueOr(false);
}

void OnboardingState::markStarted() {
    defaults_.set(startedKey_, true);
}

std::optional<OnboardingStep> OnboardingState::savedStep() const {
    if (defaults_.boolValue(completedKey_).valueOr(false)) {
        return std::nullopt;
    }
    return onboardingStepFromRaw(defaults_.integerValue(stepKey_).valueOr(0));
}

void OnboardingState::save(OnboardingStep step) {
    defaults_.set(stepKey_, static_cast<int>(step));
    if (step == OnboardingStep::done) {
        defaults_.set(completedKey_, true);
    }
}

void OnboardingState::reset() {
    defaults_.remove(startedKey_);
    defaults_.remove(completedKey_);
    defaults_.remove(stepKey_);
}

}  // namespace vask
