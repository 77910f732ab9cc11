#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/crypto.h"
#include "platform/unique_fd.h"

namespace vask {
namespace {

void writeAll(int fd, std::string_view contents, const std::filesystem::path& path) {
    std::size_t written = 0;
    while (written < contents.size()) {
        const ssize_t n = ::write(fd, contents.data() + written, contents.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw FileError("write", path, errno);
        }
        written += static_cast<std::size_t>(n);
    }
}

// The path to write: `path` itself, or for a link the file at the end of its chain (relative
// targets are taken from the link's own folder). ELOOP for a link the policy refuses and for a
// chain that goes round.
std::filesystem::path resolveWriteTarget(const std::filesystem::path& path, LinkPolicy links) {
    constexpr int maximumLinks = 40;  // as the kernel allows
    auto current = path;
    for (int hops = 0; hops <= maximumLinks; ++hops) {
        struct stat status {};
        if (::lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return current;
        }
        if (links == LinkPolicy::refuse) {
            throw FileError("write", current, ELOOP,
                            "it is a symbolic link, and this file is written only where it is, not "
                            "through a link");
        }
        std::error_code error;
        const auto next = std::filesystem::read_symlink(current, error);
        if (error) {
            throw FileError("read the symbolic link", current, error.value());
        }
        current = next.is_absolute() ? next : current.parent_path() / next;
    }
    throw FileError("resolve", path, ELOOP);
}

void replaceRegularFile(const std::filesystem::path& path, std::string_view contents,
                        std::filesystem::perms mode) {
    const auto folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    // Appended piece by piece: GCC 12 warns (-Wrestrict, wrongly) about the chained operator+.
    std::string name = ".";
    name += path.filename().string();
    name += ".tmp-";
    name += randomUUID();
    const auto temporary = folder / name;
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                       static_cast<mode_t>(mode)));
    if (fd.get() < 0) {
        throw FileError("create", temporary, errno);
    }
    try {
        writeAll(fd.get(), contents, temporary);
        if (::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0) {
            throw FileError("set the mode of", temporary, errno);
        }
        if (::fsync(fd.get()) != 0) {
            throw FileError("flush", temporary, errno);
        }
        if (::close(fd.release()) != 0) {
            throw FileError("close", temporary, errno);
        }
        if (::rename(temporary.c_str(), path.c_str()) != 0) {
            throw FileError("replace", path, errno);
        }
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    // The rename is durable only once the folder is flushed; failing that is not worth failing
    // a write that has already replaced the file.
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) {
        ::fsync(dir.get());
    }
}

// A device or a FIFO is what the user named, not a file to replace. No O_CREAT or O_TRUNC: had it
// become a regular file since it was looked at, the check after opening catches it before a byte
// is written. O_NONBLOCK makes a FIFO without a reader fail (ENXIO) instead of waiting forever;
// once open, writes block as usual.
void writeInPlace(const std::filesystem::path& path, std::string_view contents) {
    struct stat status {};
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        const int error = errno;
        if (error == ENXIO && ::lstat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode)) {
            throw FileError("write", path, error, "no process is reading from this pipe");
        }
        throw FileError("open", path, error);
    }
    if (::fstat(fd.get(), &status) != 0) {
        throw FileError("inspect", path, errno);
    }
    if (!S_ISCHR(status.st_mode) && !S_ISFIFO(status.st_mode)) {
        throw FileError("write", path, EINVAL, "it changed while it was being opened");
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        throw FileError("open", path, errno);
    }
    writeAll(fd.get(), contents, path);
    if (::close(fd.release()) != 0) {
        throw FileError("close", path, errno);
    }
}

// Refuses what is not a regular file, saying what it is.
void requireRegularMode(const struct stat& status, const std::filesystem::path& path) {
    if (!S_ISREG(status.st_mode)) {
        throw FileError("read", path, S_ISDIR(status.st_mode) ? EISDIR : EINVAL,
                        S_ISDIR(status.st_mode) ? "it is a folder, not a file"
                        : S_ISFIFO(status.st_mode)
                            ? "it is a pipe (FIFO), not a regular file"
                            : "it is a device or a socket, not a regular file");
    }
}

}  // namespace

