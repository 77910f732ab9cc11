#include "shell/window_coordinator.h"

namespace vask {

WindowCoordinator& WindowCoordinator::shared() {
    static WindowCoordinator coordinator;
    return coordinator;
}

}  // namespace vask
