#pragma once

#include <sched.h>

#include <atomic>
#include <cstdint>
#include <stop_token>
#include <thread>
#include <vector>

namespace vask::test {

// Threads spinning on the last processor this process may use while this lives, and a way to pin
// another thread beside them: the application on a loaded core.
class BusyProcessor {
  public:
    explicit BusyProcessor(int threads = 3) {
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        ::sched_getaffinity(0, sizeof(allowed), &allowed);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &allowed)) {
                cpu_ = cpu;
            }
        }
        for (int i = 0; i < threads; ++i) {
            spinners_.emplace_back([this](const std::stop_token& stop) {
                pinCallingThread();
                while (!stop.stop_requested()) {
                    spun_.fetch_add(1, std::memory_order_relaxed);
                }
            });
        }
    }

    // Whether the calling thread now runs on that processor alone.
    bool pinCallingThread() const {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu_, &one);
        return ::sched_setaffinity(0, sizeof(one), &one) == 0;
    }

  private:
    int cpu_ = 0;
    std::atomic<std::uint64_t> spun_{0};
    std::vector<std::jthread> spinners_;
};

}  // namespace vask::test
