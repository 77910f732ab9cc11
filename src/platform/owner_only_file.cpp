#include "platform/owner_only_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include "platform/file_io.h"
#include "platform/unique_fd.h"

namespace vask {
namespace {

namespace fs = std::filesystem;

constexpr mode_t ownerReadWrite = S_IRUSR | S_IWUSR;
constexpr std::array<const char*, 3> companionSuffixes{"-journal", "-wal", "-shm"};

[[noreturn]] void fail(const char* what, const fs::path& path, int error) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// fchmodat2 (Linux 6.6), which older C libraries do not name; its number is the same on every
// architecture.
constexpr long fchmodat2Call = 452;

// Sets the mode of the file `fd` (an O_PATH descriptor of `path`) to 0600, or returns why not:
// through the descriptor's /proc name (fchmod refuses an O_PATH descriptor). Where /proc is
// missing (a container, a tmpfs over it), by the path, without following a link where the kernel
// can (fchmodat2), and then checked to have reached the file `fd` names: a path that was made
// another file meanwhile is refused.
int makeOwnerOnly(int fd, const fs::path& path) {
    const std::string byDescriptor = "/proc/self/fd/" + std::to_string(fd);
    if (::chmod(byDescriptor.c_str(), ownerReadWrite) == 0) {
        return 0;
    }
    if (errno != ENOENT) {
        return errno;
    }
    if (::syscall(fchmodat2Call, AT_FDCWD, path.c_str(), ownerReadWrite, AT_SYMLINK_NOFOLLOW) !=
        0) {
        if (errno == EOPNOTSUPP) {
            return ELOOP;  // a link now
        }
        if ((errno != ENOSYS && errno != EPERM) || ::chmod(path.c_str(), ownerReadWrite) != 0) {
            return errno;
        }
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return errno;
    }
    return (info.st_mode & 07777) == ownerReadWrite ? 0 : ESTALE;
}

// Closing any descriptor of a file drops every POSIX lock this process holds on it, SQLite's
// among them, whichever descriptor took them (see "Broken POSIX advisory locks" in SQLite's own
// notes on corruption). Another connection of Vask may hold a database or its companions while a
// store prepares them, so nothing here opens them for reading or writing: a missing database is
// made by mknod, which opens nothing (0600 less the umask, which can only narrow it), and an
// existing or new file is looked at through an O_PATH descriptor, which takes and drops no lock
// when closed, and its mode set as makeOwnerOnly says. O_PATH opens nothing, so a planted FIFO
// never blocks either.
void setOwnerOnly(const fs::path& path, bool create, bool mustExist) {
    if (create && ::mknod(path.c_str(), S_IFREG | ownerReadWrite, 0) != 0 && errno != EEXIST) {
        fail("could not open a private file", path, errno);
    }
    const UniqueFd fd(::open(path.c_str(), O_PATH | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.isOpen()) {
        const int error = errno;
        if (error == ENOENT && !mustExist) {
            return;
        }
        fail("could not open a private file", path, error);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        fail("could not inspect a private file", path, errno);
    }
    if (S_ISLNK(info.st_mode)) {
        fail("refusing a database path that is a symbolic link", path, ELOOP);
    }
    if (!S_ISREG(info.st_mode)) {
        fail("refusing a database path that is not a regular file", path, EINVAL);
    }
    // The creation mode alone is not enough: an existing file keeps its old mode, and the umask
    // narrows a new one.
    if ((info.st_mode & 07777) != ownerReadWrite) {
        if (const int error = makeOwnerOnly(fd.get(), path); error != 0) {
            fail("could not make a file private", path, error);
        }
    }
}

void restrictCompanions(const fs::path& databasePath) {
    for (const char* suffix : companionSuffixes) {
        setOwnerOnly(databasePath.string() + suffix, false, false);
    }
}

std::string reason(const fs::path& path, const std::string& why) {
    return path.string() + ": " + why;
}

// Whether `fd` is a folder of this user that no one else may enter; an own folder that others
// may enter is closed to them when `narrow` holds. The reason when it is not fit.
std::optional<std::string> unfitFolder(int fd, const fs::path& path, bool narrow) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return reason(path, std::strerror(errno));
    }
    if (!S_ISDIR(info.st_mode)) {
        return reason(path, "not a folder");
    }
    if (info.st_uid != ::geteuid()) {
        return reason(path, "owned by another user");
    }
    if ((info.st_mode & 077) != 0) {
        // A sticky folder open to others is a shared one (a temporary folder): never narrowed,
        // even when this user (root) owns it.
        if (!narrow || (info.st_mode & S_ISVTX) != 0) {
            return reason(path, "open to other users");
        }
        if (::fchmod(fd, S_IRWXU) != 0) {
            return reason(path, std::string("could not be made private: ") + std::strerror(errno));
        }
    }
    return std::nullopt;
}

std::optional<std::string> unfitExistingFolder(const fs::path& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.isOpen()) {
        return reason(path, errno == ELOOP || errno == ENOTDIR ? "not a folder (or a link)"
                                                               : std::strerror(errno));
    }
    return unfitFolder(fd.get(), path, false);
}

