#include "platform/test_hook_log.h"

#include <ctime>

#include "platform/owner_only_file.h"

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
    return !appendToOwnerOnlyFile(file, bytes).has_value();
}

}  // namespace vask::test_hook_log
