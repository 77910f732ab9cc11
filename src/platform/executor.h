#pragma once

#include <functional>

namespace vask {

using Task = std::function<void()>;

// Something that runs tasks. post() may be called from any thread.
class Executor {
  public:
    virtual ~Executor() = default;
    virtual void post(Task task) = 0;
};

// The executor that owns all view-model state: the UI event loop in the application, a
// ManualExecutor in tests. Blocking work never runs here.
class MainExecutor : public Executor {};

}  // namespace vask
