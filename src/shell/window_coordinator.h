#pragma once

#include <functional>

namespace vask {

// How any part of the application opens or closes the main and onboarding windows. The menu-bar
// side fills the actions once the windows can be made; a call while an action is empty does
// nothing. Main executor only.
class WindowCoordinator {
  public:
    using Action = std::function<void()>;

    static WindowCoordinator& shared();

    Action openMain;
    Action openOnboarding;
    Action closeMain;

    static void run(const Action& action) {
        if (action) {
            action();
        }
    }
};

}  // namespace vask
