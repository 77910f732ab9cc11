#include "benchmark/benchmark_metrics.h"

#include <nlohmann/json.hpp>

#include "relay/json_reader.h"

namespace vask {

namespace {

double number(const JsonReader& reader, std::string_view key) {
    const auto value = reader.optionalNumber(key);
    if (!value) {
        reader.fail(key, "is missing");
    }
    return *value;
}

std::vector<std::string> strings(const JsonReader& reader, const nlohmann::json& json,
                                 std::string_view key) {
    const auto it = json.find(key);
    if (it == json.end() || !it->is_array()) {
        reader.fail(key, "must be an array of strings");
    }
    std::vector<std::string> values;
    for (const auto& element : *it) {
        if (!element.is_string()) {
            reader.fail(key, "must be an array of strings");
        }
        values.push_back(element.get<std::string>());
    }
    return values;
}

nlohmann::ordered_json toJSON(const QueryResult& result) {
    nlohmann::ordered_json json;
    json["query_id"] = result.queryId;
    json["query_text"] = result.queryText;
    json["category"] = result.category;
    json["retrieved_guids"] = result.retrievedGuids;
    json["expected_guids"] = result.expectedGuids;
    json["vask_at_1"] = result.vaskAt1;
    json["vask_at_3"] = result.vaskAt3;
    json["vask_at_5"] = result.vaskAt5;
    json["precision_at_1"] = result.precisionAt1;
    json["precision_at_3"] = result.precisionAt3;
    json["precision_at_5"] = result.precisionAt5;
    json["reciprocal_rank"] = result.reciprocalRank;
    json["latency_ms"] = result.latencyMs;
    return json;
}

QueryResult queryResultFromJSON(const nlohmann::json& json, const std::string& path) {
    const JsonReader reader(json, path);
    return {
        .queryId = reader.string("query_id"),
        .queryText = reader.string("query_text"),
        .category = reader.string("category"),
        .retrievedGuids = strings(reader, json, "retrieved_guids"),
        .expectedGuids = strings(reader, json, "expected_guids"),
        .vaskAt1 = number(reader, "vask_at_1"),
        .vaskAt3 = number(reader, "vask_at_3"),
        .vaskAt5 = number(reader, "vask_at_5"),
        .precisionAt1 = number(reader, "precision_at_1"),
        .precisionAt3 = number(reader, "precision_at_3"),
        .precisionAt5 = number(reader, "precision_at_5"),
        .reciprocalRank = number(reader, "reciprocal_rank"),
        .latencyMs = number(reader, "latency_ms"),
    };
}

}  // namespace

nlohmann::ordered_json BenchmarkMetrics::toJSON() const {
    nlohmann::ordered_json json;
    json["vask_at_1"] = vaskAt1;
    json["vask_at_3"] = vaskAt3;
    json["vask_at_5"] = vaskAt5;
    json["precision_at_1"] = precisionAt1;
    json["precision_at_3"] = precisionAt3;
    json["precision_at_5"] = precisionAt5;
    json["mrr"] = mrr;
    json["query_count"] = queryCount;
    json["latency_p50_ms"] = latencyP50Ms;
    json["latency_p95_ms"] = latencyP95Ms;
    auto& results = json["per_query_results"] = nlohmann::ordered_json::array();
    for (const auto& result : perQueryResults) {
        results.push_back(vask::toJSON(result));
    }
    auto& categories = json["per_category_metrics"] = nlohmann::ordered_json::object();
    for (const auto& [name, metrics] : perCategoryMetrics) {
        nlohmann::ordered_json category;
        category["query_count"] = metrics.queryCount;
        category["vask_at_5"] = metrics.vaskAt5;
        category["precision_at_3"] = metrics.precisionAt3;
        category["mrr"] = metrics.mrr;
        category["latency_p50_ms"] = metrics.latencyP50Ms;
        category["latency_p95_ms"] = metrics.latencyP95Ms;
        categories[name] = std::move(category);
    }
    return json;
}

BenchmarkMetrics BenchmarkMetrics::fromJSON(const nlohmann::json& json) {
    const JsonReader reader(json, "");
    BenchmarkMetrics metrics{
        .vaskAt1 = number(reader, "vask_at_1"),
        .vaskAt3 = number(reader, "vask_at_3"),
        .vaskAt5 = number(reader, "vask_at_5"),
        .precisionAt1 = number(reader, "precision_at_1"),
        .precisionAt3 = number(reader, "precision_at_3"),
        .precisionAt5 = number(reader, "precision_at_5"),
        .mrr = number(reader, "mrr"),
        .queryCount = reader.integer("query_count"),
        .latencyP50Ms = number(reader, "latency_p50_ms"),
        .latencyP95Ms = number(reader, "latency_p95_ms"),
        .perQueryResults = {},
        .perCategoryMetrics = {},
    };
    const auto resultReaders = reader.objectArray("per_query_results");
    const auto& resultArray = json.at("per_query_results");
    for (std::size_t i = 0; i < resultReaders.size(); ++i) {
        metrics.perQueryResults.push_back(
            queryResultFromJSON(resultArray.at(i), resultReaders[i].path()));
    }
    const auto categories = reader.object("per_category_metrics");
    for (const auto& [name, value] : json.at("per_category_metrics").items()) {
        const JsonReader category(value, categories.path() + ".\"" + name + "\"");
        metrics.perCategoryMetrics.emplace(
            name, CategoryMetrics{
                      .queryCount = category.integer("query_count"),
                      .vaskAt5 = number(category, "vask_at_5"),
                      .precisionAt3 = number(category, "precision_at_3"),
                      .mrr = number(category, "mrr"),
                      .latencyP50Ms = category.optionalNumber("latency_p50_ms").value_or(0),
                      .latencyP95Ms = category.optionalNumber("latency_p95_ms").value_or(0),
                  });
    }
    return metrics;
}

}  // namespace vask
