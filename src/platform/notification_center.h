#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/subscription.h"

namespace vask {

// A broadcast within the process: a name and, optionally, the object that sent it.
struct Notification {
    std::string name;
    const void* sender = nullptr;
};

// Named in-process broadcasts. Observers run synchronously on the posting thread, outside the
// center's lock. An observer registered with a sender only hears posts from that sender; one
// registered without hears every post of the name.
class NotificationCenter {
  public:
    using Observer = std::function<void(const Notification&)>;

    [[nodiscard]] Subscription addObserver(std::string name, Observer observer,
                                           const void* sender = nullptr);
    void post(const std::string& name, const void* sender = nullptr);

    static NotificationCenter& shared();

  private:
    struct Entry {
        std::string name;
        const void* sender;
        std::shared_ptr<Observer> observer;
    };
    struct Registry {
        std::mutex mutex;
        std::map<std::uint64_t, Entry> entries;
        std::uint64_t nextId = 0;
    };

    std::shared_ptr<Registry> registry_ = std::make_shared<Registry>();
};

}  // namespace vask
