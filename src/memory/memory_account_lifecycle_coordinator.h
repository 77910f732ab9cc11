#pragma once

#include <memory>
#include <optional>

#include "foundation/structured_logger.h"
#include "memory/memory_authorization_gate.h"
#include "memory/memory_store.h"

namespace vask {

// The memory side of signing out: the account's memory is kept on this machine, and its
// writes, suspended while signing out, are allowed again (with earlier tokens still refused).
struct MemoryAccountLifecycleCoordinator {
    std::shared_ptr<MemoryStore> store;
    std::shared_ptr<MemoryAuthorizationGate> authorizationGate;
    StructuredLogger logger{"memory-account-lifecycle"};

    void finishSignOut(const std::optional<MemoryPrincipal>& principal) const noexcept;
};

}  // namespace vask
