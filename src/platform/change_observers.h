#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/subscription.h"

namespace vask {

// The observers of one object's changes, for objects that change on threads other than the
// main executor's (where Published<T> serves). Thread-safe: observers run synchronously on the
// thread that calls notify(), outside the list's lock, for as long as their subscription lives.
// An observer whose subscription ends during a notify() is not called from then on, even by
// that notify().
class ChangeObservers {
  public:
    using Observer = std::function<void()>;

    [[nodiscard]] Subscription observe(Observer observer);
    void notify() const;

  private:
    struct Registry {
        std::mutex mutex;
        std::map<std::uint64_t, std::shared_ptr<Observer>> entries;
        std::uint64_t nextId = 0;
    };

    std::shared_ptr<Registry> registry_ = std::make_shared<Registry>();
};

}  // namespace vask
