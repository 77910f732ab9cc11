#include "sources/file_access_logger.h"

namespace vask {

std::string FileAccessLogger::format(std::string_view event, const Metadata& metadata) {
    std::string text(event);
    for (const auto& [key, value] : metadata) {
        text += ' ';
        text += key;
        text += '=';
        text += value;
    }
    return text;
}

void FileAccessLogger::log(LogLevel level, std::string_view event, const Metadata& metadata) const {
    if (!logger_.isEnabled(level)) {
        return;
    }
    LogRecord record;
    record.level = level;
    record.message = format(event, metadata);
    record.event = std::string(event);
    record.metadata.insert(metadata.begin(), metadata.end());
    logger_.write(std::move(record));
}

}  // namespace vask
