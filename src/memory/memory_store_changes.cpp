#include "memory/memory_store_changes.h"

#include <vector>

namespace vask {

MemoryStoreChanges::Stream::Stream(std::weak_ptr<MemoryStoreChanges> feed, Uuid key)
    : feed_(std::move(feed)), key_(key) {}

MemoryStoreChanges::Stream::~Stream() {
    if (auto feed = feed_.lock()) {
        feed->remove(key_);
    }
}

std::optional<MemoryStoreChange> MemoryStoreChanges::Stream::next(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    if (!available_.wait(lock, stop, [this] { return !buffer_.empty(); })) {
        return std::nullopt;
    }
    auto change = std::move(buffer_.front());
    buffer_.pop_front();
    return change;
}

std::optional<MemoryStoreChange> MemoryStoreChanges::Stream::tryNext() {
    std::lock_guard lock(mutex_);
    if (buffer_.empty()) {
        return std::nullopt;
    }
    auto change = std::move(buffer_.front());
    buffer_.pop_front();
    return change;
}

void MemoryStoreChanges::Stream::push(const MemoryStoreChange& change) {
    {
        std::lock_guard lock(mutex_);
        buffer_.push_back(change);
    }
    available_.notify_all();
}

std::shared_ptr<MemoryStoreChanges> MemoryStoreChanges::make() {
    return std::shared_ptr<MemoryStoreChanges>(new MemoryStoreChanges());
}

std::shared_ptr<MemoryStoreChanges::Stream> MemoryStoreChanges::stream() {
    const Uuid key = Uuid::random();
    std::shared_ptr<Stream> stream(new Stream(weak_from_this(), key));
    std::lock_guard lock(lock_);
    continuations_.emplace(key, stream);
    return stream;
}

void MemoryStoreChanges::send(const MemoryPrincipal& principal) {
    std::vector<std::weak_ptr<Stream>> subscribers;
    {
        std::lock_guard lock(lock_);
        subscribers.reserve(continuations_.size());
        for (const auto& [key, stream] : continuations_) {
            subscribers.push_back(stream);
        }
    }
    const MemoryStoreChange change{principal};
    for (const auto& weak : subscribers) {
        if (auto stream = weak.lock()) {
            stream->push(change);
        }
    }
}

std::size_t MemoryStoreChanges::subscriberCount() const {
    std::lock_guard lock(lock_);
    return continuations_.size();
}

void MemoryStoreChanges::remove(const Uuid& key) {
    std::lock_guard lock(lock_);
    continuations_.erase(key);
}

}  // namespace vask