FileError::FileError(std::string_view operation, const std::filesystem::path& path, int errorNumber)
    : Error(std::string("Could not ") + std::string(operation) + " " + path.string() + ": " +
            std::strerror(errorNumber)),
      errorNumber_(errorNumber) {}

FileError::FileError(std::string_view operation, const std::filesystem::path& path, int errorNumber,
                     std::string_view reason)
    : Error(std::string("Could not ") + std::string(operation) + " " + path.string() + ": " +
            std::string(reason)),
      errorNumber_(errorNumber) {}

std::optional<UniqueFd> openRegularFileForReading(const std::filesystem::path& path,
                                                  LinkPolicy links) {
    const int noFollow = links == LinkPolicy::refuse ? O_NOFOLLOW : 0;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | noFollow));
    if (!fd.isOpen()) {
        const int error = errno;
        if (error == ENOENT) {
            return std::nullopt;
        }
        if (error == ELOOP && links == LinkPolicy::refuse) {
            throw FileError("read", path, error,
                            "it is a symbolic link, and this file is read only where it is, not "
                            "through a link");
        }
        throw FileError("open", path, error);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        throw FileError("inspect", path, errno);
    }
    requireRegularMode(status, path);
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        throw FileError("open", path, errno);
    }
    return fd;
}

void requireRegularFile(const std::filesystem::path& path, LinkPolicy links) {
    // O_PATH opens nothing: closing a descriptor that did would drop every POSIX lock this
    // process holds on the file, those of the SQLite connections about to share it included.
    const int noFollow = links == LinkPolicy::refuse ? O_NOFOLLOW : 0;
    const UniqueFd fd(::open(path.c_str(), O_PATH | O_CLOEXEC | noFollow));
    if (!fd.isOpen()) {
        throw FileError("open", path, errno);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        throw FileError("inspect", path, errno);
    }
    if (S_ISLNK(status.st_mode)) {
        throw FileError("read", path, ELOOP,
                        "it is a symbolic link, and this file is read only where it is, not "
                        "through a link");
    }
    requireRegularMode(status, path);
}

std::optional<std::string> readFileIfExists(const std::filesystem::path& path, LinkPolicy links) {
    auto opened = openRegularFileForReading(path, links);
    if (!opened) {
        return std::nullopt;
    }
    const UniqueFd fd = std::move(*opened);
    std::string contents;
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw FileError("read", path, errno);
        }
        if (n == 0) {
            return contents;
        }
        contents.append(buffer, static_cast<std::size_t>(n));
    }
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view contents,
                         std::filesystem::perms mode, LinkPolicy links) {
    const auto target = resolveWriteTarget(path, links);
    struct stat status {};
    if (::lstat(target.c_str(), &status) != 0) {
        if (errno != ENOENT) {
            throw FileError("inspect", target, errno);
        }
        replaceRegularFile(target, contents, mode);
    } else if (S_ISREG(status.st_mode)) {
        replaceRegularFile(target, contents, mode);
    } else if (S_ISCHR(status.st_mode) || S_ISFIFO(status.st_mode)) {
        writeInPlace(target, contents);
    } else if (S_ISDIR(status.st_mode)) {
        throw FileError("write", target, EISDIR);
    } else {
        // A block device would be overwritten whole; a socket cannot be opened.
        throw FileError("write", target, EINVAL,
                        "it is neither a regular file, a character device nor a pipe");
    }
}

std::filesystem::path setAsideCorruptFile(const std::filesystem::path& path) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    const auto stem = path.string() + ".corrupt-" + std::to_string(seconds);
    for (int attempt = 1;; ++attempt) {
        const auto aside = attempt == 1 ? stem : stem + "-" + std::to_string(attempt);
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
            return aside;
        }
        if (errno != EEXIST) {
            throw FileError("rename", path, errno);
        }
    }
}

}  // namespace vask
