#pragma once

namespace vask {

// What a window is brought forward with where the desktop activates a window only for a token
// (Wayland's xdg-activation), best first:
// - `launch`: the one the launch that asked for the window was given (XDG_ACTIVATION_TOKEN of
//   a second `vask`, with or without a URL, handed to the running one);
// - `panel`: one the panel offered for a click on the tray icon (StatusNotifierItem's
//   `ProvideXdgActivationToken`, which the toolkit puts where it reads the launch's token);
// - `inputSerial`: one the toolkit asks for itself with the serial of the user's last input to
//   Vask, which it does while a window of Vask's holds the keyboard (after Ctrl+, or a click);
// - `withoutSerial`: one Vask asks for without any input of its own (a tray item reached over
//   D-Bus, a second launch without a token), which compositors may honour as urgency only;
// - `none`: the toolkit's bare request, where no token can be had at all.
enum class ActivationToken { launch, panel, inputSerial, withoutSerial, none };

struct ActivationCircumstances {
    bool hasLaunchToken = false;
    bool hasPanelToken = false;
    // A window of Vask's holds the keyboard: the toolkit has a serial of the user's last input.
    bool keyboardInVask = false;
    // The compositor hands out tokens (xdg_activation_v1 is offered).
    bool canAskForToken = false;
};

ActivationToken chooseActivationToken(const ActivationCircumstances& circumstances);

}  // namespace vask
