#pragma once

#include <memory>

#include "platform/capturing_log_sink.h"

namespace vask::test {

// Sends every log record of the process to a capturing sink while it lives.
class LogCapture {
  public:
    LogCapture()
        : sink_(std::make_shared<CapturingLogSink>()), previous_(LogSink::install(sink_)) {}
    ~LogCapture() { LogSink::install(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    CapturingLogSink& operator*() const { return *sink_; }
    CapturingLogSink* operator->() const { return sink_.get(); }

  private:
    std::shared_ptr<CapturingLogSink> sink_;
    std::shared_ptr<LogSink> previous_;
};

}  // namespace vask::test
