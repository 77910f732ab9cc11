#include "foundation/auth_mode_cache.h"

namespace vask {

AuthMode AuthModeCache::get() {
    std::lock_guard lock(mutex_);
    if (!cached_) {
        cached_ = resolve_();
    }
    return *cached_;
}

void AuthModeCache::reset() {
    std::lock_guard lock(mutex_);
    cached_.reset();
}

}  // namespace vask
