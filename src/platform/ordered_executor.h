#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/executor.h"

namespace vask {

// Runs its tasks on another executor (a worker pool), one at a time and in the order they were
// posted, without a thread of its own: steps that must not interleave (writing an account,
// removing it) keep their order on a pool of several threads. Tasks still queued when the
// object goes run all the same (the state is shared with the posted runner).
class OrderedExecutor final : public Executor {
  public:
    explicit OrderedExecutor(Executor& target) : target_(target) {}

    void post(Task task) override {
        {
            std::lock_guard lock(state_->mutex);
            state_->tasks.push_back(std::move(task));
            if (std::exchange(state_->running, true)) {
                return;
            }
        }
        target_.post([state = state_] { drain(*state); });
    }

  private:
    struct State {
        std::mutex mutex;
        std::deque<Task> tasks;
        bool running = false;
    };

    static void drain(State& state) {
        for (;;) {
            Task task;
            {
                std::lock_guard lock(state.mutex);
                if (state.tasks.empty()) {
                    state.running = false;
                    return;
                }
                task = std::move(state.tasks.front());
                state.tasks.pop_front();
            }
            task();
        }
    }

    Executor& target_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace vask
