// vask-bench --corpus FILE [--out REPORT]
// Runs the retrieval benchmark over the application's full-text search: one line per query, then
// a summary; the report is written as JSON. Exit status 0 on a complete run, 1 when the corpus
// cannot be read or a search fails, 2 on wrong arguments. The corpus's messages are streamed
// into a scratch database as they are read, so memory stays far below the file's size; the
// scratch folder goes with the run. A report path naming a device or a pipe is written to, not
// replaced.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "benchmark/benchmark_runner.h"
#include "benchmark/fts5_search_backend.h"
#include "platform/file_io.h"

namespace {

struct Options {
    std::filesystem::path corpus;
    std::optional<std::filesystem::path> out;
};

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    bool haveCorpus = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if ((arg == "--corpus" || arg == "--out") && i + 1 < argc) {
            (arg == "--corpus" ? options.corpus : options.out.emplace()) = argv[++i];
            haveCorpus = haveCorpus || arg == "--corpus";
        } else {
            return std::nullopt;
        }
    }
    return haveCorpus ? std::optional(options) : std::nullopt;
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void printSummary(const vask::BenchmarkMetrics& metrics, std::size_t messageCount) {
    std::cout << "\n"
              << metrics.queryCount << " queries over " << messageCount << " messages\n"
              << "  R@1 " << fixed(metrics.vaskAt1, 3) << "  R@3 " << fixed(metrics.vaskAt3, 3)
              << "  R@5 " << fixed(metrics.vaskAt5, 3) << "\n"
              << "  P@1 " << fixed(metrics.precisionAt1, 3) << "  P@3 "
              << fixed(metrics.precisionAt3, 3) << "  P@5 " << fixed(metrics.precisionAt5, 3)
              << "\n"
              << "  MRR " << fixed(metrics.mrr, 3) << "\n"
              << "  latency p50 " << fixed(metrics.latencyP50Ms, 3) << " ms  p95 "
              << fixed(metrics.latencyP95Ms, 3) << " ms\n";
    for (const auto category : vask::allQueryCategories()) {
        const auto it = metrics.perCategoryMetrics.find(std::string(vask::rawValue(category)));
        if (it == metrics.perCategoryMetrics.end()) {
            continue;
        }
        std::cout << "  " << it->first << ": " << it->second.queryCount << " queries, R@5 "
                  << fixed(it->second.vaskAt5, 3) << ", P@3 " << fixed(it->second.precisionAt3, 3)
                  << ", MRR " << fixed(it->second.mrr, 3) << ", latency p50 "
                  << fixed(it->second.latencyP50Ms, 3) << " ms p95 "
                  << fixed(it->second.latencyP95Ms, 3) << " ms\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parse(argc, argv);
    if (!options) {
        std::cerr << "usage: vask-bench --corpus FILE [--out REPORT]\n";
        return 2;
    }
    try {
        // The scratch database is only a means of measuring: it goes with the backend, whatever
        // the outcome.
        auto backend = std::make_shared<vask::FTS5SearchBackend>(std::nullopt);
        std::size_t messageCount = 0;
        std::vector<vask::ShadowMessage> shadowBatch;
        auto corpus = vask::BenchmarkCorpus::streamFromFile(
            options->corpus, [&](std::vector<vask::CorpusMessage>& batch) {
                shadowBatch.clear();
                for (const auto& message : batch) {
                    shadowBatch.push_back(message.toShadowMessage());
                }
                backend->ingest(shadowBatch);
                messageCount += batch.size();
            });
        shadowBatch = {};
        const vask::BenchmarkRunner runner(backend, std::move(corpus));
        const auto metrics = runner.run(true, std::cout);
        printSummary(metrics, messageCount);
        if (options->out) {
            vask::writeFileAtomically(
                *options->out, metrics.toJSON().dump(2) + "\n",
                std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                    std::filesystem::perms::group_read | std::filesystem::perms::others_read);
            std::cout << "report: " << options->out->string() << "\n";
        }
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "vask-bench: " << error.what() << "\n";
        return 1;
    }
}
