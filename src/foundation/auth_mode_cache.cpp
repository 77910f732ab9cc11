#include "foundation/auth_mode_cache.h"

namespace vask {

AuthMode AuthModeCache::get() {
    {
        std::lock_guard state(state_);
        if (cached_) {
            return *cached_;
        }
    }
    std::lock_guard resolving(resolving_);
    std::uint64_t generation = 0;
    {
        std::lock_guard state(state_);
        if (cached_) {
            return *cached_;
        }
        generation = generation_;
    }
    auto mode = resolve_();
    std::lock_guard state(state_);
    if (generation == generation_) {
        cached_ = mode;
        last_ = mode;
    }
    return mode;
}

std::optional<AuthMode> AuthModeCache::latest() const {
    std::lock_guard state(state_);
    return last_;
}

bool AuthModeCache::isCurrent() const {
    std::lock_guard state(state_);
    return cached_.has_value();
}

void AuthModeCache::reset() {
    std::lock_guard state(state_);
    cached_.reset();
    ++generation_;
}

}  // namespace vask
