#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "records/session_store.h"

namespace vask::test {

// Sessions kept in memory, with every save counted. A load or save can be made to fail. Safe
// from any thread (the chat saves on its own queue).
class FakeSessionStore final : public SessionStore {
  public:
    explicit FakeSessionStore(std::filesystem::path databaseURL = "/nonexistent/sessions.db")
        : databaseURL_(std::move(databaseURL)) {}

    const std::filesystem::path& databaseURL() const override { return databaseURL_; }
    std::vector<ChatSession> loadSessions() override;
    void saveSessions(const std::vector<ChatSession>& sessions) override;

    void setStored(std::vector<ChatSession> sessions);
    void failLoads(std::optional<std::string> message);
    void failSaves(std::optional<std::string> message);

    // While held, a save waits inside saveSessions until release().
    void holdSaves();
    void release();
    // Waits until a save is waiting inside saveSessions; false after `limit`.
    bool waitForHeldSave(std::chrono::milliseconds limit = std::chrono::minutes(1));

    std::vector<ChatSession> stored() const;
    int saveCount() const;

  private:
    std::filesystem::path databaseURL_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool holding_ = false;
    bool saveWaiting_ = false;
    std::vector<ChatSession> stored_;
    std::optional<std::string> loadFailure_;
    std::optional<std::string> saveFailure_;
    int saves_ = 0;
};

}  // namespace vask::test
