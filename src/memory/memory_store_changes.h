#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>

#include "memory/memory_principal.h"
#include "platform/uuid.h"

namespace vask {

// The associations of this principal changed.
struct MemoryStoreChange {
    MemoryPrincipal principal;
    bool operator==(const MemoryStoreChange&) const = default;
};

// The store's change feed. Each subscriber gets its own unbounded buffer: sending only appends
// to the buffers, so the store can send from inside its serialised call without ever running a
// subscriber's code there; the subscriber reads its buffer on its own thread.
class MemoryStoreChanges : public std::enable_shared_from_this<MemoryStoreChanges> {
  public:
    // One subscriber's changes, in the order of the writes. Releasing it ends the subscription.
    class Stream {
      public:
        ~Stream();
        Stream(const Stream&) = delete;
        Stream& operator=(const Stream&) = delete;

        // Waits for the next change; nothing once `stop` is requested.
        std::optional<MemoryStoreChange> next(std::stop_token stop);
        // The next change if one is waiting.
        std::optional<MemoryStoreChange> tryNext();

      private:
        friend class MemoryStoreChanges;
        Stream(std::weak_ptr<MemoryStoreChanges> feed, Uuid key);
        void push(const MemoryStoreChange& change);

        std::weak_ptr<MemoryStoreChanges> feed_;
        Uuid key_;
        std::mutex mutex_;
        std::condition_variable_any available_;
        std::deque<MemoryStoreChange> buffer_;
    };

    static std::shared_ptr<MemoryStoreChanges> make();

    std::shared_ptr<Stream> stream();
    void send(const MemoryPrincipal& principal);

    std::size_t subscriberCount() const;

  private:
    MemoryStoreChanges() = default;
    void remove(const Uuid& key);

    mutable std::mutex lock_;
    // Held weakly: the subscriber owns its stream, and a send keeps it alive only while pushing.
    std::map<Uuid, std::weak_ptr<Stream>> continuations_;
};

}  // namespace vask
