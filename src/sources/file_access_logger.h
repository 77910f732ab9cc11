#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/logger.h"

namespace vask {

// The file access service's events: "event k=v k=v" with the pairs in the order given, and the
// event name and metadata on the record for whoever reads them structurally.
class FileAccessLogger {
  public:
    using Metadata = std::vector<std::pair<std::string, std::string>>;

    FileAccessLogger() : logger_("ai.vask.VaskCore", "file-access") {}

    void info(std::string_view event, const Metadata& metadata = {}) const {
        log(LogLevel::info, event, metadata);
    }
    // Warnings are written at the error level.
    void error(std::string_view event, const Metadata& metadata = {}) const {
        log(LogLevel::error, event, metadata);
    }

    static std::string format(std::string_view event, const Metadata& metadata);

  private:
    void log(LogLevel level, std::string_view event, const Metadata& metadata) const;
    Logger logger_;
};

}  // namespace vask
