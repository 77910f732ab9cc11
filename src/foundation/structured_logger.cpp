#include "foundation/structured_logger.h"

namespace vask {

void StructuredLogger::info(std::string_view event, const Metadata& metadata) const {
    write(LogLevel::info, event, metadata);
}

void StructuredLogger::warning(std::string_view event, const Metadata& metadata) const {
    write(LogLevel::error, event, metadata);
}

void StructuredLogger::error(std::string_view event, const Metadata& metadata) const {
    write(LogLevel::error, event, metadata);
}

std::string StructuredLogger::format(std::string_view event, const Metadata& metadata) {
    std::string text(event);
    for (const auto& [key, value] : metadata) {
        text += ' ';
        text += key;
        text += '=';
        text += value;
    }
    return text;
}

void StructuredLogger::write(LogLevel level, std::string_view event,
                             const Metadata& metadata) const {
    // The enabled check comes first so that a disabled level costs no formatting.
    if (!logger_.isEnabled(level)) {
        return;
    }
    LogRecord record;
    record.level = level;
    record.message = format(event, metadata);
    record.event = std::string(event);
    record.metadata = metadata;
    logger_.write(std::move(record));
}

}  // namespace vask
