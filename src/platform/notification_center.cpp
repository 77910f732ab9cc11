#include "platform/notification_center.h"

#include <vector>

namespace vask {

Subscription NotificationCenter::addObserver(std::string name, Observer observer,
                                             const void* sender) {
    std::uint64_t id;
    {
        std::lock_guard lock(registry_->mutex);
        id = registry_->nextId++;
        registry_->entries.emplace(
            id, Entry{std::move(name), sender, std::make_shared<Observer>(std::move(observer))});
    }
    std::weak_ptr<Registry> weak = registry_;
    return Subscription([weak, id] {
        if (auto registry = weak.lock()) {
            std::lock_guard lock(registry->mutex);
            registry->entries.erase(id);
        }
    });
}

void NotificationCenter::post(const std::string& name, const void* sender) {
    std::vector<std::pair<std::uint64_t, std::shared_ptr<Observer>>> matching;
    {
        std::lock_guard lock(registry_->mutex);
        for (const auto& [id, entry] : registry_->entries) {
            if (entry.name == name && (entry.sender == nullptr || entry.sender == sender)) {
                matching.emplace_back(id, entry.observer);
            }
        }
    }
    const Notification notification{name, sender};
    for (const auto& [id, observer] : matching) {
        // An observer removed by an earlier one in this same post is not called.
        bool stillRegistered;
        {
            std::lock_guard lock(registry_->mutex);
            stillRegistered = registry_->entries.contains(id);
        }
        if (stillRegistered) {
            (*observer)(notification);
        }
    }
}

NotificationCenter& NotificationCenter::shared() {
    static NotificationCenter center;
    return center;
}

}  // namespace vask
