#include "benchmark/benchmark_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <sstream>
#include <stdexcept>

#include "support/fake_clock.h"

namespace vask {
namespace {

using namespace std::chrono_literals;

// Answers each query text from a script; each search takes `searchTime` on the fake clock.
class ScriptedBackend final : public SearchBackend {
  public:
    explicit ScriptedBackend(test::FakeClock& clock) : clock_(clock) {}

    std::string name() const override { return "scripted"; }
    std::vector<std::string> search(std::string_view query, std::int64_t limit) override {
        EXPECT_EQ(limit, 5);
        clock_.advance(searchTime.at(std::string(query)));
        if (query == failing) {
            throw std::runtime_error("disk I/O error");
        }
        return answers[std::string(query)];
    }
    void ingest(const std::vector<ShadowMessage>& messages) override {
        ingested.push_back(messages.size());
    }
    void reset() override { ADD_FAILURE() << "the runner never resets"; }

    std::map<std::string, std::vector<std::string>> answers;
    std::map<std::string, Clock::Duration> searchTime;
    std::string failing;
    std::vector<std::size_t> ingested;

  private:
    test::FakeClock& clock_;
};

struct Fixture {
    test::FakeClock clock;
    std::shared_ptr<ScriptedBackend> backend = std::make_shared<ScriptedBackend>(clock);
    BenchmarkCorpus corpus{
        .version = "1", .description = {}, .messages = {}, .chats = {}, .queries = {}};

