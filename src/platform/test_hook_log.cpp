#include "platform/test_hook_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

namespace vask::test_hook_log {

std::string record(std::string_view message, Clock::WallTime now) {
    const auto seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[40];
    const auto length = std::strftime(stamp, sizeof stamp, "[%Y-%m-%d %H:%M:%S +0000] ", &utc);
    std::string line(stamp, length);
    line.reserve(line.size() + message.size() + 1);
    for (const char c : message) {
        line.push_back(c);
        if (c == '\n') {
            line.push_back(' ');
        }
    }
    line.push_back('\n');
    return line;
}

bool appendOwnerOnly(const std::filesystem::path& file, std::string_view bytes) noexcept {
    // O_NONBLOCK keeps a planted FIFO from blocking the open.
    const int fd = ::open(
        file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        return false;
    }
    bool written = false;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
        ((info.st_mode & 077) == 0 || ::fchmod(fd, 0600) == 0)) {
        std::string_view rest = bytes;
        written = true;
        while (!rest.empty()) {
            const auto n = ::write(fd, rest.data(), rest.size());
            if (n <= 0) {
                written = false;
                break;
            }
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return written;
}

}  // namespace vask::test_hook_log
