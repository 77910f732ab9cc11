#pragma once

#include <filesystem>

namespace vask {

// Private databases (memory.db, sessions.db) must never be readable by other users, not even for
// the moment between SQLite creating a file and a later chmod: SQLite creates files 0644 less
// the umask, and its -journal, -wal and -shm files take the main file's mode.

// Creates `databasePath` as an empty 0600 file when missing (the mode is set at creation, whatever
// the umask), sets an existing one back to 0600, and does the same to each of its -journal, -wal
// and -shm files that exist. Throws std::filesystem::filesystem_error.
void prepareOwnerOnlyDatabase(const std::filesystem::path& databasePath);

// The same for a file that must already exist: creates nothing. Throws
// std::filesystem::filesystem_error, also when the file is missing.
void restrictDatabaseToOwner(const std::filesystem::path& databasePath);

}  // namespace vask
