#include "sources/file_access_logger.h"

#include "foundation/structured_logger.h"

namespace vask {

std::string FileAccessLogger::format(std::string_view event, const Metadata& metadata) {
    // One pair at a time, so that the pairs keep the order given rather than the sorted order of
    // a whole map.
    std::string text(event);
    for (const auto& [key, value] : metadata) {
        text = StructuredLogger::format(text, {{key, value}});
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
