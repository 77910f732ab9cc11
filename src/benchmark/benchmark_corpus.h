#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "store/shadow_message.h"

namespace vask {

// What a query tests, in the order of allCases().
enum class QueryCategory { keyword, semantic, temporal, multiHop, negation };

std::string_view rawValue(QueryCategory category);
std::optional<QueryCategory> queryCategoryFromRawValue(std::string_view raw);
const std::vector<QueryCategory>& allQueryCategories();

// One message of the corpus, shaped like a row of the shadow database.
struct CorpusMessage {
    std::string guid;
    std::string chatId;
    std::optional<std::string> chatName;
    std::string sender;
    std::string text;
    std::int64_t timestamp = 0;  // nanoseconds since 2001-01-01 00:00:00 UTC
    bool isFromMe = false;
    bool isGroup = false;

    // The store's record of this message; sourceRowid is a non-negative hash of the guid, stable
    // within one process.
    ShadowMessage toShadowMessage() const;

    bool operator==(const CorpusMessage&) const = default;
};

struct CorpusChat {
    std::string id;
    std::string name;
    bool isGroup = false;
    std::optional<std::vector<std::string>> participants;

    bool operator==(const CorpusChat&) const = default;
};

struct CorpusQuery {
    std::string id;
    std::string text;
    QueryCategory category = QueryCategory::keyword;
    std::optional<std::string> description;
    std::vector<std::string> expectedGuids;  // order and duplicates kept
    std::optional<std::map<std::string, std::vector<std::string>>> expectedAtK;
    std::optional<std::string> notes;

    bool operator==(const CorpusQuery&) const = default;
};

// The corpus file. Reading is strict: a required key that is missing or null, a value of the
// wrong type (a timestamp with a fraction or outside 64 bits, a boolean written as a number or a
// string) or an unknown category fails the whole corpus with DecodingError naming the key.
// Unknown keys are ignored.
struct BenchmarkCorpus {
    std::string version;
    std::optional<std::string> description;
    std::vector<CorpusMessage> messages;
    std::optional<std::vector<CorpusChat>> chats;
    std::vector<CorpusQuery> queries;

    // Reads and decodes the file; FileError when it cannot be read, DecodingError otherwise.
    static BenchmarkCorpus fromFile(const std::filesystem::path& path);
    static BenchmarkCorpus fromJSON(const nlohmann::json& json);

    // Keys in the corpus format's order; absent optional fields are left out, never null.
    nlohmann::ordered_json toJSON() const;

    bool operator==(const BenchmarkCorpus&) const = default;
};

}  // namespace vask
