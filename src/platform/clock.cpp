#include "platform/clock.h"

namespace vask {
namespace {

class SystemClock final : public Clock {
  public:
    WallTime now() const override { return std::chrono::system_clock::now(); }
    MonotonicTime monotonicNow() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace

const Clock& Clock::system() {
    // Never destroyed, like the system scheduler that reads it.
    static const auto* const clock = new SystemClock;
    return *clock;
}

}  // namespace vask
