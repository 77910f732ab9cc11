#include "benchmark/fts5_search_backend.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>

#include "platform/file_io.h"
#include "platform/uuid.h"

namespace vask {

namespace {

// Every file the store keeps beside a database: its journals and the bulk-copy lock.
constexpr const char* companionSuffixes[] = {"", "-wal", "-shm", "-journal", "-bulk"};

std::filesystem::path makeScratchFolder() {
    auto folder = std::filesystem::temp_directory_path() /
                        ("bench-shadow-" + Uuid::random().uppercaseString());
    if (::mkdir(folder.c_str(), 0700) != 0) {
        throw FileError("create", folder, errno);
    }
    return folder;
}

std::unique_ptr<ShadowDB> openScratch(const std::filesystem::path& path) {
    auto db = std::make_unique<ShadowDB>(path, ShadowDB::OpenMode::readWrite);
    db->createSchemaIfNeeded();
    return db;
}

}  // namespace

FTS5SearchBackend::FTS5SearchBackend(const std::optional<std::filesystem::path>& databasePath)
    : scratchFolder_(databasePath ? std::filesystem::path() : makeScratchFolder()),
      databasePath_(databasePath.value_or(scratchFolder_ / "shadow.db")) {
    try {
        shadowDB_ = openScratch(databasePath_);
    } catch (...) {
        if (!scratchFolder_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(scratchFolder_, ignored);
        }
        throw;
    }
}

FTS5SearchBackend::~FTS5SearchBackend() {
    shadowDB_.reset();
    if (!scratchFolder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(scratchFolder_, ignored);
    }
}

std::vector<std::string> FTS5SearchBackend::search(std::string_view query, std::int64_t limit) {
    // The store binds a 32-bit limit; a negative one would mean "no limit" to SQLite.
    const auto bounded = static_cast<int>(std::clamp<std::int64_t>(limit, 0, INT_MAX));
    std::vector<std::string> guids;
    for (auto& result : shadowDB_->search(query, bounded)) {
        guids.push_back(std::move(result.guid));
    }
    return guids;
}

void FTS5SearchBackend::ingest(const std::vector<ShadowMessage>& messages) {
    shadowDB_->insertBatch(messages);
}

void FTS5SearchBackend::reset() {
    shadowDB_->close();
    for (const char* suffix : companionSuffixes) {
        std::error_code ignored;
        std::filesystem::remove(databasePath_.string() + suffix, ignored);
    }
    shadowDB_ = openScratch(databasePath_);
}

}  // namespace vask
