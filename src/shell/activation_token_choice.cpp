#include "shell/activation_token_choice.h"

namespace vask {

ActivationToken chooseActivationToken(const ActivationCircumstances& circumstances) {
    if (circumstances.hasLaunchToken) {
        return ActivationToken::launch;
    }
    if (circumstances.hasPanelToken) {
        return ActivationToken::panel;
    }
    // Without the protocol the toolkit's request is all there is, whatever it carries.
    if (!circumstances.canAskForToken) {
        return ActivationToken::none;
    }
    return circumstances.keyboardInVask ? ActivationToken::inputSerial
                                        : ActivationToken::withoutSerial;
}

}  // namespace vask
