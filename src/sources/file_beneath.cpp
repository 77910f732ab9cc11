#include "sources/file_beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "platform/file_io.h"
#include "sources/file_access_types.h"

namespace vask::FileBeneath {
namespace fs = std::filesystem;

namespace {

constexpr int kFileFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

int retrying(auto call) {
    int result = 0;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// -1 with errno ENOSYS when the kernel has no openat2.
int openat2Beneath(int rootFd, const fs::path& relative) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(kFileFlags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return retrying([&] {
        return static_cast<int>(::syscall(SYS_openat2, rootFd, relative.c_str(), &how, sizeof how));
    });
}

UniqueFd openComponentByComponent(UniqueFd directory, const fs::path& root,
                                  const fs::path& relative) {
    const auto last = std::prev(relative.end());
    for (auto it = relative.begin(); it != relative.end(); ++it) {
        const auto& component = *it;
        if (component == ".." || component == "." || component.empty()) {
            throw FileError("open", root / relative, EXDEV);
        }
        const int flags =
            it == last ? kFileFlags | O_NOFOLLOW : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        UniqueFd next(
            retrying([&] { return ::openat(directory.get(), component.c_str(), flags); }));
        if (!next.isOpen()) {
            throw FileError("open", root / relative, errno);
        }
        directory = std::move(next);
    }
    return directory;
}

}  // namespace

UniqueFd openRegularFile(const fs::path& root, const fs::path& relative, Walk walk) {
    if (relative.empty() || relative.is_absolute() ||
        std::any_of(relative.begin(), relative.end(),
                    [](const fs::path& component) { return component == ".."; })) {
        throw FileError("open", root / relative, EXDEV);
    }
    UniqueFd rootFd(retrying(
        [&] { return ::open(root.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!rootFd.isOpen()) {
        throw FileError("open", root, errno);
    }
    UniqueFd file;
    if (walk == Walk::automatic) {
        file.reset(openat2Beneath(rootFd.get(), relative));
        if (!file.isOpen() && errno != ENOSYS) {
            throw FileError("open", root / relative, errno);
        }
    }
    if (!file.isOpen()) {
        file = openComponentByComponent(std::move(rootFd), root, relative);
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        throw FileError("stat", root / relative, errno);
    }
    if (!S_ISREG(info.st_mode)) {
        throw Error("Not a regular file: " + (root / relative).string());
    }
    return file;
}

std::string readAll(const UniqueFd& fd, std::uintmax_t maxBytes, std::stop_token stop) {
    std::string contents;
    std::array<char, std::size_t{64} * 1024> buffer{};
    while (true) {
        if (stop.stop_requested()) {
            throw Error("Reading the file was cancelled");
        }
        const auto n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw FileError("read", "", errno);
        }
        if (n == 0) {
            return contents;
        }
        // The file may have grown since it was measured.
        if (contents.size() + static_cast<std::size_t>(n) > maxBytes) {
            throw FileAccessError(FileAccessError::Case::tooLarge);
        }
        contents.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

}  // namespace vask::FileBeneath
