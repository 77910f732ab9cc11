#include "benchmark/benchmark_corpus.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>

#include "relay/decoding_error.h"
#include "vask-bench/corpus_generator.h"

namespace vask {
namespace {

using nlohmann::json;

json validCorpus() {
    return json::parse(R"({
        "version": "1",
        "messages": [{"guid": "m1", "chat_id": "c1", "sender": "+1555", "text": "hello",
                      "timestamp": 725846400000000000, "is_from_me": false, "is_group": false}],
        "queries": [{"id": "q1", "text": "hello", "category": "keyword",
                     "expected_guids": ["m1"]}]
    })");
}

struct BadCorpus {
    const char* name;
    json::json_pointer where;
    json value;  // null removes the key
    const char* mentions;
};

TEST(BenchmarkCorpusTest, StrictReadingFailsTheWholeCorpusNamingTheKey) {
    const std::vector<BadCorpus> cases = {
        {"fractional timestamp", json::json_pointer("/messages/0/timestamp"), 1.5, "\"timestamp\""},
        {"timestamp as a string", json::json_pointer("/messages/0/timestamp"), "1",
         "\"timestamp\""},
        {"timestamp past 64 bits", json::json_pointer("/messages/0/timestamp"),
         json::parse("9223372036854775808"), "\"timestamp\""},
        {"timestamp far past 64 bits", json::json_pointer("/messages/0/timestamp"), 1e20,
         "\"timestamp\""},
        {"boolean as a string", json::json_pointer("/messages/0/is_from_me"), "true",
         "\"is_from_me\""},
        {"boolean as a number", json::json_pointer("/messages/0/is_group"), 1, "\"is_group\""},
        {"capitalised category", json::json_pointer("/queries/0/category"), "Keyword",
         "\"category\""},
        {"underscored category", json::json_pointer("/queries/0/category"), "multi_hop",
         "\"category\""},
        {"missing guid", json::json_pointer("/messages/0/guid"), nullptr, "\"guid\""},
        {"missing expected guids", json::json_pointer("/queries/0/expected_guids"), nullptr,
         "\"expected_guids\""},
        {"expected guid not text", json::json_pointer("/queries/0/expected_guids"),
         json::array({1}), "\"expected_guids\""},
        {"missing messages", json::json_pointer("/messages"), nullptr, "\"messages\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto corpus = validCorpus();
        if (c.value.is_null()) {
            corpus[c.where.parent_pointer()].erase(c.where.back());
        } else {
            corpus[c.where] = c.value;
        }
        try {
            BenchmarkCorpus::fromJSON(corpus);
            ADD_FAILURE() << "loaded";
        } catch (const DecodingError& error) {
            EXPECT_NE(std::string(error.what()).find(c.mentions), std::string::npos)
                << error.what();
        }
    }
}

TEST(BenchmarkCorpusTest, OptionalKeysReadAsAbsentAndWritingLeavesThemOut) {
    auto source = validCorpus();
    source["chats"] = nullptr;
    source["description"] = nullptr;
    source["unknown"] = {{"anything", 1}};
    source["messages"][0]["chat_name"] = nullptr;
    source["queries"][0]["category"] = "multi-hop";
    source["queries"][0]["notes"] = "why";
    source["queries"][0]["expected_at_k"] = {{"1", {"m1"}}};

    const auto corpus = BenchmarkCorpus::fromJSON(source);
    EXPECT_FALSE(corpus.chats);
    EXPECT_FALSE(corpus.description);
    EXPECT_FALSE(corpus.messages[0].chatName);
    EXPECT_EQ(corpus.queries[0].category, QueryCategory::multiHop);

    const auto written = corpus.toJSON();
    EXPECT_EQ(
        written.dump(),
        R"({"version":"1","messages":[{"guid":"m1","chat_id":"c1","sender":"+1555",)"
        R"("text":"hello","timestamp":725846400000000000,"is_from_me":false,)"
        R"("is_group":false}],"queries":[{"id":"q1","text":"hello","category":)"
        R"("multi-hop","notes":"why","expected_guids":["m1"],"expected_at_k":{"1":["m1"]}}]})");
    EXPECT_EQ(BenchmarkCorpus::fromJSON(json::parse(written.dump())), corpus);
}

TEST(BenchmarkCorpusTest, ToShadowMessageCarriesTheMessageAndAStableNonNegativeRowid) {
    const CorpusMessage message{.guid = "g-42",
                                .chatId = "c",
                                .chatName = std::nullopt,
                                .sender = "me",
                                .text = "hi",
                                .timestamp = -5,
                                .isFromMe = true,
                                .isGroup = true};
    const auto shadow = message.toShadowMessage();
    EXPECT_EQ(shadow.guid, "g-42");
    EXPECT_EQ(shadow.sender, "me");
    EXPECT_EQ(shadow.timestamp, -5);
    EXPECT_TRUE(shadow.isFromMe && shadow.isGroup);
    EXPECT_FALSE(shadow.chatName || shadow.recipientHandle || shadow.hasAttachments);
    EXPECT_TRUE(shadow.attachmentTypes.empty());
    EXPECT_GE(shadow.sourceRowid, 0);
    EXPECT_EQ(message.toShadowMessage().sourceRowid, shadow.sourceRowid);
}

TEST(BenchmarkCorpusTest, SampleAndGeneratedCorporaCoverEveryCategoryWithRealExpectations) {
    const auto sample = BenchmarkCorpus::fromFile(VASK_SAMPLE_CORPUS);
    const auto generated = tools::generateCorpus({.messages = 3000, .chats = 40, .seed = 7});
    EXPECT_EQ(generated, tools::generateCorpus({.messages = 3000, .chats = 40, .seed = 7}));
    EXPECT_EQ(generated.messages.size(), 3000u);

    for (const auto* corpus : {&sample, &generated}) {
        std::set<std::string> guids;
        for (const auto& message : corpus->messages) {
            EXPECT_TRUE(guids.insert(message.guid).second) << message.guid;
        }
        std::set<QueryCategory> categories;
        for (const auto& query : corpus->queries) {
            categories.insert(query.category);
            EXPECT_FALSE(query.expectedGuids.empty()) << query.id;
            for (const auto& guid : query.expectedGuids) {
                EXPECT_TRUE(guids.contains(guid)) << query.id << " expects " << guid;
            }
        }
        EXPECT_EQ(categories.size(), allQueryCategories().size());
    }
    EXPECT_GE(sample.messages.size(), 250u);
    EXPECT_GE(sample.queries.size(), 40u);
}

}  // namespace
}  // namespace vask
