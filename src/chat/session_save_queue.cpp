#include "chat/session_save_queue.h"

#include "records/citation_service.h"

namespace vask {

SessionSaveQueue::SessionSaveQueue(std::shared_ptr<SessionStore> store, StructuredLogger logger)
    : store_(std::move(store)),
      logger_(std::move(logger)),
      queue_("ai.ternwick.chat-sessions-save") {}

void SessionSaveQueue::save(Snapshot sessions) {
    bool writeQueued = false;
    {
        std::lock_guard lock(pending_->mutex);
        writeQueued = pending_->sessions.has_value();
        pending_->sessions = std::move(sessions);
    }
    if (!writeQueued) {
        queue_.post([pending = pending_, store = store_, logger = logger_] {
            writeLatest(*pending, *store, logger);
        });
    }
}

void SessionSaveQueue::flush() {
    queue_.sync([] {});
}

ChatSession SessionSaveQueue::boundedForSaving(const ChatSession& session) {
    ChatSession copy = session;
    for (auto& message : copy.messages) {
        if (!message.sources) {
            continue;
        }
        const ResolvedSources bounded = CitationService::boundedForPersistence(
            {*message.sources, message.sourcesTruncated.value_or(false)});
        message.sources = bounded.sources;
        message.sourcesTruncated = bounded.truncated;
    }
    return copy;
}

void SessionSaveQueue::writeLatest(Pending& pending, SessionStore& store,
                                   const StructuredLogger& logger) {
    std::optional<Snapshot> latest;
    {
        std::lock_guard lock(pending.mutex);
        latest.swap(pending.sessions);
    }
    if (!latest) {
        return;
    }
    try {
        std::vector<ChatSession> sessions;
        sessions.reserve(latest->size());
        for (const auto& session : *latest) {
            sessions.push_back(boundedForSaving(*session));
        }
        store.saveSessions(sessions);
    } catch (const std::exception& e) {
        logger.error("session_persist_failed", {{"error", e.what()}});
    }
}

}  // namespace vask
