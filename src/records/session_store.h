#pragma once

#include <filesystem>
#include <vector>

#include "records/chat_session.h"

namespace vask {

// Where the chat keeps its sessions between runs.
class SessionStore {
  public:
    virtual ~SessionStore() = default;

    virtual const std::filesystem::path& databaseURL() const = 0;
    // Every stored session, newest first. Throws SessionStoreError.
    virtual std::vector<ChatSession> loadSessions() = 0;
    // Makes the store hold exactly `sessions`. Throws SessionStoreError.
    virtual void saveSessions(const std::vector<ChatSession>& sessions) = 0;
};

}  // namespace vask
