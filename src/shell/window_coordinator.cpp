#include "shell/window_coordinator.h"

namespace vask {

void LastWindowPolicy::lastWindowClosed() {
    if (hasTray_ || std::exchange(told_, true)) {
        return;
    }
    actions_.tell([this](bool shown) {
        if (!shown && actions_.quit) {
            actions_.quit();
        }
    });
}

}  // namespace vask
