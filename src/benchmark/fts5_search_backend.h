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
    // Without a path, a new "bench-shadow-<UUID>.db" in the temporary directory. The scratch
    // files are left on disk when the backend goes.
    explicit FTS5SearchBackend(const std::optional<std::filesystem::path>& databasePath);

    std::string name() const override { return "FTS5"; }
    std::vector<std::string> search(std::string_view query, std::int64_t limit) override;
    void ingest(const std::vector<ShadowMessage>& messages) override;
    // Closes, deletes the database with its -wal and -shm (ignoring failures) and starts empty.
    void reset() override;

    const std::filesystem::path& databasePath() const { return databasePath_; }

  private:
    std::filesystem::path databasePath_;
    std::unique_ptr<ShadowDB> shadowDB_;
};

}  // namespace vask
