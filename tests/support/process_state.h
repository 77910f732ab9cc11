#pragma once

#include <sys/types.h>

#include <csignal>
#include <filesystem>
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

// Kills the children of this process, so that a child a fault left waiting does not hold the
// test that waits for it for ever.
inline void killChildren() {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream children(task.path() / "children");
        for (pid_t pid = 0; children >> pid;) {
            ::kill(pid, SIGKILL);
        }
    }
}

}  // namespace vask::test
