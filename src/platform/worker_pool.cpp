#include "platform/worker_pool.h"

#include <algorithm>

namespace vask {

WorkerPool::WorkerPool(std::size_t threadCount) {
    threadCount = std::max<std::size_t>(threadCount, 1);
    threads_.reserve(threadCount);
    for (std::size_t i = 0; i < threadCount; ++i) {
        threads_.emplace_back([this] { work(); });
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    available_.notify_all();
    for (auto& thread : threads_) {
        thread.join();
    }
}

void WorkerPool::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(task));
    }
    available_.notify_one();
}

void WorkerPool::work() {
    while (true) {
        Task task;
        {
            std::unique_lock lock(mutex_);
            available_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) {
                return;
            }
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        task();
    }
}

std::size_t WorkerPool::defaultThreadCount() {
    return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 2, 8);
}

}  // namespace vask
