#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace vask::test {

// Whether another process finds a POSIX lock on some byte of `file`, as SQLite in the RLM helper
// would before it decides that a database, or its shared-memory index, is unheld. The look is
// made from a forked child, because a process never sees its own locks as conflicting.
inline bool lockedForAnotherProcess(const std::filesystem::path& file) {
    const pid_t child = ::fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        // Only async-signal-safe calls between fork and _exit.
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        struct flock probe {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        if (fd < 0 || ::fcntl(fd, F_GETLK, &probe) != 0) {
            ::_exit(2);
        }
        ::_exit(probe.l_type == F_UNLCK ? 0 : 1);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) == 2) {
        throw std::runtime_error("the lock probe failed for " + file.string());
    }
    return WEXITSTATUS(status) == 1;
}

}  // namespace vask::test
