#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/log_sink.h"

#include "store/shadow_message.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"

namespace vask::test {

// Asks for a stop when a log message starts with `prefix` (the synchronisation says where it
// is). Installed with LogSink::install.
class StopOnLog : public LogSink {
  public:
    StopOnLog(std::stop_source stop, std::string prefix)
        : stop_(std::move(stop)), prefix_(std::move(prefix)) {}
    bool isEnabled(LogLevel) const override { return true; }
    void write(const LogRecord& record) override {
        if (record.message.starts_with(prefix_)) {
            stop_.request_stop();
        }
    }

  private:
    std::stop_source stop_;
    std::string prefix_;
};

// Every message logged while installed.
class LogLines : public LogSink {
  public:
    bool isEnabled(LogLevel) const override { return true; }
    void write(const LogRecord& record) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(record.message);
    }
    // How many messages start with `prefix`.
    std::size_t count(std::string_view prefix) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(
            std::count_if(lines_.begin(), lines_.end(),
                          [&](const auto& line) { return line.starts_with(prefix); }));
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A separate connection to a database file, as another process would have.
inline SQLiteConnection openFile(const std::filesystem::path& path) {
    return SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate);
}

inline std::int64_t queryInt(const std::filesystem::path& path, const std::string& sql) {
    auto db = openFile(path);
    SQLiteStatement statement(db.get(), sql);
    return statement.step() ? statement.columnInt64(0) : -1;
}

inline std::string queryText(const std::filesystem::path& path, const std::string& sql) {
    auto db = openFile(path);
    SQLiteStatement statement(db.get(), sql);
    return statement.step() ? statement.columnText(0) : "<no row>";
}

// FTS5's own check that messages_fts holds exactly the words of the messages table; throws on a
// mismatch ("database disk image is malformed").
inline void checkMessagesFullTextIndex(const std::filesystem::path& path) {
    auto db = openFile(path);
    db.execute("INSERT INTO messages_fts(messages_fts, rank) VALUES ('integrity-check', 1)");
}

inline std::int64_t fullTextMatches(const std::filesystem::path& path, const std::string& query) {
    auto db = openFile(path);
    SQLiteStatement statement(db.get(),
                              "SELECT COUNT(*) FROM messages_fts WHERE messages_fts MATCH ?");
    statement.bind(1, query);
    statement.step();
    return statement.columnInt64(0);
}

inline ShadowMessage shadowMessage(std::string guid, std::string text, std::int64_t timestamp = 1) {
    ShadowMessage message;
    message.guid = std::move(guid);
    message.chatId = "iMessage;-;+15550100";
    message.sender = "+15550100";
    message.text = std::move(text);
    message.timestamp = timestamp;
    return message;
}

}  // namespace vask::test
