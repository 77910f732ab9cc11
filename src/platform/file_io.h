#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/unique_fd.h"

namespace vask {

// A file operation that failed; what() names the operation, the path and the system's reason.
class FileError : public Error {
  public:
    FileError(std::string_view operation, const std::filesystem::path& path, int errorNumber);
    // The same with the reason said in words rather than by the system's text for errorNumber.
    FileError(std::string_view operation, const std::filesystem::path& path, int errorNumber,
              std::string_view reason);
    int errorNumber() const { return errorNumber_; }

  private:
    int errorNumber_;
};

// What a reader or writer does when the path it is given is a symbolic link.
enum class LinkPolicy {
    // Resolve it: a reader reads the file it names, a writer writes that file (a settings file
    // kept by a dotfile manager stays a link) and creates the target of a dangling link.
    replaceTarget,
    // Refuse with FileError (ELOOP): for a file in Vask's own data folder, where a link is
    // nothing Vask made and reading or writing through it would use data from somewhere else.
    refuse,
};

// Opens `path` for reading only when it is a regular file (after the link, if `links` follows
// one). A FIFO, a device, a socket or a folder is refused without waiting on it: the open never
// blocks (O_NONBLOCK, cleared again once the descriptor is known to be a regular file) and the
// check is made on the opened descriptor, so nothing can be swapped in between. Nothing when the
// path does not exist. Throws FileError naming the path; nothing is changed or removed.
std::optional<UniqueFd> openRegularFileForReading(const std::filesystem::path& path,
                                                  LinkPolicy links = LinkPolicy::replaceTarget);

// The same check for a reader that opens the path itself afterwards (SQLite): throws FileError
// unless `path` is an existing regular file (ENOENT when missing). The file is looked at without
// being opened, so the POSIX locks this process holds on it (SQLite's) stay.
void requireRegularFile(const std::filesystem::path& path,
                        LinkPolicy links = LinkPolicy::replaceTarget);

// The whole file, or nothing when it does not exist. A path that is not a regular file, or a
// link that `links` refuses, and any other failure throw FileError.
std::optional<std::string> readFileIfExists(const std::filesystem::path& path,
                                            LinkPolicy links = LinkPolicy::replaceTarget);

// Writes `contents` to `path`. A regular file, or one that does not exist yet, is replaced so
// that readers, and the file after a crash, see either the old or the new contents in full: a
// temporary file in the same folder is written with `mode`, flushed and renamed over the target,
// and the folder is flushed. A link is handled as `links` says. Anything else that exists (a
// character device such as /dev/null, a FIFO) is written in place, never replaced: it is opened
// without creating or truncating, a FIFO without blocking (no reader is an error, ENXIO), and its
// mode is left alone. A folder, a block device or a socket is refused. Throws FileError.
void writeFileAtomically(const std::filesystem::path& path, std::string_view contents,
                         std::filesystem::perms mode = std::filesystem::perms::owner_read |
                                                       std::filesystem::perms::owner_write,
                         LinkPolicy links = LinkPolicy::replaceTarget);

// Moves a damaged file out of the way and keeps it beside the original, as
// "<name>.corrupt-<seconds since 1970>" ("-2", "-3"... added when that name is taken: an earlier
// copy is never replaced). Returns where it went. Throws FileError.
std::filesystem::path setAsideCorruptFile(const std::filesystem::path& path);

}  // namespace vask
