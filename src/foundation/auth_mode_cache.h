#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "foundation/auth_mode.h"
#include "platform/clock.h"

namespace vask {

// The process's resolved authentication mode, read from the main executor and from network
// tasks, and emptied after sign-in, sign-out and a token refresh. One resolution runs at a
// time, so concurrent first reads resolve once, and a resolution that began before an emptying
// can never put its (now stale) answer back afterwards. Resolving reads secret storage, which
// may wait on a keyring: latest() answers without ever waiting for a resolution. A mode held
// back by the keyring (locked, not answering) is kept only `heldFor`: the next use after that
// asks the keyring again, so a keyring unlocked elsewhere or answering again is seen. That
// asking (`askAgain`, which may wait a connection's limit) runs before the resolution and holds
// nothing: an emptying and the get() after it (a sign-out's) never wait behind it.
class AuthModeCache {
  public:
    using Resolve = std::function<AuthMode()>;
    using AskAgain = std::function<void()>;

    explicit AuthModeCache(Resolve resolve, Clock::Duration heldFor = std::chrono::seconds(2),
                           const Clock& clock = Clock::system(), AskAgain askAgain = {})
        : resolve_(std::move(resolve)),
          askAgain_(std::move(askAgain)),
          heldFor_(heldFor),
          clock_(clock) {}

    // The cached mode, or one resolved now (waiting for a resolution under way) and cached.
    AuthMode get();
    // The cached mode, else the one cached before the last emptying; nothing before the first
    // resolution. Never waits.
    std::optional<AuthMode> latest() const;
    // Whether a get() would answer without resolving. Never waits.
    bool isCurrent() const;
    // Whether latest() is one a use may go on with: there is one, and it is not a mode held back
    // by the keyring that is due to be asked again. Never waits.
    bool latestIsUsable() const;
    // The next get() resolves again.
    void reset();

  private:
    // Whether the cached mode answers get(); state_ held.
    bool currentLocked() const;

    Resolve resolve_;
    AskAgain askAgain_;
    Clock::Duration heldFor_;
    const Clock& clock_;
    // Held for the whole of a resolution.
    std::mutex resolving_;
    // Held only to read or change the members below, never across a resolution.
    mutable std::mutex state_;
    std::optional<AuthMode> cached_;
    // The last mode cached, kept through an emptying (equal to cached_ while that holds one).
    std::optional<AuthMode> last_;
    std::uint64_t generation_ = 0;
    // When the cached mode was resolved.
    Clock::MonotonicTime resolvedAt_{};
};

}  // namespace vask
