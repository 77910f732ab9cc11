#pragma once

#include <atomic>
#include <cstddef>
#include <optional>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VASK_TEST_PEAK_HEAP 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VASK_TEST_PEAK_HEAP 1
#endif

#ifdef VASK_TEST_PEAK_HEAP
// From the sanitizer runtime's allocator interface (not every compiler ships its header).
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, std::size_t),
                                              void (*)(const volatile void*));
std::size_t __sanitizer_get_allocated_size(const volatile void*);
}
#endif

namespace vask::test {

#ifdef VASK_TEST_PEAK_HEAP
namespace peak_heap_detail {
// Only the measuring thread's allocations count: other threads of a test binary (loggers,
// workers left by earlier tests) allocate at their own pace.
inline thread_local bool counting = false;
inline std::atomic<long long> live{0};
inline std::atomic<long long> peak{0};

inline void onMalloc(const volatile void*, std::size_t size) {
    if (!counting) {
        return;
    }
    const auto now = live.fetch_add(static_cast<long long>(size)) + static_cast<long long>(size);
    auto seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
}

inline void onFree(const volatile void* pointer) {
    if (counting && pointer != nullptr) {
        live.fetch_sub(static_cast<long long>(__sanitizer_get_allocated_size(pointer)));
    }
}
// Once per process: the runtime keeps a short list of hooks, and each would count every block.
inline bool installHooks() {
    static const bool installed = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree) != 0;
    return installed;
}
}  // namespace peak_heap_detail
#endif

// The most heap memory `work` held at once on the calling thread beyond what was in use when it
// began (blocks freed that were allocated before count against it, so the figure never
// overstates). Only the
// sanitizer builds can watch the heap: elsewhere the work runs and nothing is returned.
template <typename Work>
std::optional<std::size_t> peakHeapGrowth(Work&& work) {
#ifdef VASK_TEST_PEAK_HEAP
    namespace d = peak_heap_detail;
    if (!d::installHooks()) {
        work();
        return std::nullopt;
    }
    d::live = 0;
    d::peak = 0;
    d::counting = true;
    work();
    d::counting = false;
    return static_cast<std::size_t>(d::peak.load());
#else
    work();
    return std::nullopt;
#endif
}

}  // namespace vask::test
