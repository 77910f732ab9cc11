#include "memory/memory_account_lifecycle_coordinator.h"

namespace vask {

void MemoryAccountLifecycleCoordinator::finishSignOut(
    const std::optional<MemoryPrincipal>& principal) const noexcept {
    if (!principal) {
        return;
    }
    authorizationGate->resume(*principal);
    logger.info("memory_account_lifecycle_completed",
                {{"event", "sign_out"}, {"result", "retained"}, {"count", "0"}});
}

}  // namespace vask
