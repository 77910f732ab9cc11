#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/clock.h"

namespace vask {

enum class LogLevel { debug, info, error };

std::string_view toString(LogLevel level);

// One event on its way to a sink. `event` and `metadata` are set by the structured logger, so
// tests can assert on them; `message` is the text a person reads.
struct LogRecord {
    Clock::WallTime time;
    LogLevel level = LogLevel::info;
    std::string subsystem;
    std::string category;
    std::string message;
    std::string event;
    std::map<std::string, std::string> metadata;
};

// Where log records go. The process has one current sink: stderr, or the file named by
// VASK_LOG_FILE; tests install a capturing sink.
class LogSink {
  public:
    virtual ~LogSink() = default;
    virtual bool isEnabled(LogLevel level) const = 0;
    virtual void write(const LogRecord& record) = 0;

    static std::shared_ptr<LogSink> current();
    // Replaces the process's sink; returns the one it replaced.
    static std::shared_ptr<LogSink> install(std::shared_ptr<LogSink> sink);
    // The sink the environment asks for: VASK_LOG_FILE, else stderr; VASK_LOG_LEVEL=debug
    // enables debug records.
    static std::shared_ptr<LogSink> fromEnvironment();

    // One line of text for a record: time, level, subsystem, category and message, with line
    // breaks and other control characters escaped so that one event stays one line.
    static std::string formatLine(const LogRecord& record);
};

// Writes lines to a file descriptor (stderr, or a log file opened for appending). Each line is
// one write(2), so lines from several threads or processes never interleave.
class FdLogSink final : public LogSink {
  public:
    FdLogSink(int fd, bool ownsFd, LogLevel minimum);
    ~FdLogSink() override;
    FdLogSink(const FdLogSink&) = delete;
    FdLogSink& operator=(const FdLogSink&) = delete;

    static std::shared_ptr<FdLogSink> standardError(LogLevel minimum = LogLevel::info);
    // Opens `path` for appending (created 0600) when it is a regular file of this user, never
    // through a link and never waiting on a FIFO. Returns null when it cannot be opened, and
    // says why in `whyNot` when given.
    static std::shared_ptr<FdLogSink> appendingTo(const std::string& path,
                                                  LogLevel minimum = LogLevel::info,
                                                  std::string* whyNot = nullptr);

    bool isEnabled(LogLevel level) const override;
    void write(const LogRecord& record) override;

  private:
    int fd_;
    bool ownsFd_;
    LogLevel minimum_;
};

}  // namespace vask