std::optional<std::string> unfitCreatedFolder(const fs::path& path) {
    try {
        createOwnerOnlyDirectories(path);
    } catch (const FileError& error) {
        // The first real failure (an unwritable home, say), not what it causes further down.
        return error.what();
    }
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.isOpen()) {
        return reason(path, errno == ELOOP || errno == ENOTDIR ? "not a folder (or a link)"
                                                               : std::strerror(errno));
    }
    return unfitFolder(fd.get(), path, true);
}

}  // namespace

void createOwnerOnlyDirectories(const fs::path& folder) {
    if (folder.empty()) {
        return;
    }
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0) {
        if (!S_ISDIR(info.st_mode)) {
            throw FileError("create the folder", folder, ENOTDIR);
        }
        return;
    }
    const auto parent = folder.parent_path();
    if (parent != folder && !parent.empty()) {
        createOwnerOnlyDirectories(parent);
    }
    if (::mkdir(folder.c_str(), S_IRWXU) != 0) {
        if (errno == EEXIST) {
            return;  // made meanwhile by someone else; its checks are the caller's
        }
        throw FileError("create the folder", folder, errno);
    }
    // A umask such as 0277 would leave even the owner out; set what was asked.
    if (::chmod(folder.c_str(), S_IRWXU) != 0) {
        throw FileError("set the mode of", folder, errno);
    }
}

void ensurePrivateFolder(const fs::path& folder) {
    if (const auto unfit = unfitCreatedFolder(folder)) {
        throw Error("Vask cannot use the folder " + folder.string() + " (" + *unfit + ")");
    }
}

bool isFolderWritableByOthers(const fs::path& folder) {
    struct stat info {};
    if (::stat(folder.empty() ? "." : folder.c_str(), &info) != 0) {
        return true;
    }
    return info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

void prepareOwnerOnlyDatabase(const fs::path& databasePath) {
    setOwnerOnly(databasePath, true, true);
    restrictCompanions(databasePath);
}

void restrictDatabaseToOwner(const fs::path& databasePath) {
    setOwnerOnly(databasePath, false, true);
    restrictCompanions(databasePath);
}

bool isRefusedDatabasePath(const fs::filesystem_error& error) {
    return error.code() == std::errc::too_many_symbolic_link_levels ||
           error.code() == std::errc::invalid_argument;
}

UniqueFd openOwnerOnlyFileForAppending(const fs::path& file) {
    // O_NONBLOCK keeps a planted FIFO from blocking the open.
    UniqueFd fd(
        ::open(file.c_str(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
               ownerReadWrite));
    if (!fd.isOpen()) {
        const int error = errno;
        if (error == ELOOP) {
            throw FileError("append to", file, error, "it is a symbolic link");
        }
        if (error == ENXIO) {
            throw FileError("append to", file, error, "it is a pipe (FIFO), not a regular file");
        }
        throw FileError("open", file, error);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        throw FileError("inspect", file, errno);
    }
    if (!S_ISREG(info.st_mode)) {
        throw FileError("append to", file, EINVAL, "it is not a regular file");
    }
    if (info.st_uid != ::geteuid()) {
        throw FileError("append to", file, EPERM, "it is owned by another user");
    }
    if ((info.st_mode & 077) != 0 && ::fchmod(fd.get(), ownerReadWrite) != 0) {
        throw FileError("set the mode of", file, errno);
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        throw FileError("open", file, errno);
    }
    return fd;
}

std::optional<std::string> appendToOwnerOnlyFile(const fs::path& file,
                                                 std::string_view bytes) noexcept {
    try {
        const UniqueFd fd = openOwnerOnlyFileForAppending(file);
        std::string_view rest = bytes;
        while (!rest.empty()) {
            const auto n = ::write(fd.get(), rest.data(), rest.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return reason(file, n < 0 ? std::strerror(errno) : "short write");
            }
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
        return std::nullopt;
    } catch (const std::exception& error) {
        return std::string(error.what());
    } catch (...) {
        return std::string("could not append to a file");
    }
}

fs::path privateRuntimeFolder(const Environment& env) {
    std::string reasons;
    const auto note = [&](const std::string& why) {
        reasons += (reasons.empty() ? "" : "; ") + why;
    };
    if (const auto runtime = env.find("XDG_RUNTIME_DIR");
        runtime != env.end() && fs::path(runtime->second).is_absolute()) {
        fs::path folder(runtime->second);
        const auto unfit = unfitExistingFolder(folder);
        if (!unfit) {
            return folder;
        }
        note(*unfit);
    }
    for (const auto& base : {xdgCacheHome(env), xdgDataHome(env)}) {
        if (!base) {
            continue;
        }
        fs::path folder = *base / "vask-runtime";
        const auto unfit = unfitCreatedFolder(folder);
        if (!unfit) {
            return folder;
        }
        note(*unfit);
    }
    throw Error("No private folder for the single-instance socket and lock" +
                (reasons.empty() ? std::string(": no home folder") : ": " + reasons));
}

}  // namespace vask
