#include "sources/contacts_trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>

namespace vask {
namespace {

std::string timestamp() {
    const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    gmtime_r(&now, &utc);
    char buffer[32];
    const auto length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &utc);
    return std::string(buffer, length);
}

}  // namespace

std::filesystem::path ContactsTrace::defaultPath() {
    std::error_code error;
    auto folder = std::filesystem::temp_directory_path(error);
    return (error ? std::filesystem::path("/tmp") : folder) / "vask_contacts.log";
}

void ContactsTrace::log(std::string_view message) noexcept {
    try {
        log(message, processEnvironment(), defaultPath());
    } catch (...) {
        // The trace is best effort by contract: it must never reach the permission flow.
    }
}

void ContactsTrace::log(std::string_view message, const Environment& env,
                        const std::filesystem::path& file) noexcept {
    try {
        const auto hooks = env.find("VASK_TEST_HOOKS");
        if (hooks == env.end() || hooks->second != "1") {
            return;
        }
        std::string line = timestamp();
        line.insert(line.begin(), '[');
        line.append("] ").append(message).append("\n");
        // O_NONBLOCK keeps a planted FIFO from blocking the open.
        const int fd =
            ::open(file.c_str(),
                   O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
        if (fd < 0) {
            return;
        }
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            [[maybe_unused]] const auto written = ::write(fd, line.data(), line.size());
        }
        ::close(fd);
    } catch (...) {
        // As above: tracing never fails its caller.
    }
}

}  // namespace vask
