#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>

namespace vask {

// An exclusive advisory lock (flock) on a file or folder, held while the object lives and ended
// with the process that held it, so a crashed holder never leaves it taken.
class FileLock {
  public:
    // Waits until the lock is held. A missing path is created as an empty 0600 file, and an
    // existing lock file is set back to 0600; a folder is locked as it is. Throws FileError.
    static FileLock acquire(const std::filesystem::path& path);
    // The lock on an existing file or folder when nobody holds it; nothing otherwise.
    static std::optional<FileLock> tryAcquire(const std::filesystem::path& path);
    // The lock when nobody holds it, a missing path made as acquire() makes it; nothing while
    // another holds it, whatever the file contains. Throws FileError when the path cannot be
    // opened or made (a link, another user's file, a missing folder).
    static std::optional<FileLock> tryAcquireOrCreate(const std::filesystem::path& path);
    // The process holding the lock on `path`, as the kernel tells (/proc/locks); nothing when
    // no one holds it or it cannot be told.
    static std::optional<pid_t> holderOf(const std::filesystem::path& path);

    // Whether the locked file or folder is still the one at `path` (not removed or replaced
    // since it was opened).
    bool isStillAt(const std::filesystem::path& path) const;

    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

  private:
    explicit FileLock(int fd) : fd_(fd) {}

    int fd_ = -1;
};

}  // namespace vask
