#pragma once

#include <mutex>
#include <string_view>
#include <vector>

#include "platform/log_sink.h"

namespace vask {

// Keeps every record in memory, for tests that assert on what was logged.
class CapturingLogSink final : public LogSink {
  public:
    bool isEnabled(LogLevel) const override { return true; }
    void write(const LogRecord& record) override;

    std::vector<LogRecord> records() const;
    // Records of one event name, in the order they were written.
    std::vector<LogRecord> events(std::string_view event) const;
    bool contains(std::string_view event) const { return !events(event).empty(); }
    // Whether `text` appears anywhere in any message or metadata value.
    bool mentions(std::string_view text) const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;
};

}  // namespace vask
