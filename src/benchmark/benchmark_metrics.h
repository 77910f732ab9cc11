#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace vask {

// The score of one query.
struct QueryResult {
    std::string queryId;
    std::string queryText;
    std::string category;  // the category's raw value
    std::vector<std::string> retrievedGuids;
    std::vector<std::string> expectedGuids;
    double vaskAt1 = 0;
    double vaskAt3 = 0;
    double vaskAt5 = 0;
    double precisionAt1 = 0;
    double precisionAt3 = 0;
    double precisionAt5 = 0;
    double reciprocalRank = 0;
    double latencyMs = 0;

    bool operator==(const QueryResult&) const = default;
};

// Means over the queries of one category, and its latency percentiles: a category of queries
// that match many messages is slower than one whose words are rare, and one figure for all hides
// that. Reports written before the latencies were kept read them as 0.
struct CategoryMetrics {
    std::int64_t queryCount = 0;
    double vaskAt5 = 0;
    double precisionAt3 = 0;
    double mrr = 0;
    double latencyP50Ms = 0;
    double latencyP95Ms = 0;

    bool operator==(const CategoryMetrics&) const = default;
};

// The benchmark's report. JSON keys are snake_case and written in field order; reading needs
// every key and ignores others (DecodingError otherwise).
struct BenchmarkMetrics {
    double vaskAt1 = 0;
    double vaskAt3 = 0;
    double vaskAt5 = 0;
    double precisionAt1 = 0;
    double precisionAt3 = 0;
    double precisionAt5 = 0;
    double mrr = 0;
    std::int64_t queryCount = 0;
    double latencyP50Ms = 0;
    double latencyP95Ms = 0;
    std::vector<QueryResult> perQueryResults;
    std::map<std::string, CategoryMetrics> perCategoryMetrics;  // by category raw value

    nlohmann::ordered_json toJSON() const;
    static BenchmarkMetrics fromJSON(const nlohmann::json& json);

    bool operator==(const BenchmarkMetrics&) const = default;
};

}  // namespace vask
