#include "platform/change_observers.h"

#include <utility>
#include <vector>

namespace vask {

Subscription ChangeObservers::observe(Observer observer) {
    std::uint64_t id;
    {
        std::lock_guard lock(registry_->mutex);
        id = registry_->nextId++;
        registry_->entries.emplace(id, std::make_shared<Observer>(std::move(observer)));
    }
    std::weak_ptr<Registry> weak = registry_;
    return Subscription([weak, id] {
        if (auto registry = weak.lock()) {
            std::lock_guard lock(registry->mutex);
            registry->entries.erase(id);
        }
    });
}

void ChangeObservers::notify() const {
    std::vector<std::pair<std::uint64_t, std::shared_ptr<Observer>>> current;
    {
        std::lock_guard lock(registry_->mutex);
        current.assign(registry_->entries.begin(), registry_->entries.end());
    }
    for (const auto& [id, observer] : current) {
        // An observer removed by an earlier one in this same notify() is not called.
        bool stillRegistered;
        {
            std::lock_guard lock(registry_->mutex);
            stillRegistered = registry_->entries.contains(id);
        }
        if (stillRegistered) {
            (*observer)();
        }
    }
}

}  // namespace vask
