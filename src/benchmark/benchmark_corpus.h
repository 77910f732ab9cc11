#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
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

    // The largest corpus file read (1 GiB, about six million messages); a larger one is refused
    // before anything is read.
    static constexpr std::uintmax_t maximumFileBytes = std::uintmax_t{1} << 30;
    // The deepest nesting of arrays and objects read from a file; the format itself needs five
    // levels, and every level of a key the format does not know would otherwise be kept.
    static constexpr std::size_t maximumDepth = 64;

    // Reads and decodes the file; FileError when it cannot be read (it must be a regular file no
    // larger than maximumFileBytes: a pipe or a device is refused, not waited on or read without
    // end), DecodingError otherwise, also for values nested deeper than maximumDepth.
    static BenchmarkCorpus fromFile(const std::filesystem::path& path);
    // The same, reading the file as a stream and handing the messages to `consume` in batches of
    // at most `batchSize` as they are decoded, instead of keeping them: the corpus returned has
    // no messages. Memory stays near one batch whatever the file's size. An error thrown by
    // `consume` ends the reading and is passed on.
    using MessageConsumer = std::function<void(std::vector<CorpusMessage>&)>;
    static BenchmarkCorpus streamFromFile(const std::filesystem::path& path,
                                          const MessageConsumer& consume,
                                          std::size_t batchSize = 10'000);
    static BenchmarkCorpus fromJSON(const nlohmann::json& json);

    // Keys in the corpus format's order; absent optional fields are left out, never null.
    nlohmann::ordered_json toJSON() const;

    bool operator==(const BenchmarkCorpus&) const = default;
};

}  // namespace vask
