#include "benchmark/benchmark_runner.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <ostream>
#include <set>
#include <unordered_set>

namespace vask {

namespace {

using GuidSet = std::unordered_set<std::string>;

// How many of the expected guids are among the first min(k, n) retrieved.
std::size_t relevantInTop(const std::vector<std::string>& retrieved, const GuidSet& expected,
                          std::size_t k) {
    const auto top = std::min(k, retrieved.size());
    const GuidSet seen(retrieved.begin(), retrieved.begin() + static_cast<std::ptrdiff_t>(top));
    return static_cast<std::size_t>(
        std::count_if(seen.begin(), seen.end(),
                      [&](const std::string& guid) { return expected.contains(guid); }));
}

double calculateVask(const std::vector<std::string>& retrieved, const GuidSet& expected,
                     std::size_t k) {
    if (expected.empty()) {
        return 1.0;
    }
    return static_cast<double>(relevantInTop(retrieved, expected, k)) /
           static_cast<double>(expected.size());
}

// The divisor is what was returned within the top k, not k itself.
double precisionAt(const std::vector<std::string>& retrieved, const GuidSet& expected,
                   std::size_t k) {
    if (retrieved.empty()) {
        return 0.0;
    }
    return static_cast<double>(relevantInTop(retrieved, expected, k)) /
           static_cast<double>(std::min(k, retrieved.size()));
}

double calculateReciprocalRank(const std::vector<std::string>& retrieved, const GuidSet& expected) {
    for (std::size_t i = 0; i < retrieved.size(); ++i) {
        if (expected.contains(retrieved[i])) {
            return 1.0 / static_cast<double>(i + 1);
        }
    }
    return 0.0;
}

// No interpolation: the element at trunc((count - 1) * p).
double percentile(const std::vector<double>& ascending, double p) {
    if (ascending.empty()) {
        return 0.0;
    }
    const auto index = static_cast<std::size_t>(static_cast<double>(ascending.size() - 1) * p);
    return ascending[index];
}

template <typename Field>
double mean(const std::vector<const QueryResult*>& results, Field field) {
    double sum = 0;
    for (const auto* result : results) {
        sum += result->*field;
    }
    return sum / static_cast<double>(results.size());
}

void printLine(std::ostream& out, const QueryResult& result) {
    char percent[32];
    std::snprintf(percent, sizeof percent, "%.0f%%", result.vaskAt5 * 100);
    out << "  " << (result.vaskAt5 > 0 ? "\u2713" : "\u2717") << " " << result.queryId
        << ": R@5=" << percent << "\n";
}

std::vector<double> ascendingLatencies(const std::vector<const QueryResult*>& results) {
    std::vector<double> latencies;
    latencies.reserve(results.size());
    for (const auto* result : results) {
        latencies.push_back(result->latencyMs);
    }
    std::sort(latencies.begin(), latencies.end());
    return latencies;
}

}  // namespace

CategoryMetrics categoryMetrics(const std::vector<const QueryResult*>& results) {
    if (results.empty()) {
        return {};
    }
    const auto latencies = ascendingLatencies(results);
    return {
        .queryCount = static_cast<std::int64_t>(results.size()),
        .vaskAt5 = mean(results, &QueryResult::vaskAt5),
        .precisionAt3 = mean(results, &QueryResult::precisionAt3),
        .mrr = mean(results, &QueryResult::reciprocalRank),
        .latencyP50Ms = percentile(latencies, 0.5),
        .latencyP95Ms = percentile(latencies, 0.95),
    };
}

namespace {

BenchmarkMetrics report(std::vector<QueryResult> results) {
    BenchmarkMetrics metrics;
    if (results.empty()) {
        return metrics;
    }
    std::vector<const QueryResult*> all;
    all.reserve(results.size());
    for (const auto& result : results) {
        all.push_back(&result);
    }
    metrics.vaskAt1 = mean(all, &QueryResult::vaskAt1);
    metrics.vaskAt3 = mean(all, &QueryResult::vaskAt3);
    metrics.vaskAt5 = mean(all, &QueryResult::vaskAt5);
    metrics.precisionAt1 = mean(all, &QueryResult::precisionAt1);
    metrics.precisionAt3 = mean(all, &QueryResult::precisionAt3);
    metrics.precisionAt5 = mean(all, &QueryResult::precisionAt5);
    metrics.mrr = mean(all, &QueryResult::reciprocalRank);
    metrics.queryCount = static_cast<std::int64_t>(results.size());
    const auto latencies = ascendingLatencies(all);
    metrics.latencyP50Ms = percentile(latencies, 0.5);
    metrics.latencyP95Ms = percentile(latencies, 0.95);

    std::map<std::string, std::vector<const QueryResult*>> groups;
    for (const auto* result : all) {
        groups[result->category].push_back(result);
    }
    for (const auto& [category, members] : groups) {
        metrics.perCategoryMetrics[category] = categoryMetrics(members);
    }
    metrics.perQueryResults = std::move(results);
    return metrics;
}

}  // namespace

BenchmarkRunner::BenchmarkRunner(std::shared_ptr<SearchBackend> backend, BenchmarkCorpus corpus,
                                 const Clock& clock)
    : backend_(std::move(backend)), corpus_(std::move(corpus)), clock_(clock) {}

BenchmarkMetrics BenchmarkRunner::run(bool verbose, std::ostream& out) const {
    std::vector<ShadowMessage> messages;
    messages.reserve(corpus_.messages.size());
    for (const auto& message : corpus_.messages) {
        messages.push_back(message.toShadowMessage());
    }
    backend_->ingest(messages);

    std::vector<QueryResult> results;
    for (const auto& query : corpus_.queries) {
        // Monotonic time: a wall-clock step must not make a latency negative or huge.
        const auto start = clock_.monotonicNow();
        std::vector<std::string> retrieved;
        try {
            retrieved = backend_->search(query.text, resultLimit);
        } catch (const std::exception& error) {
            if (verbose) {
                out << "  \u2717 " << query.id << ": failed: " << error.what() << "\n";
            }
            throw;
        }
        const double latency =
            std::chrono::duration<double, std::milli>(clock_.monotonicNow() - start).count();

        const GuidSet expected(query.expectedGuids.begin(), query.expectedGuids.end());
        QueryResult result{
            .queryId = query.id,
            .queryText = query.text,
            .category = std::string(rawValue(query.category)),
            .retrievedGuids = retrieved,
            .expectedGuids = query.expectedGuids,
            .vaskAt1 = calculateVask(retrieved, expected, 1),
            .vaskAt3 = calculateVask(retrieved, expected, 3),
            .vaskAt5 = calculateVask(retrieved, expected, 5),
            .precisionAt1 = precisionAt(retrieved, expected, 1),
            .precisionAt3 = precisionAt(retrieved, expected, 3),
            .precisionAt5 = precisionAt(retrieved, expected, 5),
            .reciprocalRank = calculateReciprocalRank(retrieved, expected),
            .latencyMs = latency,
        };
        if (verbose) {
            printLine(out, result);
        }
        results.push_back(std::move(result));
    }
    return report(std::move(results));
}

}  // namespace vask
