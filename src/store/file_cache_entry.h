#pragma once

#include <cstdint>
#include <string>

namespace vask {

// The text extracted from one of the user's files, cached in the shadow database by its path.
struct FileCacheEntry {
    std::string path;
    std::string contentMarkdown;
    // Hash of the file's contents when it was parsed: a different hash makes the entry stale.
    std::string fileHash;
    std::int64_t parsedAt = 0;
    std::string parseModel;  // empty when no model took part
    std::string parseMethod;
    std::int32_t pageCount = 0;
    std::int32_t tokenCost = 0;

    bool operator==(const FileCacheEntry&) const = default;
};

}  // namespace vask
