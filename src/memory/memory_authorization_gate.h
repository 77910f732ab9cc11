#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "memory/memory_principal.h"

namespace vask {

// Permission to write one principal's memory, valid until the principal is next suspended.
struct MemoryAuthorizationToken {
    MemoryPrincipal principal;
    std::uint64_t generation = 0;

    bool operator==(const MemoryAuthorizationToken&) const = default;
};

// Issues write tokens per principal and invalidates them at sign-out. One per process; safe from
// any thread. Its lock is held only inside one operation, never across a store call.
class MemoryAuthorizationGate {
  public:
    // Nothing while the principal is suspended.
    std::optional<MemoryAuthorizationToken> issueToken(const MemoryPrincipal& principal);
    bool permits(const MemoryAuthorizationToken& token);
    // Refuses every token issued so far, for good, and new ones until resume.
    void suspend(const MemoryPrincipal& principal);
    void resume(const MemoryPrincipal& principal);
    bool isSuspended(const MemoryPrincipal& principal);

  private:
    std::uint64_t generation(const MemoryPrincipal& principal) const;

    std::mutex lock_;
    std::unordered_map<MemoryPrincipal, std::uint64_t> generations_;
    std::unordered_set<MemoryPrincipal> suspended_;
};

}  // namespace vask
