#include "benchmark/fts5_search_backend.h"

#include <algorithm>
#include <climits>
#include <system_error>

#include "platform/uuid.h"

namespace vask {

namespace {

std::filesystem::path scratchPath() {
    return std::filesystem::temp_directory_path() /
           ("bench-shadow-" + Uuid::random().uppercaseString() + ".db");
}

std::unique_ptr<ShadowDB> openScratch(const std::filesystem::path& path) {
    return std::make_unique<ShadowDB>(path, ShadowDB::OpenMode::readWrite);
}

}  // namespace

FTS5SearchBackend::FTS5SearchBackend(const std::optional<std::filesystem::path>& databasePath)
    : databasePath_(databasePath.value_or(scratchPath())), shadowDB_(openScratch(databasePath_)) {
    shadowDB_->createSchemaIfNeeded();
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
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::error_code ignored;
        std::filesystem::remove(databasePath_.string() + suffix, ignored);
    }
    shadowDB_ = openScratch(databasePath_);
    shadowDB_->createSchemaIfNeeded();
}

}  // namespace vask
