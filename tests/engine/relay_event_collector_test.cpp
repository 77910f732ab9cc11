#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "engine/relay_event_collector.h"
#include "engine/zendrel_execution_disclosure.h"
#include "platform/json_value.h"

namespace vask {
namespace {

using nlohmann::json;

struct Recorded {
    std::vector<std::string> types;
    std::vector<std::string> progress;
    std::vector<std::string> reasoning;
    std::vector<ZendrelExecutionEvent> executions;
    std::vector<std::int64_t> unsupportedVersions;
    std::vector<RLMEngineStartup> startups;
    int usage = 0;

    RelayEventCollector::Callbacks callbacks() {
        return {[this](const std::string& s) { progress.push_back(s); },
                [this](const std::string& s) { reasoning.push_back(s); },
                [this](const ZendrelExecutionEvent& e) { executions.push_back(e); },
                [this](const RLMUsageSnapshot&) { ++usage; },
                [this](std::int64_t v) { unsupportedVersions.push_back(v); },
                [this](const RLMEngineStartup& s) { startups.push_back(s); },
                [this](const std::string& t) { types.push_back(t); }};
    }
};

json codeEvent(std::string runID, std::int64_t seq, std::int64_t depth, std::int64_t iteration) {
    return {{"type", "code"}, {"version", 6},           {"run_id", std::move(runID)}, {"seq", seq},
            {"depth", depth}, {"iteration", iteration}, {"code", "print(1)"}};
}

TEST(RelayEventCollectorTest, SplitsLinesAcrossChunks) {
    Recorded recorded;
    RelayEventCollector collector(recorded.callbacks());
    collector.append(
        "{\"type\":\"progress\",\"status\":\"one\"}\n{\"type\":\"progress\",\"status\":\"two\"}\n"
        "{\"type\":\"prog");
    EXPECT_EQ(recorded.progress, (std::vector<std::string>{"one", "two"}));
    collector.append("ress\",\"status\":\"th");
    EXPECT_EQ(recorded.progress.size(), 2u);
    collector.append("ree\"}\n\n{\"type\":\"done\"}");
    EXPECT_EQ(recorded.progress, (std::vector<std::string>{"one", "two", "three"}));
    // The last line has no line feed yet: not handled.
    EXPECT_EQ(recorded.types, (std::vector<std::string>{"progress", "progress", "progress"}));
}

TEST(RelayEventCollectorTest, LongLinesInSmallChunksAndLinesPastTheMaximum) {
    const auto progressLine = [](std::size_t padding) {
        return R"({"type":"progress","status":")" + std::string(padding, 's') + "\"}\n";
    };
    struct Row {
        std::string name;
        std::size_t padding;
        std::size_t chunk;
        bool delivered;
    };
    const std::vector<Row> rows = {
        // Searching the whole pending line after every chunk would take minutes here.
        {"2 MiB line in 16-byte chunks", 2 * 1024 * 1024, 16, true},
        {"line past the maximum", RelayEventCollector::maximumLineBytes, 1024 * 1024, false},
    };
    for (const auto& row : rows) {
        Recorded recorded;
        RelayEventCollector collector(recorded.callbacks());
        const std::string bytes = progressLine(row.padding) + progressLine(1);
        for (std::size_t at = 0; at < bytes.size(); at += row.chunk) {
            collector.append(std::string_view(bytes).substr(at, row.chunk));
        }
        ASSERT_EQ(recorded.progress.size(), row.delivered ? 2u : 1u) << row.name;
        EXPECT_EQ(recorded.progress.front().size(), row.delivered ? row.padding : 1u) << row.name;
        EXPECT_EQ(recorded.progress.back(), "s") << row.name;
    }
}

TEST(RelayEventCollectorTest, LinesThatAreNotTypedObjectsProduceNoCallback) {
    for (const std::string line : {"not json", "[1,2]", "{\"status\":\"x\"}", "{\"type\":3}",
                                   "\"progress\"", "{\"type\":\"progress\",\"status\":\"\xff\"}"}) {
        Recorded recorded;
        RelayEventCollector collector(recorded.callbacks());
        collector.append(line + "\n");
        EXPECT_TRUE(recorded.types.empty()) << line;
        EXPECT_TRUE(recorded.progress.empty()) << line;
    }
}

TEST(RelayEventCollectorTest, LinesNestedPastTheDepthLimitAreIgnored) {
    const auto line = [](std::size_t levels) {
        return R"({"type":"progress","status":"s","extra":)" + std::string(levels, '[') +
               std::string(levels, ']') + "}\n";
    };
    Recorded recorded;
    RelayEventCollector collector(recorded.callbacks());
    collector.append(line(JSONValue::maximumDepth - 1));
    collector.append(line(JSONValue::maximumDepth));
    collector.append(line(100000));
    EXPECT_EQ(recorded.progress, std::vector<std::string>{"s"});
}

TEST(RelayEventCollectorTest, DispatchesByType) {
    Recorded recorded;
    RelayEventCollector collector(recorded.callbacks());
    collector.append("{\"type\":\"progress\",\"status\":5}\n");
    collector.append("{\"type\":\"reasoning_delta\",\"text\":\"hm\"}\n");
    collector.append("{\"type\":\"startup\"}\n");
    collector.append(
        "{\"type\":\"startup\",\"engine_version\":\"1.2\",\"runner_protocol\":3,"
        "\"provider_protocol\":\"4\"}\n");
    collector.append(codeEvent("a", 1, 0, 1).dump() + "\n");
    collector.append("{\"type\":\"mystery\"}\n");
    EXPECT_TRUE(recorded.progress.empty());
    EXPECT_EQ(recorded.reasoning, (std::vector<std::string>{"hm"}));
    ASSERT_EQ(recorded.startups.size(), 2u);
    EXPECT_EQ(recorded.startups[0], (RLMEngineStartup{"unknown", std::nullopt, std::nullopt}));
    EXPECT_EQ(recorded.startups[1], (RLMEngineStartup{"1.2", 3, std::nullopt}));
    ASSERT_EQ(recorded.executions.size(), 1u);
    EXPECT_EQ(recorded.types.size(), 6u);
}

TEST(RelayEventCollectorTest, ReportsEachUnsupportedTraceVersionOnce) {
    Recorded recorded;
    RelayEventCollector collector(recorded.callbacks());
    auto v7 = codeEvent("a", 1, 0, 1);
    v7["version"] = 7;
    auto v8 = v7;
    v8["version"] = 8;
    auto v6Broken = codeEvent("a", 1, 0, 1);
    v6Broken.erase("code");
    for (const auto& event : {v7, v7, v6Broken, v8}) {
        collector.append(event.dump() + "\n");
    }
    EXPECT_EQ(recorded.unsupportedVersions, (std::vector<std::int64_t>{7, 8}));
    EXPECT_TRUE(recorded.executions.empty());
}

TEST(ZendrelExecutionEventTest, RejectsMalformedEvents) {
    const std::vector<std::pair<std::string, std::function<void(json&)>>> rejected = {
        {"version 5", [](json& e) { e["version"] = 5; }},
        {"version 7", [](json& e) { e["version"] = 7; }},
        {"version as text", [](json& e) { e["version"] = "6"; }},
        {"seq 0", [](json& e) { e["seq"] = 0; }},
        {"depth -1", [](json& e) { e["depth"] = -1; }},
        {"iteration 0", [](json& e) { e["iteration"] = 0; }},
        {"empty run id", [](json& e) { e["run_id"] = ""; }},
        {"code missing, stdout present",
         [](json& e) {
             e.erase("code");
             e["stdout"] = "x";
         }},
        {"error without message",
         [](json& e) {
             e["type"] = "execution_error";
             e["error_type"] = "ValueError";
         }},
        {"other type", [](json& e) { e["type"] = "progress"; }},
    };
    for (const auto& [name, mutate] : rejected) {
        auto event = codeEvent("a", 1, 0, 1);
        mutate(event);
        EXPECT_FALSE(ZendrelExecutionEvent::traceObject(event)) << name;
    }
    auto emptyMessage = codeEvent("a", 1, 0, 1);
    emptyMessage["type"] = "execution_error";
    emptyMessage["error_type"] = "ValueError";
    emptyMessage["message"] = "";
    const auto error = ZendrelExecutionEvent::traceObject(emptyMessage);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->payload, ZendrelExecutionEvent::Payload(
                                  ZendrelExecutionEvent::ExecutionError{"ValueError", ""}));
}

