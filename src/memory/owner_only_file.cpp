#include "memory/owner_only_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>
#include <system_error>

namespace vask {
namespace {

namespace fs = std::filesystem;

constexpr mode_t ownerReadWrite = S_IRUSR | S_IWUSR;
constexpr std::array<const char*, 3> companionSuffixes{"-journal", "-wal", "-shm"};

[[noreturn]] void fail(const char* what, const fs::path& path) {
    throw fs::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

void setOwnerOnly(const fs::path& path, bool create) {
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | (create ? O_CREAT : 0);
    const int fd = ::open(path.c_str(), flags, ownerReadWrite);
    if (fd < 0) {
        fail("could not open a private file", path);
    }
    // fchmod, not the creation mode alone: an existing file keeps its old mode through open.
    if (::fchmod(fd, ownerReadWrite) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        fail("could not make a file private", path);
    }
    ::close(fd);
}

void restrictCompanions(const fs::path& databasePath) {
    for (const char* suffix : companionSuffixes) {
        const fs::path companion = databasePath.string() + suffix;
        if (::chmod(companion.c_str(), ownerReadWrite) != 0 && errno != ENOENT) {
            fail("could not make a file private", companion);
        }
    }
}

}  // namespace

void prepareOwnerOnlyDatabase(const fs::path& databasePath) {
    setOwnerOnly(databasePath, true);
    restrictCompanions(databasePath);
}

void restrictDatabaseToOwner(const fs::path& databasePath) {
    setOwnerOnly(databasePath, false);
    restrictCompanions(databasePath);
}

}  // namespace vask
