#pragma once

#include <sys/types.h>

#include <fstream>
#include <string>

namespace vask::test {

// Whether `pid` has ended: no such process, or one that only waits to be reaped (a zombie).
inline bool processGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return true;
    }
    // The state follows the command name, which may itself hold ") ".
    const auto close = line.rfind(')');
    return close != std::string::npos && line.size() > close + 2 && line[close + 2] == 'Z';
}

}  // namespace vask::test
