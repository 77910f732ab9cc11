#pragma once

#include <functional>
#include <mutex>
#include <optional>

#include "foundation/auth_mode.h"

namespace vask {

// The process's resolved authentication mode, read from the main executor and from network
// tasks, and emptied after sign-in, sign-out and a token refresh. Resolution runs under the
// cache's lock, so concurrent first reads resolve once, and a resolution that began before an
// emptying can never put its (now stale) answer back afterwards.
class AuthModeCache {
  public:
    using Resolve = std::function<AuthMode()>;

    explicit AuthModeCache(Resolve resolve) : resolve_(std::move(resolve)) {}

    // The cached mode, or one resolved now and cached.
    AuthMode get();
    // The next get() resolves again.
    void reset();

  private:
    Resolve resolve_;
    std::mutex mutex_;
    std::optional<AuthMode> cached_;
};

}  // namespace vask