    void query(std::string text, QueryCategory category, std::vector<std::string> expected,
               std::vector<std::string> answer, Clock::Duration took = 1ms) {
        corpus.queries.push_back({.id = text,
                                  .text = text,
                                  .category = category,
                                  .description = {},
                                  .expectedGuids = std::move(expected),
                                  .expectedAtK = {},
                                  .notes = {}});
        backend->answers[text] = std::move(answer);
        backend->searchTime[text] = took;
    }
    BenchmarkMetrics run(std::string* output = nullptr) {
        std::ostringstream out;
        auto metrics = BenchmarkRunner(backend, corpus, clock).run(true, out);
        if (output) {
            *output = out.str();
        }
        return metrics;
    }
};

struct ScoreCase {
    const char* name;
    std::vector<std::string> expected;
    std::vector<std::string> retrieved;
    double at1, at3, at5, p1, p3, p5, rr;
    const char* line;
};

TEST(BenchmarkRunnerTest, ScoresEachQueryAsHandChecked) {
    const double third = 1.0 / 3;
    const std::vector<ScoreCase> cases = {
        {"one of two found second",
         {"e1", "e2"},
         {"x", "e1", "y"},
         0,
         0.5,
         0.5,
         0,
         third,
         third,
         0.5,
         "  \u2713 q: R@5=50%\n"},
        {"nothing expected", {}, {"x", "y"}, 1, 1, 1, 0, 0, 0, 0, "  \u2713 q: R@5=100%\n"},
        {"nothing returned", {"e1"}, {}, 0, 0, 0, 0, 0, 0, 0, "  \u2717 q: R@5=0%\n"},
        {"the same guid twice",
         {"e1"},
         {"e1", "e1"},
         1,
         1,
         1,
         1,
         0.5,
         0.5,
         1,
         "  \u2713 q: R@5=100%\n"},
        {"expected listed twice",
         {"e1", "e1"},
         {"e1"},
         1,
         1,
         1,
         1,
         1,
         1,
         1,
         "  \u2713 q: R@5=100%\n"},
        {"found past the fifth",
         {"e1"},
         {"a", "b", "c", "d", "e", "e1"},
         0,
         0,
         0,
         0,
         0,
         0,
         1.0 / 6,
         "  \u2717 q: R@5=0%\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.query("q", QueryCategory::keyword, c.expected, c.retrieved);
        std::string output;
        const auto metrics = f.run(&output);
        ASSERT_EQ(metrics.perQueryResults.size(), 1u);
        const auto& r = metrics.perQueryResults[0];
        EXPECT_DOUBLE_EQ(r.vaskAt1, c.at1);
        EXPECT_DOUBLE_EQ(r.vaskAt3, c.at3);
        EXPECT_DOUBLE_EQ(r.vaskAt5, c.at5);
        EXPECT_DOUBLE_EQ(r.precisionAt1, c.p1);
        EXPECT_DOUBLE_EQ(r.precisionAt3, c.p3);
        EXPECT_DOUBLE_EQ(r.precisionAt5, c.p5);
        EXPECT_DOUBLE_EQ(r.reciprocalRank, c.rr);
        EXPECT_EQ(r.expectedGuids, c.expected);
        EXPECT_EQ(output, c.line);
    }
}

TEST(BenchmarkRunnerTest, PercentilesTakeTheTruncatedIndexWithoutInterpolation) {
    // count -> index at p = 0.5 and p = 0.95; query i takes i + 1 ms, so the value is index + 1.
    const std::vector<std::tuple<int, int, int>> cases = {{1, 0, 0},     {2, 0, 0},    {3, 1, 1},
                                                          {10, 4, 8},    {20, 9, 18},  {21, 10, 19},
                                                          {100, 49, 94}, {101, 50, 95}};
    for (const auto& [count, p50, p95] : cases) {
        SCOPED_TRACE(count);
        Fixture f;
        // Latencies arrive in descending order: the runner must sort them.
        for (int i = count - 1; i >= 0; --i) {
            f.query("q" + std::to_string(i), QueryCategory::keyword, {"e"}, {},
                    std::chrono::milliseconds(i + 1));
        }
        const auto metrics = f.run();
        EXPECT_DOUBLE_EQ(metrics.latencyP50Ms, p50 + 1);
        EXPECT_DOUBLE_EQ(metrics.latencyP95Ms, p95 + 1);
        EXPECT_EQ(metrics.queryCount, count);
    }
}

TEST(BenchmarkRunnerTest, LatencyIgnoresWallClockSteps) {
    Fixture f;
    f.query("q", QueryCategory::keyword, {"e"}, {"e"}, 3ms);
    f.clock.setWallTime(Clock::WallTime{});  // a step backwards before the run
    f.backend->answers["q"] = {"e"};
    const auto metrics = f.run();
    EXPECT_DOUBLE_EQ(metrics.perQueryResults[0].latencyMs, 3.0);
}

TEST(BenchmarkRunnerTest, ReportsMeansPerCategoryAndOverall) {
    Fixture f;
    f.corpus.messages.push_back({.guid = "e1",
                                 .chatId = "c",
                                 .chatName = {},
                                 .sender = "me",
                                 .text = "t",
                                 .timestamp = 0,
                                 .isFromMe = true,
                                 .isGroup = false});
    f.query("a", QueryCategory::keyword, {"e1"}, {"e1"}, 4ms);
    f.query("b", QueryCategory::keyword, {"e1"}, {}, 2ms);
    f.query("c", QueryCategory::temporal, {"e1"}, {"x", "e1"}, 9ms);
    const auto metrics = f.run();

    EXPECT_EQ(f.backend->ingested, std::vector<std::size_t>{1});
    EXPECT_DOUBLE_EQ(metrics.vaskAt1, 1.0 / 3);
    EXPECT_DOUBLE_EQ(metrics.vaskAt5, 2.0 / 3);
    EXPECT_DOUBLE_EQ(metrics.mrr, 0.5);
    EXPECT_DOUBLE_EQ(metrics.latencyP50Ms, 4);
    ASSERT_EQ(metrics.perCategoryMetrics.size(), 2u);
    // Latency per category too: one figure for all hides the slow kind of query.
    EXPECT_EQ(metrics.perCategoryMetrics.at("keyword"), (CategoryMetrics{.queryCount = 2,
                                                                         .vaskAt5 = 0.5,
                                                                         .precisionAt3 = 0.5,
                                                                         .mrr = 0.5,
                                                                         .latencyP50Ms = 2,
                                                                         .latencyP95Ms = 2}));
    EXPECT_EQ(metrics.perCategoryMetrics.at("temporal"), (CategoryMetrics{.queryCount = 1,
                                                                          .vaskAt5 = 1,
                                                                          .precisionAt3 = 0.5,
                                                                          .mrr = 0.5,
                                                                          .latencyP50Ms = 9,
                                                                          .latencyP95Ms = 9}));

    const auto written = metrics.toJSON();
    std::vector<std::string> keys;
    for (const auto& [key, value] : written.items()) {
        keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{
                        "vask_at_1", "vask_at_3", "vask_at_5", "precision_at_1", "precision_at_3",
                        "precision_at_5", "mrr", "query_count", "latency_p50_ms", "latency_p95_ms",
                        "per_query_results", "per_category_metrics"}));
    EXPECT_EQ(BenchmarkMetrics::fromJSON(nlohmann::json::parse(written.dump())), metrics);
    // A report written before categories had latencies still reads.
    auto older = nlohmann::json::parse(written.dump());
    older["per_category_metrics"]["temporal"].erase("latency_p50_ms");
    older["per_category_metrics"]["temporal"].erase("latency_p95_ms");
    EXPECT_EQ(BenchmarkMetrics::fromJSON(older).perCategoryMetrics.at("temporal").latencyP95Ms, 0);
}

TEST(BenchmarkRunnerTest, NoQueriesStillIngestsAndReportsZeros) {
    Fixture f;
    const auto metrics = f.run();
    EXPECT_EQ(f.backend->ingested, std::vector<std::size_t>{0});
    EXPECT_EQ(metrics, BenchmarkMetrics{});
    EXPECT_EQ(metrics.toJSON()["per_category_metrics"].dump(), "{}");
}

TEST(BenchmarkRunnerTest, AFailedSearchIsReportedAndEndsTheRunWithTheBackendsError) {
    Fixture f;
    f.query("fine", QueryCategory::keyword, {"e"}, {"e"});
    f.query("broken", QueryCategory::keyword, {"e"}, {"e"});
    f.query("never", QueryCategory::keyword, {"e"}, {"e"});
    f.backend->failing = "broken";
    std::ostringstream out;
    EXPECT_THROW(BenchmarkRunner(f.backend, f.corpus, f.clock).run(true, out), std::runtime_error);
    EXPECT_EQ(out.str(), "  \u2713 fine: R@5=100%\n  \u2717 broken: failed: disk I/O error\n");
}

}  // namespace
}  // namespace vask
