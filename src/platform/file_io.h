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
    int errorNumber() const { return errorNumber_; }

  private:
    int errorNumber_;
};

// The whole file, or nothing when it does not exist. Any other failure throws FileError.
std::optional<std::string> readFileIfExists(const std::filesystem::path& path);

// Replaces `path` with `contents` so that readers, and the file after a crash, see either the
// old or the new contents in full: a temporary file in the same folder is written, flushed and
// renamed over the target, and the folder is flushed. Throws FileError.
void writeFileAtomically(const std::filesystem::path& path, std::string_view contents,
                         std::filesystem::perms mode = std::filesystem::perms::owner_read |
                                                       std::filesystem::perms::owner_write);

// Moves a damaged file out of the way and keeps it beside the original, as
// "<name>.corrupt-<seconds since 1970>" ("-2", "-3"... added when that name is taken: an earlier
// copy is never replaced). Returns where it went. Throws FileError.
std::filesystem::path setAsideCorruptFile(const std::filesystem::path& path);

}  // namespace vask
