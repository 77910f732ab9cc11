#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include <nlohmann/json.hpp>

#include "engine/rlm_usage_accumulator.h"
#include "engine/rlm_usage_snapshot.h"
#include "engine/token_count_format.h"
#include "records/chat_token_usage.h"

namespace vask {
namespace {

using nlohmann::json;

json role(std::int64_t input, std::int64_t total, bool complete) {
    return {{"input_tokens", input},
            {"output_tokens", total - input},
            {"total_tokens", total},
            {"cache_read_tokens", 0},
            {"cache_creation_tokens", 0},
            {"requests", 2},
            {"successes", 2},
            {"complete", complete}};
}

json usageEvent(std::string runID = "a", std::int64_t seq = 1) {
    return {{"type", "usage_progress"},
            {"version", 6},
            {"run_id", std::move(runID)},
            {"seq", seq},
            {"boundary", "root"},
            {"kind", "resolved"},
            {"persistence_class", "transient"},
            {"depth", 0},
            {"root", role(100, 150, true)},
            {"subcall", role(10, 20, true)},
            {"unattributed", {{"total_tokens", 5}}},
            {"total_tokens", 175}};
}

TEST(RLMUsageSnapshotTest, AcceptsAWellFormedEvent) {
    const auto snapshot = RLMUsageSnapshot::traceObject(usageEvent());
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->runID, "a");
    EXPECT_EQ(snapshot->kind, ChatTokenUsage::Kind::resolved);
    EXPECT_EQ(snapshot->root.totalTokens, 150);
    EXPECT_FALSE(snapshot->root.reasoningTokens);
    EXPECT_EQ(snapshot->unattributedTokens, 5);
    EXPECT_EQ(snapshot->totalTokens, 175);
}

TEST(RLMUsageSnapshotTest, IgnoresInvalidOrInconsistentEvents) {
    const std::vector<std::pair<std::string, std::function<void(json&)>>> cases = {
        {"version 5", [](json& e) { e["version"] = 5; }},
        {"version 7", [](json& e) { e["version"] = 7; }},
        {"version as text", [](json& e) { e["version"] = "6"; }},
        {"empty run id", [](json& e) { e["run_id"] = ""; }},
        {"seq 0", [](json& e) { e["seq"] = 0; }},
        {"unknown boundary", [](json& e) { e["boundary"] = "leaf"; }},
        {"persisted", [](json& e) { e["persistence_class"] = "durable"; }},
        {"negative depth", [](json& e) { e["depth"] = -1; }},
        {"extra key in root", [](json& e) { e["root"]["extra"] = 1; }},
        {"reasoning in subcall", [](json& e) { e["subcall"]["reasoning_tokens"] = 1; }},
        {"missing key in root", [](json& e) { e["root"].erase("requests"); }},
        {"successes above requests", [](json& e) { e["root"]["successes"] = 3; }},
        {"complete not Boolean", [](json& e) { e["root"]["complete"] = 1; }},
        {"negative count", [](json& e) { e["root"]["output_tokens"] = -1; }},
        {"cache above input when complete",
         [](json& e) {
             e["root"]["cache_read_tokens"] = 60;
             e["root"]["cache_creation_tokens"] = 41;
         }},
        {"second unattributed key", [](json& e) { e["unattributed"]["other"] = 0; }},
        {"unattributed mismatch", [](json& e) { e["unattributed"]["total_tokens"] = 4; }},
        {"total below root", [](json& e) { e["total_tokens"] = 149; }},
        {"resolved with incomplete role", [](json& e) { e["subcall"]["complete"] = false; }},
        {"partial with complete roles", [](json& e) { e["kind"] = "partial"; }},
        {"wrong type", [](json& e) { e["type"] = "progress"; }},
    };
    for (const auto& [name, mutate] : cases) {
        auto event = usageEvent();
        mutate(event);
        EXPECT_FALSE(RLMUsageSnapshot::traceObject(event)) << name;
    }
}

TEST(RLMUsageSnapshotTest, CacheAboveInputIsAcceptedWhenTheRoleIsIncomplete) {
    auto event = usageEvent();
    event["root"] = role(100, 150, false);
    event["root"]["cache_read_tokens"] = 200;
    event["kind"] = "partial";
    EXPECT_TRUE(RLMUsageSnapshot::traceObject(event));
}

RLMTokenUsage metrics(json object) {
    return RLMTokenUsage{JSONValue::fromJson(object).asObject()
                             ? *JSONValue::fromJson(object).asObject()
                             : JSONValue::Object{}};
}

TEST(TokenUsageBreakdownTest, TerminalMetricsReadOnlyWholeNonNegativeNumbers) {
    const std::vector<std::pair<json, std::optional<std::int64_t>>> cases = {
        {12, 12},
        {12.0, 12},
        {12.5, std::nullopt},
        {-1, std::nullopt},
        {"12", std::nullopt},
        {true, std::nullopt},
        {nullptr, std::nullopt},
        {9223372036854775808.0, std::nullopt},
    };
    for (const auto& [value, expected] : cases) {
        const auto breakdown = TokenUsageBreakdown::terminal(metrics({{"input_tokens", value}}));
        EXPECT_EQ(breakdown.inputTokens, expected) << value.dump();
    }
    EXPECT_EQ(TokenUsageBreakdown::terminal(metrics({{"observation_basis", "estimated"}})).complete,
              false);
    EXPECT_EQ(TokenUsageBreakdown::terminal(metrics({{"observation_basis", "exact"}})).complete,
              true);
    EXPECT_FALSE(TokenUsageBreakdown::terminal(metrics({{"observation_basis", 1}})).complete);
}

TEST(ChatTokenUsageTest, TerminalUsage) {
    EXPECT_FALSE(ChatTokenUsage::terminal(metrics({{"requests", 3}}), metrics({{"successes", 1}})));
    EXPECT_FALSE(ChatTokenUsage::terminal(std::nullopt, std::nullopt));

    const auto rootOnly = ChatTokenUsage::terminal(
        metrics({{"total_tokens", 40}, {"observation_basis", "exact"}}), std::nullopt);
    ASSERT_TRUE(rootOnly);
    EXPECT_EQ(rootOnly->totalTokens, 40);
    EXPECT_EQ(rootOnly->unattributedTokens, 0);
    EXPECT_EQ(rootOnly->kind, ChatTokenUsage::Kind::resolved);

    const auto noBasis =
        ChatTokenUsage::terminal(metrics({{"total_tokens", 40}}), metrics({{"input_tokens", 3}}));
    ASSERT_TRUE(noBasis);
    EXPECT_EQ(noBasis->kind, ChatTokenUsage::Kind::partial);
    // The sub-call role is active but lacks a total: the turn's total is unknown, not 40.
    EXPECT_FALSE(noBasis->totalTokens);
}

TEST(ChatTokenUsageTest, AggregatingNothingIsResolvedAndZero) {
    const auto empty = ChatTokenUsage::aggregating({});
    EXPECT_EQ(empty.kind, ChatTokenUsage::Kind::resolved);
    EXPECT_EQ(empty.root, TokenUsageBreakdown{});
    EXPECT_EQ(empty.subcall, TokenUsageBreakdown{});
    EXPECT_EQ(empty.unattributedTokens, 0);
    EXPECT_EQ(empty.totalTokens, 0);
}

TEST(ChatTokenUsageTest, SumsOverflowToAbsent) {
    const auto max = std::numeric_limits<std::int64_t>::max();
    EXPECT_FALSE(safeSumIfComplete({max, 1}));
    EXPECT_FALSE(sumIfComplete({}));
    EXPECT_EQ(safeSumIfComplete({}), 0);
    EXPECT_FALSE(safeSumIfComplete({1, std::nullopt}));
}

TEST(ChatTokenUsageTest, SummedRoleCategory) {
    ChatTokenUsage usage;
    usage.root.inputTokens = 10;
    usage.root.reasoningTokens = 4;
    EXPECT_EQ(usage.summedRoleCategory(&TokenUsageBreakdown::reasoningTokens), 4);
    usage.subcall.inputTokens = 5;
    EXPECT_FALSE(usage.summedRoleCategory(&TokenUsageBreakdown::reasoningTokens));
    EXPECT_EQ(ChatTokenUsage{}.summedRoleCategory(&TokenUsageBreakdown::reasoningTokens), 0);
}

TEST(ChatTokenUsageTest, JsonLeavesAbsentFieldsOutAndRejectsBadKinds) {
    ChatTokenUsage usage;
    usage.root.inputTokens = 7;
    usage.root.complete = true;
    usage.totalTokens = 7;
    const json encoded = usage;
    EXPECT_FALSE(encoded.contains("unattributedTokens"));
    EXPECT_EQ(encoded["root"], (json{{"inputTokens", 7}, {"complete", true}}));
    EXPECT_EQ(encoded.get<ChatTokenUsage>(), usage);

    const json withNulls = {{"kind", "partial"},
                            {"root", {{"inputTokens", nullptr}}},
                            {"subcall", json::object()},
                            {"totalTokens", nullptr}};
    EXPECT_EQ(withNulls.get<ChatTokenUsage>(), ChatTokenUsage{});

    for (const json& bad :
         {json{{"kind", "done"}, {"root", json::object()}, {"subcall", json::object()}},
          json{{"root", json::object()}, {"subcall", json::object()}},
          json{{"kind", "partial"}, {"subcall", json::object()}},
          json{{"kind", "partial"}, {"root", json::object()}}}) {
        EXPECT_THROW(bad.get<ChatTokenUsage>(), ChatTokenUsage::DecodeError) << bad.dump();
    }
}

RLMUsageSnapshot snapshot(std::string runID, std::int64_t seq, std::int64_t rootTotal) {
    auto event = usageEvent(std::move(runID), seq);
    event["root"] = role(rootTotal, rootTotal, true);
    event["total_tokens"] = rootTotal + 25;
    auto parsed = RLMUsageSnapshot::traceObject(event);
    EXPECT_TRUE(parsed);
    return *parsed;
}

TEST(RLMUsageAccumulatorTest, DropsStaleAndRepeatedSequences) {
    RLMUsageAccumulator accumulator;
    const auto first = accumulator.record(snapshot("a", 3, 100));
    EXPECT_EQ(first.totalTokens, 125);
    EXPECT_EQ(accumulator.record(snapshot("a", 3, 900)), first);
    EXPECT_EQ(accumulator.record(snapshot("a", 2, 900)), first);
    EXPECT_EQ(accumulator.record(snapshot("a", 4, 200)).totalTokens, 225);
    EXPECT_EQ(accumulator.record(snapshot("b", 1, 100)).totalTokens, 350);
}

TEST(RLMUsageAccumulatorTest, SettlementBeforeAnySnapshotIsUnscoped) {
    RLMUsageAccumulator accumulator;
    EXPECT_FALSE(accumulator.usage());
    EXPECT_FALSE(accumulator.settled(metrics({{"requests", 1}}), std::nullopt));
    EXPECT_FALSE(accumulator.usage());

    const auto rootUsage = metrics({{"total_tokens", 30}, {"observation_basis", "exact"}});
    const auto subcallUsage = metrics({{"requests", 2}, {"observation_basis", "exact"}});
    const auto settled = accumulator.settled(rootUsage, subcallUsage);
    ASSERT_TRUE(settled);
    auto expected = *ChatTokenUsage::terminal(rootUsage, subcallUsage);
    // The inactive sub-call role loses its requests and completeness in the aggregate.
    EXPECT_EQ(expected.subcall.requests, 2);
    expected.subcall = TokenUsageBreakdown{};
    EXPECT_EQ(*settled, expected);
    EXPECT_EQ(accumulator.usage(), settled);
}

TEST(RLMUsageAccumulatorTest, ARetryWithoutSnapshotsSettlesApartFromTheRunBefore) {
    RLMUsageAccumulator accumulator;
    accumulator.record(snapshot("a", 1, 100));
    const auto first = accumulator.settled(
        metrics({{"total_tokens", 500}, {"observation_basis", "exact"}}), std::nullopt);
    ASSERT_TRUE(first);
    // Root total from the terminal value (500), sub-call 20 and unattributed 5 from the snapshot.
    EXPECT_EQ(first->root.totalTokens, 500);
    EXPECT_EQ(first->totalTokens, 525);
    // The retry reports no live usage: its settlement is its own, not a replacement of run a's.
    const auto both = accumulator.settled(
        metrics({{"total_tokens", 60}, {"observation_basis", "exact"}}), std::nullopt);
    ASSERT_TRUE(both);
    EXPECT_EQ(both->root.totalTokens, 560);
    EXPECT_EQ(both->totalTokens, 585);
    EXPECT_EQ(accumulator.usage(), both);
}

TEST(RLMUsageAccumulatorTest, ARetriedTurnAddsBothRuns) {
    RLMUsageAccumulator accumulator;
    accumulator.record(snapshot("a", 1, 100));
    accumulator.settled(std::nullopt, std::nullopt);
    accumulator.record(snapshot("b", 1, 50));
    const auto usage = accumulator.settled(metrics({{"total_tokens", 60}}), std::nullopt);
    ASSERT_TRUE(usage);
    EXPECT_EQ(usage->totalTokens, 125 + 60 + 20 + 5);
    // The second run's root has no "observation_basis": complete comes from the snapshot.
    EXPECT_EQ(usage->kind, ChatTokenUsage::Kind::resolved);
}

TEST(TokenCountFormatTest, FormatsInAnEnglishAndAGermanLocale) {
    const std::vector<std::tuple<std::int64_t, std::string, std::string>> compact = {
        {0, "0", "0"},        {-5, "-5", "-5"},          {999, "999", "999"},
        {1000, "1k", "1k"},   {1500, "1.5k", "1,5k"},    {999949, "999.9k", "999,9k"},
        {999950, "1m", "1m"}, {1234567, "1.2m", "1,2m"}, {2500000000, "2,500m", "2.500m"},
    };
    for (const auto& [count, english, german] : compact) {
        EXPECT_EQ(TokenCountFormat::compact(count, "en_US"), english) << count;
        EXPECT_EQ(TokenCountFormat::compact(count, "de_DE"), german) << count;
    }
    EXPECT_EQ(TokenCountFormat::exact(1200000, "en_US"), "1,200,000");
    EXPECT_EQ(TokenCountFormat::exact(1200000, "de_DE"), "1.200.000");
}

}  // namespace
}  // namespace vask
