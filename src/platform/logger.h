#pragma once

#include <string>
#include <string_view>

#include "platform/log_sink.h"

namespace vask {

// The platform logger: a subsystem and a category bound to the process's log sink. The core
// library logs through it directly; the application goes through StructuredLogger.
class Logger {
  public:
    Logger(std::string subsystem, std::string category)
        : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

    bool isEnabled(LogLevel level) const { return LogSink::current()->isEnabled(level); }
    void log(LogLevel level, std::string message) const;
    void write(LogRecord record) const;

    void debug(std::string message) const { log(LogLevel::debug, std::move(message)); }
    void info(std::string message) const { log(LogLevel::info, std::move(message)); }
    void error(std::string message) const { log(LogLevel::error, std::move(message)); }

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

  private:
    std::string subsystem_;
    std::string category_;
};

}  // namespace vask
