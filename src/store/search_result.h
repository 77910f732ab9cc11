#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vask {

// One full-text hit in the shadow database.
struct SearchResult {
    std::string guid;
    std::string chatId;
    std::optional<std::string> chatName;
    std::string sender;
    std::string text;
    std::int64_t timestamp = 0;  // Messages epoch, nanoseconds
    bool isFromMe = false;
    bool isGroup = false;
    double rank = 0;  // BM25; smaller is better

    bool operator==(const SearchResult&) const = default;
};

}  // namespace vask
