#include "platform/log_sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/owner_only_file.h"

namespace vask {
namespace {

std::atomic<std::shared_ptr<LogSink>>& currentSink() {
    static std::atomic<std::shared_ptr<LogSink>> sink;
    return sink;
}

std::string timestamp(Clock::WallTime time) {
    using namespace std::chrono;
    const auto millis = duration_cast<milliseconds>(time.time_since_epoch()).count();
    const auto seconds = static_cast<std::time_t>(millis / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis % 1000));
    return text;
}

void appendEscaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
}

}  // namespace

std::string_view toString(LogLevel level) {
    switch (level) {
        case LogLevel::debug:
            return "debug";
        case LogLevel::info:
            return "info";
        case LogLevel::error:
            return "error";
    }
    return "unknown";
}

std::shared_ptr<LogSink> LogSink::current() {
    auto sink = currentSink().load();
    if (sink) {
        return sink;
    }
    std::shared_ptr<LogSink> expected;
    auto made = fromEnvironment();
    if (currentSink().compare_exchange_strong(expected, made)) {
        return made;
    }
    return expected;
}

std::shared_ptr<LogSink> LogSink::install(std::shared_ptr<LogSink> sink) {
    return currentSink().exchange(std::move(sink));
}

std::shared_ptr<LogSink> LogSink::fromEnvironment() {
    const char* level = std::getenv("VASK_LOG_LEVEL");
    const LogLevel minimum =
        level != nullptr && std::string_view(level) == "debug" ? LogLevel::debug : LogLevel::info;
    if (const char* path = std::getenv("VASK_LOG_FILE"); path != nullptr && *path != '\0') {
        std::string whyNot;
        if (auto sink = FdLogSink::appendingTo(path, minimum, &whyNot)) {
            return sink;
        }
        std::fprintf(stderr, "vask: cannot log to VASK_LOG_FILE (%s); logging to stderr\n",
                     whyNot.c_str());
    }
    return FdLogSink::standardError(minimum);
}

std::string LogSink::formatLine(const LogRecord& record) {
    std::string line = timestamp(record.time);
    line += ' ';
    line += toString(record.level);
    line += ' ';
    line += record.subsystem;
    line += " [";
    line += record.category;
    line += "] ";
    appendEscaped(line, record.message);
    line += '\n';
    return line;
}

FdLogSink::FdLogSink(int fd, bool ownsFd, LogLevel minimum)
    : fd_(fd), ownsFd_(ownsFd), minimum_(minimum) {}

FdLogSink::~FdLogSink() {
    if (ownsFd_) {
        ::close(fd_);
    }
}

std::shared_ptr<FdLogSink> FdLogSink::standardError(LogLevel minimum) {
    return std::make_shared<FdLogSink>(STDERR_FILENO, false, minimum);
}

std::shared_ptr<FdLogSink> FdLogSink::appendingTo(const std::string& path, LogLevel minimum,
                                                  std::string* whyNot) {
    try {
        auto fd = openOwnerOnlyFileForAppending(path);
        return std::make_shared<FdLogSink>(fd.release(), true, minimum);
    } catch (const std::exception& error) {
        if (whyNot != nullptr) {
            *whyNot = error.what();
        }
        return nullptr;
    }
}

bool FdLogSink::isEnabled(LogLevel level) const {
    return static_cast<int>(level) >= static_cast<int>(minimum_);
}

void FdLogSink::write(const LogRecord& record) {
    const std::string line = formatLine(record);
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // Nowhere left to report a failing log write.
        }
        written += static_cast<std::size_t>(n);
    }
}

}  // namespace vask
