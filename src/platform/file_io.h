#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"

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

// The whole file, or nothing when it does not exist. Any other failure throws FileError.
std::optional<std::string> readFileIfExists(const std::filesystem::path& path);

// What the writer does when the path it is given is a symbolic link.
enum class LinkPolicy {
    // Resolve it and write the file it names (a settings file kept by a dotfile manager stays a
    // link); a dangling link gets its target created.
    replaceTarget,
    // Refuse with FileError (ELOOP): for a file in Vask's own data folder, where a link is
    // nothing Vask made and writing through it would put the data somewhere else.
    refuse,
};

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
