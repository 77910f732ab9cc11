#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "benchmark/search_backend.h"
#include "store/shadow_db.h"

namespace vask {

// The application's own full-text search, over a scratch shadow database: the benchmark measures
// exactly what a question's search does. Failures are the store's ShadowDB::Error, unchanged.
class FTS5SearchBackend final : public SearchBackend {
  public:
    // Without a path, the database goes in a new private folder "bench-shadow-<UUID>" in the
    // temporary directory, removed whole with everything the store made in it (the database, its
    // journal files and its bulk-copy lock) when the backend goes. A given path is left on disk.
    explicit FTS5SearchBackend(const std::optional<std::filesystem::path>& databasePath);
    ~FTS5SearchBackend() override;
    FTS5SearchBackend(const FTS5SearchBackend&) = delete;
    FTS5SearchBackend& operator=(const FTS5SearchBackend&) = delete;

    std::string name() const override { return "FTS5"; }
    std::vector<std::string> search(std::string_view query, std::int64_t limit) override;
    void ingest(const std::vector<ShadowMessage>& messages) override;
    // Closes, deletes the database and every file the store keeps beside it (ignoring failures)
    // and starts empty.
    void reset() override;

    const std::filesystem::path& databasePath() const { return databasePath_; }
    // The private folder made for a backend without a path; empty otherwise.
    const std::filesystem::path& scratchFolder() const { return scratchFolder_; }

  private:
    std::filesystem::path scratchFolder_;
    std::filesystem::path databasePath_;
    std::unique_ptr<ShadowDB> shadowDB_;
};

}  // namespace vask
