#pragma once

#include <functional>
#include <utility>

namespace vask {

// How any part of the application opens or closes the main and onboarding windows. The
// composition root holds one and hands it to what needs it; the window side fills the actions
// once the windows can be made, and a call while an action is empty does nothing. Main executor
// only.
class WindowCoordinator {
  public:
    using Action = std::function<void()>;

    Action openMain;
    Action openOnboarding;
    Action closeMain;

    static void run(const Action& action) {
        if (action) {
            action();
        }
    }
};

// What Vask does once its last window closed (the close button, Ctrl+W). With a tray it stays
// there. Without one nothing on screen would bring it back: the first time in a run it says how
// (a notification), and where that cannot be said (no notification server) it quits. Main
// executor only.
class LastWindowPolicy {
  public:
    static constexpr const char* noticeTitle = "Vask is still running";
    static constexpr const char* noticeBody =
        "With no tray to find it in, run vask again to bring its window back. Ctrl+Q in its "
        "window quits Vask.";

    struct Actions {
        // Shows the notice, then calls `shown` on the main executor with whether it was shown.
        std::function<void(std::function<void(bool shown)>)> tell;
        std::function<void()> quit;
    };

    LastWindowPolicy(bool hasTray, Actions actions)
        : hasTray_(hasTray), actions_(std::move(actions)) {}

    void lastWindowClosed();
    // A tray that appeared after launch keeps Vask from then on.
    void setHasTray(bool hasTray) { hasTray_ = hasTray; }

  private:
    bool hasTray_;
    Actions actions_;
    bool told_ = false;
};

}  // namespace vask
