#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>

#include "platform/file_io.h"

namespace vask {
namespace {

// Never through a link (a lock file beside a settings file may sit in a folder others can
// write, and its mode is set below) and never waiting on a FIFO put in its place.
int openForLocking(const std::filesystem::path& path, bool create) {
    constexpr int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    int fd = ::open(path.c_str(), flags | (create ? O_CREAT : 0), 0600);
    if (fd < 0 && errno == EISDIR) {
        fd = ::open(path.c_str(), flags | O_DIRECTORY);
    }
    return fd;
}

// The descriptor of the file or folder at `path`, a missing file made. A lock file left by an
// earlier run keeps whatever mode it had unless reset here. Throws FileError.
int openLockFile(const std::filesystem::path& path) {
    const int fd = openForLocking(path, true);
    if (fd < 0) {
        throw FileError("open", path, errno);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || (S_ISREG(info.st_mode) && ::fchmod(fd, 0600) != 0)) {
        const int error = errno;
        ::close(fd);
        throw FileError("lock", path, error);
    }
    return fd;
}

bool lock(int fd, bool wait) {
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

}  // namespace

FileLock FileLock::acquire(const std::filesystem::path& path) {
    const int fd = openLockFile(path);
    if (!lock(fd, true)) {
        const int error = errno;
        ::close(fd);
        throw FileError("lock", path, error);
    }
    return FileLock(fd);
}

std::optional<FileLock> FileLock::tryAcquire(const std::filesystem::path& path) {
    const int fd = openForLocking(path, false);
    if (fd < 0) {
        return std::nullopt;
    }
    if (!lock(fd, false)) {
        ::close(fd);
        return std::nullopt;
    }
    return FileLock(fd);
}

std::optional<FileLock> FileLock::tryAcquireOrCreate(const std::filesystem::path& path) {
    const int fd = openLockFile(path);
    if (!lock(fd, false)) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            return std::nullopt;
        }
        throw FileError("lock", path, error);
    }
    return FileLock(fd);
}

std::optional<pid_t> FileLock::holderOf(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    // "1: FLOCK  ADVISORY  WRITE 4711 08:01:1234 0 EOF"; a waiter's line has "->" after the
    // number and is skipped.
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", ::major(info.st_dev),
                  ::minor(info.st_dev), static_cast<unsigned long long>(info.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        char type[16] = {};
        char device[64] = {};
        long pid = 0;
        if (std::sscanf(line.c_str(), "%*d: %15s %*s %*s %ld %63s", type, &pid, device) == 3 &&
            std::string_view(type) == "FLOCK" && std::string_view(device) == wanted && pid > 0) {
            return static_cast<pid_t>(pid);
        }
    }
    return std::nullopt;
}

bool FileLock::isStillAt(const std::filesystem::path& path) const {
    struct stat held {};
    struct stat there {};
    return fd_ >= 0 && ::fstat(fd_, &held) == 0 && ::lstat(path.c_str(), &there) == 0 &&
           held.st_dev == there.st_dev && held.st_ino == there.st_ino;
}

FileLock::FileLock(FileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

FileLock::~FileLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

}  // namespace vask
