#include "memory/memory_authorization_gate.h"

namespace vask {

std::uint64_t MemoryAuthorizationGate::generation(const MemoryPrincipal& principal) const {
    const auto found = generations_.find(principal);
    return found == generations_.end() ? 0 : found->second;
}

std::optional<MemoryAuthorizationToken> MemoryAuthorizationGate::issueToken(
    const MemoryPrincipal& principal) {
    std::lock_guard lock(lock_);
    if (suspended_.contains(principal)) {
        return std::nullopt;
    }
    return MemoryAuthorizationToken{principal, generation(principal)};
}

bool MemoryAuthorizationGate::permits(const MemoryAuthorizationToken& token) {
    std::lock_guard lock(lock_);
    return !suspended_.contains(token.principal) && generation(token.principal) == token.generation;
}

void MemoryAuthorizationGate::suspend(const MemoryPrincipal& principal) {
    std::lock_guard lock(lock_);
    // Unsigned arithmetic wraps at the 64-bit limit, as intended.
    generations_[principal] = generation(principal) + 1;
    suspended_.insert(principal);
}

void MemoryAuthorizationGate::resume(const MemoryPrincipal& principal) {
    std::lock_guard lock(lock_);
    suspended_.erase(principal);
}

bool MemoryAuthorizationGate::isSuspended(const MemoryPrincipal& principal) {
    std::lock_guard lock(lock_);
    return suspended_.contains(principal);
}

}  // namespace vask
