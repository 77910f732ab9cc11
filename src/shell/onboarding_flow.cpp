#include "shell/onboarding_flow.h"

namespace vask {

std::optional<OnboardingStep> onboardingStepFromRaw(std::int64_t raw) {
    if (raw < 0 || raw > static_cast<int>(OnboardingStep::done)) {
        return std::nullopt;
    }
    return static_cast<OnboardingStep>(raw);
}

OnboardingStep OnboardingFlow::resolve(OnboardingStep from, const Conditions& given) {
    OnboardingStep step = from;
    while (true) {
        switch (step) {
            case OnboardingStep::welcome:
            case OnboardingStep::done:
                return step;
            case OnboardingStep::signIn:
                if (!given.signedIn) {
                    return step;
                }
                step = OnboardingStep::fullDiskAccess;
                break;
            case OnboardingStep::fullDiskAccess:
                if (!given.hasFullDiskAccess) {
                    return step;
                }
                step = OnboardingStep::contacts;
                break;
            case OnboardingStep::contacts:
                if (!given.contactsAuthorized) {
                    return step;
                }
                step = OnboardingStep::indexing;
                break;
            case OnboardingStep::indexing:
                if (!given.hasSynced) {
                    return step;
                }
                step = OnboardingStep::done;
                break;
        }
    }
}

}  // namespace vask
