#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "foundation/structured_logger.h"
#include "platform/serial_queue.h"
#include "records/chat_session.h"
#include "records/session_store.h"

namespace vask {

// Writes the chat's sessions off the main executor. Saves run one at a time in the order they
// were asked for; a save asked for while another waits replaces it, so the store always ends
// holding the last state. Destruction writes what is still pending.
class SessionSaveQueue {
  public:
    using Snapshot = std::vector<std::shared_ptr<const ChatSession>>;

    SessionSaveQueue(std::shared_ptr<SessionStore> store, StructuredLogger logger);

    SessionSaveQueue(const SessionSaveQueue&) = delete;
    SessionSaveQueue& operator=(const SessionSaveQueue&) = delete;

    // Cheap on the caller's thread: only the session pointers are copied. Citation lists are
    // bounded for saving on the queue; the caller's sessions are never touched.
    void save(Snapshot sessions);
    // Returns once every save asked for so far has been written (or has failed).
    void flush();

    // The copy of `session` that is written: every citation list bounded for persistence.
    static ChatSession boundedForSaving(const ChatSession& session);

  private:
    struct Pending {
        std::mutex mutex;
        std::optional<Snapshot> sessions;
    };
    static void writeLatest(Pending& pending, SessionStore& store, const StructuredLogger& logger);

    std::shared_ptr<SessionStore> store_;
    StructuredLogger logger_;
    std::shared_ptr<Pending> pending_ = std::make_shared<Pending>();
    // Last, so that it is joined before the state its tasks use goes away.
    SerialQueue queue_;
};

}  // namespace vask
