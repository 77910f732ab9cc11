#include "support/fake_session_store.h"

#include "records/session_store_error.h"

namespace vask::test {

std::vector<ChatSession> FakeSessionStore::loadSessions() {
    std::lock_guard lock(mutex_);
    if (loadFailure_) {
        throw SessionStoreError::decodingFailed(*loadFailure_);
    }
    return stored_;
}

void FakeSessionStore::saveSessions(const std::vector<ChatSession>& sessions) {
    std::unique_lock lock(mutex_);
    saveWaiting_ = holding_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !holding_; });
    saveWaiting_ = false;
    ++saves_;
    if (saveFailure_) {
        throw SessionStoreError::sqlite(*saveFailure_);
    }
    stored_ = sessions;
}

void FakeSessionStore::setStored(std::vector<ChatSession> sessions) {
    std::lock_guard lock(mutex_);
    stored_ = std::move(sessions);
}

void FakeSessionStore::failLoads(std::optional<std::string> message) {
    std::lock_guard lock(mutex_);
    loadFailure_ = std::move(message);
}

void FakeSessionStore::failSaves(std::optional<std::string> message) {
    std::lock_guard lock(mutex_);
    saveFailure_ = std::move(message);
}

void FakeSessionStore::holdSaves() {
    std::lock_guard lock(mutex_);
    holding_ = true;
}

void FakeSessionStore::release() {
    std::lock_guard lock(mutex_);
    holding_ = false;
    changed_.notify_all();
}

bool FakeSessionStore::waitForHeldSave(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return saveWaiting_; });
}

std::vector<ChatSession> FakeSessionStore::stored() const {
    std::lock_guard lock(mutex_);
    return stored_;
}

int FakeSessionStore::saveCount() const {
    std::lock_guard lock(mutex_);
    return saves_;
}

}  // namespace vask::test
