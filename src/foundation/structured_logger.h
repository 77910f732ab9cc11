#pragma once

#include <map>
#include <string>
#include <string_view>

#include "platform/logger.h"

namespace vask {

// The application's logging facade: one snake_case event name and string metadata per line,
// under the application's subsystem and the owner's category. Copy it freely.
class StructuredLogger {
  public:
    using Metadata = std::map<std::string, std::string>;

    static constexpr std::string_view applicationSubsystem = "ai.ternwick.Vask";

    explicit StructuredLogger(std::string category,
                              std::string subsystem = std::string(applicationSubsystem))
        : logger_(std::move(subsystem), std::move(category)) {}

    void info(std::string_view event, const Metadata& metadata = {}) const;
    // Written at the error level: warnings and errors read the same in the log.
    void warning(std::string_view event, const Metadata& metadata = {}) const;
    void error(std::string_view event, const Metadata& metadata = {}) const;

    // The event name, then "key=value" pairs joined by single blanks; nothing quoted.
    static std::string format(std::string_view event, const Metadata& metadata);

    const std::string& category() const { return logger_.category(); }

  private:
    void write(LogLevel level, std::string_view event, const Metadata& metadata) const;

    Logger logger_;
};

}  // namespace vask
