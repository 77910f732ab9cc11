#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "foundation/auth_mode.h"

namespace vask {

// The process's resolved authentication mode, read from the main executor and from network
// tasks, and emptied after sign-in, sign-out and a token refresh. One resolution runs at a
// time, so concurrent first reads resolve once, and a resolution that began before an emptying
// can never put its (now stale) answer back afterwards. Resolving reads secret storage, which
// may wait on a keyring: latest() answers without ever waiting for a resolution.
class AuthModeCache {
  public:
    using Resolve = std::function<AuthMode()>;

    explicit AuthModeCache(Resolve resolve) : resolve_(std::move(resolve)) {}

    // The cached mode, or one resolved now (waiting for a resolution under way) and cached.
    AuthMode get();
    // The cached mode, else the one cached before the last emptying; nothing before the first
    // resolution. Never waits.
    std::optional<AuthMode> latest() const;
    // Whether a get() would answer without resolving. Never waits.
    bool isCurrent() const;
    // The next get() resolves again.
    void reset();

  private:
    Resolve resolve_;
    // Held for the whole of a resolution.
    std::mutex resolving_;
    // Held only to read or change the members below, never across a resolution.
    mutable std::mutex state_;
    std::optional<AuthMode> cached_;
    // The last mode cached, kept through an emptying (equal to cached_ while that holds one).
    std::optional<AuthMode> last_;
    std::uint64_t generation_ = 0;
};

}  // namespace vask
