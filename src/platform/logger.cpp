#include "platform/logger.h"

namespace vask {

void Logger::log(LogLevel level, std::string message) const {
    auto sink = LogSink::current();
    if (!sink->isEnabled(level)) {
        return;
    }
    LogRecord record;
    record.level = level;
    record.message = std::move(message);
    write(std::move(record));
}

void Logger::write(LogRecord record) const {
    auto sink = LogSink::current();
    if (!sink->isEnabled(record.level)) {
        return;
    }
    record.time = Clock::system().now();
    record.subsystem = subsystem_;
    record.category = category_;
    sink->write(record);
}

}  // namespace vask
