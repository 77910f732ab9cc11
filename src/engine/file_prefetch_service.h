#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "foundation/file_access_config.h"

namespace vask {

// Finds the user's files for a question and caches their text in the shadow database.
class FilePrefetchService {
  public:
    virtual ~FilePrefetchService() = default;
    // The number of files cached. Never fails; checks `stop` between files and then returns the
    // count so far.
    virtual std::int64_t prefetch(const std::string& query, std::stop_token stop) = 0;
};

// Makes a service over the shadow database; throws when the database cannot be opened.
using FilePrefetchServiceFactory = std::function<std::unique_ptr<FilePrefetchService>(
    const std::string& dbPath, const std::optional<std::string>& apiKey,
    const std::optional<std::string>& customerToken, const FileAccessConfig& config)>;

}  // namespace vask
