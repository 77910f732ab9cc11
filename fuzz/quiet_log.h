#pragma once

#include <memory>

#include "platform/log_sink.h"

namespace vask::fuzz {

// The code under test logs every cut and refusal; a fuzzer would spend its time writing them.
class QuietLogSink final : public LogSink {
  public:
    bool isEnabled(LogLevel) const override { return false; }
    void write(const LogRecord&) override {}
};

inline void silenceLogs() {
    static const bool installed = [] {
        LogSink::install(std::make_shared<QuietLogSink>());
        return true;
    }();
    (void)installed;
}

}  // namespace vask::fuzz
