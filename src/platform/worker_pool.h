#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/executor.h"

namespace vask {

// A fixed set of threads for blocking background work (SQLite, HTTP, process waits).
// Destruction runs every task already posted, then joins.
class WorkerPool final : public Executor {
  public:
    explicit WorkerPool(std::size_t threadCount = defaultThreadCount());
    ~WorkerPool() override;

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void post(Task task) override;

    static std::size_t defaultThreadCount();

  private:
    void work();

    std::mutex mutex_;
    std::condition_variable available_;
    std::deque<Task> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace vask
