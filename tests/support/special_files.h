#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <vector>

namespace vask::test {

// Sets or clears the immutable attribute, which keeps even the superuser from adding, removing
// or changing entries. False where the file system or the user cannot set it.
inline bool setImmutable(const std::filesystem::path& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    const bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      (flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL,
                       ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (fd >= 0) {
        ::close(fd);
    }
    return done;
}

// Runs `work` and tells whether it returned within a generous bound. When it did not (it waits
// in open() on one of `fifos`), each FIFO is opened once at each end, which lets a blocked reader
// or writer through, so that the test fails instead of hanging. The read ends stay open until
// the work has returned, so that a writer let through is not killed by SIGPIPE.
inline bool returnsWithoutWaitingOn(const std::vector<std::filesystem::path>& fifos,
                                    const std::function<void()>& work) {
    auto run = std::async(std::launch::async, work);
    if (run.wait_for(std::chrono::seconds(30)) == std::future_status::ready) {
        run.get();
        return true;
    }
    std::vector<int> readEnds;
    while (run.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        for (const auto& fifo : fifos) {
            if (const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
                reader >= 0) {
                readEnds.push_back(reader);
            }
            if (const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                writer >= 0) {
                ::close(writer);
            }
        }
    }
    for (const int reader : readEnds) {
        ::close(reader);
    }
    return false;
}

// Whether `path` is still a FIFO (nothing replaced or removed it).
inline bool isFifo(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

}  // namespace vask::test
