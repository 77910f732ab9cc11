#include "platform/serial_queue.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <future>
#include <mutex>

namespace vask {

struct SerialQueue::State {
    std::mutex mutex;
    std::condition_variable available;
    std::deque<Task> queue;
    bool stopping = false;
    std::thread::id worker;

    // Returns false once the queue is shutting down; the task is dropped then.
    bool enqueue(Task task) {
        {
            std::lock_guard lock(mutex);
            if (stopping) {
                return false;
            }
            queue.push_back(std::move(task));
        }
        available.notify_one();
        return true;
    }

    void run() {
        while (true) {
            Task task;
            {
                std::unique_lock lock(mutex);
                available.wait(lock, [&] { return stopping || !queue.empty(); });
                if (queue.empty()) {
                    return;
                }
                task = std::move(queue.front());
                queue.pop_front();
            }
            task();
        }
    }
};

SerialQueue::SerialQueue(std::string label, Scheduler& scheduler)
    : label_(std::move(label)), scheduler_(scheduler), state_(std::make_shared<State>()) {
    std::promise<void> started;
    auto ready = started.get_future();
    thread_ = std::thread([state = state_, &started] {
        {
            std::lock_guard lock(state->mutex);
            state->worker = std::this_thread::get_id();
        }
        started.set_value();
        state->run();
    });
    ready.wait();
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->available.notify_all();
    thread_.join();
}

void SerialQueue::post(Task task) {
    state_->enqueue(std::move(task));
}

ScheduledTask SerialQueue::postAfter(Scheduler::Duration delay, Task task) {
    std::weak_ptr<State> weak = state_;
    return scheduler_.after(delay, [weak, task = std::move(task)]() mutable {
        if (auto state = weak.lock()) {
            state->enqueue(std::move(task));
        }
    });
}

void SerialQueue::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    const bool queued = state_->enqueue([&] {
        try {
            task();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    if (!queued) {
        throw std::logic_error("SerialQueue::sync on a queue that is shutting down: " + label_);
    }
    finished.get();
}

bool SerialQueue::isCurrent() const {
    std::lock_guard lock(state_->mutex);
    return state_->worker == std::this_thread::get_id();
}

}  // namespace vask
