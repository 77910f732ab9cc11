#include "platform/capturing_log_sink.h"

namespace vask {

void CapturingLogSink::write(const LogRecord& record) {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
}

std::vector<LogRecord> CapturingLogSink::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<LogRecord> CapturingLogSink::events(std::string_view event) const {
    std::lock_guard lock(mutex_);
    std::vector<LogRecord> matching;
    for (const auto& record : records_) {
        if (record.event == event) {
            matching.push_back(record);
        }
    }
    return matching;
}

bool CapturingLogSink::mentions(std::string_view text) const {
    std::lock_guard lock(mutex_);
    for (const auto& record : records_) {
        if (record.message.find(text) != std::string::npos) {
            return true;
        }
        for (const auto& [key, value] : record.metadata) {
            if (value.find(text) != std::string::npos || key.find(text) != std::string::npos) {
                return true;
            }
        }
    }
    return false;
}

void CapturingLogSink::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

}  // namespace vask
