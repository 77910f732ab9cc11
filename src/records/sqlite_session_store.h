#pragma once

#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/structured_logger.h"
#include "records/chat_session.h"
#include "records/session_store.h"

namespace vask {

// Chat sessions in one SQLite file ("sessions.db"): session fields in columns, each message as
// its JSON with sorted keys, and a full-text copy of message texts for the helper. Each call
// opens its own connection and closes it before returning. The file stays in rollback-journal
// mode so that a plain copy of it is complete (the staging of a helper run copies it).
//
// A store whose load failed never overwrites the file it could not read. A file that is corrupt
// or does not decode is moved aside (with its journal) by the next save, to
// "<name>.unreadable-<seconds>", and logged; after any other failure (a lock held past the busy
// timeout, an I/O or permission error) every save is refused until a load succeeds, so a
// history that was merely out of reach is never replaced.
class SQLiteSessionStore final : public SessionStore {
  public:
    static constexpr std::string_view storeMarker = "vask_sessions_store";
    static constexpr std::string_view snapshotMarker = "vask_session_snapshot";
    static constexpr std::string_view activeSessionKey = "active_session_id";

    static constexpr std::chrono::milliseconds defaultBusyTimeout{5000};

    // `busyTimeout` is how long a load or save waits while another connection holds the file.
    explicit SQLiteSessionStore(std::filesystem::path databaseURL,
                                std::chrono::milliseconds busyTimeout = defaultBusyTimeout);

    // <support directory>/sessions.db. Nothing when the support directory cannot be had (the
    // failure is logged): the chat then runs without saving, rather than reading and rewriting
    // the history of another instance.
    static std::optional<std::filesystem::path> defaultDatabaseURL();

    const std::filesystem::path& databaseURL() const override { return databaseURL_; }

    // Nothing when no file exists (none is created), or when the file holds no sessions table (a
    // first save that never committed). An existing file is made 0600. A busy file is waited
    // for up to the busy timeout and a hot journal is rolled back. Any failure to read, step or
    // decode throws SessionStoreError; no partial list is ever returned.
    std::vector<ChatSession> loadSessions() override;

    // Throws savingRefused, writing nothing, after a load that failed for any reason other than
    // a corrupt or undecodable file. One transaction: the file ends holding exactly `sessions` and
    // the store mark. A session whose encoded messages equal the stored ones keeps its message rows
    // untouched. A failure up to the commit leaves the file as it was. The file and its journal are
    // 0600 from their creation.
    void saveSessions(const std::vector<ChatSession>& sessions) override;

    // A complete new file at `destination` holding `sessions`, marked as a snapshot for
    // `activeSessionID`; written beside it under a hidden temporary name and moved into place,
    // 0600. No temporary file is left behind, whatever happens.
    static void writeSnapshot(const std::vector<ChatSession>& sessions,
                              std::string_view activeSessionID,
                              const std::filesystem::path& destination);

    // Turns an existing copy of the live file into a snapshot for `activeSessionID`: only its
    // marks change. Fails with openFailed, creating nothing, when no file is there.
    static void markSnapshot(const std::filesystem::path& copy, std::string_view activeSessionID);

  private:
    enum class SaveGate { open, setAsideFirst, refused };

    std::vector<ChatSession> readStoredSessions() const;
    void setAsideUnreadableFile();

    std::filesystem::path databaseURL_;
    StructuredLogger logger_{"session-store"};
    std::chrono::milliseconds busyTimeout_;
    std::mutex mutex_;
    SaveGate saveGate_ = SaveGate::open;
    std::string refusal_;
};

}  // namespace vask