TEST(ZendrelExecutionDisclosureTest, GroupsEventsIntoStepsInArrivalOrder) {
    ZendrelExecutionDisclosure disclosure("q", "s");
    const auto event = [](std::string run, std::int64_t seq, std::int64_t depth,
                          std::int64_t iteration) {
        return *ZendrelExecutionEvent::traceObject(
            codeEvent(std::move(run), seq, depth, iteration));
    };
    disclosure.append(event("a", 1, 0, 1));
    disclosure.append(event("a", 2, 1, 1));
    disclosure.append(event("a", 3, 0, 1));
    disclosure.append(event("a", 3, 0, 1));
    disclosure.append(event("a", 4, 0, 2));
    disclosure.append(event("b", 1, 0, 1));
    EXPECT_EQ(disclosure.events.size(), 6u);
    ASSERT_EQ(disclosure.steps.size(), 4u);
    EXPECT_EQ(disclosure.steps[0].events.size(), 3u);
    EXPECT_EQ(disclosure.steps[0].events[1].position.sequence, 3);
    EXPECT_EQ(disclosure.steps[1].id, (ZendrelExecutionStep::ID{"a", 1, 1}));
    EXPECT_EQ(disclosure.steps[2].id, (ZendrelExecutionStep::ID{"a", 0, 2}));
    EXPECT_EQ(disclosure.steps[3].id, (ZendrelExecutionStep::ID{"b", 0, 1}));
    for (std::size_t i = 0; i < disclosure.steps.size(); ++i) {
        EXPECT_EQ(disclosure.stepIndices.at(disclosure.steps[i].id), i);
    }
}

}  // namespace
}  // namespace vask
