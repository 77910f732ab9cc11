#include "foundation/auth_mode_cache.h"

namespace vask {

bool AuthModeCache::currentLocked() const {
    return cached_ &&
           (!cached_->isHeldBackByKeyring() || clock_.monotonicNow() - resolvedAt_ < heldFor_);
}

AuthMode AuthModeCache::get() {
    bool due = false;
    {
        std::lock_guard state(state_);
        if (currentLocked()) {
            return *cached_;
        }
        // A mode the keyring held back: it is asked again before the resolution, holding
        // nothing. After an emptying the resolution reads what it needs itself.
        due = cached_.has_value();
    }
    if (due && askAgain_) {
        askAgain_();
    }
    std::lock_guard resolving(resolving_);
    std::uint64_t generation = 0;
    {
        std::lock_guard state(state_);
        if (currentLocked()) {
            return *cached_;
        }
        generation = generation_;
    }
    auto mode = resolve_();
    std::lock_guard state(state_);
    if (generation == generation_) {
        cached_ = mode;
        last_ = mode;
        resolvedAt_ = clock_.monotonicNow();
    }
    return mode;
}

std::optional<AuthMode> AuthModeCache::latest() const {
    std::lock_guard state(state_);
    return last_;
}

bool AuthModeCache::isCurrent() const {
    std::lock_guard state(state_);
    return currentLocked();
}

bool AuthModeCache::latestIsUsable() const {
    std::lock_guard state(state_);
    return last_ && (!last_->isHeldBackByKeyring() || currentLocked());
}

void AuthModeCache::reset() {
    std::lock_guard state(state_);
    cached_.reset();
    ++generation_;
}

}  // namespace vask
