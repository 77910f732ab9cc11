#pragma once

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "platform/subscription.h"

namespace vask {

enum class Delivery { currentValueFirst, changesOnly };

// An observable value owned by the main executor: every assignment notifies every subscriber,
// whether or not the value changed. Not thread-safe by design; only the main executor touches it.
// Subscribers may subscribe, unsubscribe or assign from inside a delivery.
template <typename T>
class Published {
  public:
    using Observer = std::function<void(const T&)>;

    Published() = default;
    explicit Published(T initial) : value_(std::move(initial)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    ~Published() {
        for (auto& entry : observers_->entries) {
            entry->active = false;
        }
    }

    const T& get() const { return value_; }

    void set(T value) {
        value_ = std::move(value);
        notify();
    }

    // Changes the value in place and notifies as set() does: for large values that grow by
    // small steps, where a copy per change would cost more than the change.
    template <typename Mutate>
    void update(Mutate&& mutate) {
        std::forward<Mutate>(mutate)(value_);
        notify();
    }

    [[nodiscard]] Subscription subscribe(Observer observer,
                                         Delivery delivery = Delivery::currentValueFirst) {
        auto entry = std::make_shared<Entry>(Entry{std::move(observer), true});
        observers_->entries.push_back(entry);
        std::weak_ptr<Observers> weakObservers = observers_;
        std::weak_ptr<Entry> weakEntry = entry;
        Subscription subscription([weakObservers, weakEntry] {
            auto removed = weakEntry.lock();
            if (!removed) {
                return;
            }
            removed->active = false;
            if (auto observers = weakObservers.lock()) {
                std::erase(observers->entries, removed);
            }
        });
        if (delivery == Delivery::currentValueFirst) {
            entry->observer(value_);
        }
        return subscription;
    }

    std::size_t subscriberCount() const { return observers_->entries.size(); }

  private:
    void notify() {
        // Deliver to a snapshot so that changes to the list during delivery are safe; a removed
        // entry is marked inactive and skipped.
        auto snapshot = observers_->entries;
        for (const auto& entry : snapshot) {
            if (entry->active) {
                entry->observer(value_);
            }
        }
    }

    struct Entry {
        Observer observer;
        bool active;
    };
    struct Observers {
        std::vector<std::shared_ptr<Entry>> entries;
    };

    T value_{};
    std::shared_ptr<Observers> observers_ = std::make_shared<Observers>();
};

}  // namespace vask
