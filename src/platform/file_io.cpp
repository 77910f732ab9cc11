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

}  // namespace

FileError::FileError(std::string_view operation, const std::filesystem::path& path, int errorNumber)
    : Error(std::string("Could not ") + std::string(operation) + " " + path.string() + ": " +
            std::strerror(errorNumber)),
      errorNumber_(errorNumber) {}

std::optional<std::string> readFileIfExists(const std::filesystem::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        throw FileError("open", path, errno);
    }
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
                         std::filesystem::perms mode) {
    const auto folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    const auto temporary = folder / ("." + path.filename().string() + ".tmp-" + randomUUID());
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
