#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/unique_fd.h"

namespace vask {

// Private databases (memory.db, sessions.db, contacts.db, shadow.db) must never be readable by
// other users, not even for the moment between SQLite creating a file and a later chmod: SQLite
// creates files 0644 less the umask, and its -journal, -wal and -shm files take the main file's
// mode. A database path, or a companion's, that is a symbolic link is refused and left as it is:
// SQLite would open the link's target and make its companions beside the target, outside the
// data folder. Modes change only on files opened without following links, and never through a
// descriptor that could drop the POSIX locks another connection of this process holds on them.

// Creates `databasePath` as an empty file when missing (made 0600 less the umask, which can only
// narrow it, then set to 0600 whatever the umask), sets an existing one back to 0600, and does
// the same to each of its -journal, -wal and -shm files that exist, with or without /proc.
// Throws std::filesystem::filesystem_error naming the path.
void prepareOwnerOnlyDatabase(const std::filesystem::path& databasePath);

// The same for a file that must already exist: creates nothing. Throws
// std::filesystem::filesystem_error, also when the file is missing.
void restrictDatabaseToOwner(const std::filesystem::path& databasePath);

// Whether the error a helper above threw refuses the path itself: a symbolic link, or not a
// regular file.
bool isRefusedDatabasePath(const std::filesystem::filesystem_error& error);

// Opens `file` for appending, creating it 0600. Refuses a symbolic link, anything other than a
// regular file (a FIFO is never waited on) and a file owned by another user; an existing file of
// ours that others could read is narrowed to 0600 first. Throws FileError naming the file.
UniqueFd openOwnerOnlyFileForAppending(const std::filesystem::path& file);

// Appends `bytes` to `file` in one write, creating it 0600. Refuses a symbolic link, anything
// other than a regular file (a FIFO is never waited on) and a file owned by another user: such
// files may live in a shared folder where another user could plant one. An existing file of ours
// that others could read is narrowed to 0600 first. Nothing on success, else why it failed
// (naming the file); never throws.
std::optional<std::string> appendToOwnerOnlyFile(const std::filesystem::path& file,
                                                 std::string_view bytes) noexcept;

// Creates `folder` and every missing folder above it with mode 0700, whatever the umask: Vask's
// own folders (its settings folder, its data folder and the parents it makes, its staging
// folders) are never open to other users from the moment they exist. Folders that exist already
// are left as they are. Throws FileError naming the first folder that could not be made and the
// system's reason.
void createOwnerOnlyDirectories(const std::filesystem::path& folder);

// A folder that is Vask's alone: created as createOwnerOnlyDirectories does when missing, then
// opened without following a link and checked to be a folder of this user; one of ours that
// others may enter is closed to them. Throws vask::Error naming the folder and why it is unfit
// (a link, another user's, or the creation's own failure).
void ensurePrivateFolder(const std::filesystem::path& folder);

// Whether another user could change the entries of `folder` (it is owned by someone else, or
// group or others may write it): a link found there may have been planted, and must not be
// followed. True when the folder cannot be inspected.
bool isFolderWritableByOthers(const std::filesystem::path& folder);

// The folder for this user's sockets and lock files: $XDG_RUNTIME_DIR when it is a folder (not a
// link) of this user that no one else may enter, else "vask-runtime" in the user's cache folder,
// else in the user's data folder, created 0700 with its owner and mode checked. Never a shared
// temporary folder. Throws vask::Error saying why no candidate is fit.
std::filesystem::path privateRuntimeFolder(const Environment& env);

}  // namespace vask
