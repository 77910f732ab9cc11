#include <gtest/gtest.h>

#include "proactive/daily_digest.h"

namespace vask {
namespace {

const char* const fullDigest = R"({
    "dayKey": "2026-12-07", "generatedAt": 1796630400.5, "summaryLine": "2 people wait",
    "repliesNeeded": [{"chatId": "c1", "contactName": "Ann", "sender": "+1555",
                       "lastMessageText": "hi", "timestamp": 12, "timestampUnix": 99}],
    "comingUp": [{"title": "Dinner", "when": "tonight", "date": 100, "chatId": "c1"}]})";

TEST(DailyDigest, EveryDigestKeyIsRequiredAndRoundTrips) {
    const auto json = nlohmann::json::parse(fullDigest);
    const auto digest = json.get<DailyDigest>();
    EXPECT_EQ(digest.repliesNeeded.at(0).timestampUnix, 99);
    EXPECT_EQ(digest.comingUp.at(0).date, 100.0);
    EXPECT_FALSE(digest.comingUp.at(0).senderHandle);
    EXPECT_EQ(nlohmann::json(digest).get<DailyDigest>(), digest);
    for (const char* key : {"dayKey", "generatedAt", "summaryLine", "repliesNeeded", "comingUp"}) {
        auto missing = json;
        missing.erase(key);
        EXPECT_THROW((void)missing.get<DailyDigest>(), nlohmann::json::exception) << key;
    }
    auto wrongType = json;
    wrongType["comingUp"] = "soon";
    EXPECT_THROW((void)wrongType.get<DailyDigest>(), nlohmann::json::exception);
}

TEST(DailyDigest, ComingUpItemKeysAndIdentity) {
    const ComingUpItem bare{"Call mum", std::nullopt, "this weekend", std::nullopt, std::nullopt};
    EXPECT_EQ(nlohmann::json(bare),
              nlohmann::json::parse(R"({"title":"Call mum","when":"this weekend"})"));
    for (const char* key : {"title", "when"}) {
        auto missing = nlohmann::json(bare);
        missing.erase(key);
        EXPECT_THROW((void)missing.get<ComingUpItem>(), nlohmann::json::exception) << key;
    }
    struct Case {
        std::optional<double> date;
        std::string id;
    };
    for (const auto& c : {Case{std::nullopt, "Call mum|this weekend"}, Case{100, "Call mum|100.0"},
                          Case{0.1, "Call mum|0.1"}, Case{-2.5, "Call mum|-2.5"},
                          Case{1796630400.25, "Call mum|1796630400.25"}}) {
        ComingUpItem item = bare;
        item.date = c.date;
        EXPECT_EQ(item.id(), c.id);
    }
    ComingUpItem same = bare;
    EXPECT_EQ(same.id(), bare.id());
    same.date = 100;
    EXPECT_NE(same, bare);  // an absent and a present date differ
}

}  // namespace
}  // namespace vask
