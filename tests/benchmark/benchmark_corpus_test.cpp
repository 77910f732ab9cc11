#include "benchmark/benchmark_corpus.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <set>

#include "benchmark/fts5_search_backend.h"
#include "platform/file_io.h"
#include "relay/decoding_error.h"
#include "support/temp_dir.h"
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
        {"messages not an array", json::json_pointer("/messages"), json::object(), "\"messages\""},
        {"message not an object", json::json_pointer("/messages/0"), 7, "\"messages\"[0]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto corpus = validCorpus();
        if (c.value.is_null()) {
            corpus[c.where.parent_pointer()].erase(c.where.back());
        } else {
            corpus[c.where] = c.value;
        }
        // The document and the file read as a stream fail alike.
        const test::TempDir dir;
        writeFileAtomically(dir / "corpus.json", corpus.dump());
        const std::vector<std::function<void()>> readers = {
            [&] { BenchmarkCorpus::fromJSON(corpus); },
            [&] { BenchmarkCorpus::fromFile(dir / "corpus.json"); },
        };
        for (const auto& read : readers) {
            try {
                read();
                ADD_FAILURE() << "loaded";
            } catch (const DecodingError& error) {
                EXPECT_NE(std::string(error.what()).find(c.mentions), std::string::npos)
                    << error.what();
            }
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

// The messages are handed on in batches as they are read, never all at once; what is left is the
// corpus without them.
TEST(BenchmarkCorpusTest, StreamingHandsOnMessagesInBoundedBatches) {
    const test::TempDir dir;
    const auto generated = tools::generateCorpus({.messages = 1000, .chats = 20, .seed = 3});
    // Messages after the queries, and nested arrays inside a message, are read all the same.
    auto document = json::parse(generated.toJSON().dump());
    document["messages"][0]["extra"] = json::array({json::array({1, 2}), json::object()});
    std::ofstream(dir / "corpus.json")
        << R"({"queries": )" << document["queries"].dump() << R"(, "version": "1", "messages": )"
        << document["messages"].dump() << "}";

    std::vector<std::size_t> batches;
    std::vector<CorpusMessage> streamed;
    const auto corpus = BenchmarkCorpus::streamFromFile(
        dir / "corpus.json",
        [&](std::vector<CorpusMessage>& batch) {
            batches.push_back(batch.size());
            streamed.insert(streamed.end(), batch.begin(), batch.end());
        },
        300);
    EXPECT_TRUE(corpus.messages.empty());
    ASSERT_EQ(generated.messages.size(), 1000u);
    EXPECT_EQ(batches, (std::vector<std::size_t>{300, 300, 300, 100}));
    EXPECT_EQ(streamed, generated.messages);
    EXPECT_EQ(corpus.queries, generated.queries);
    EXPECT_EQ(BenchmarkCorpus::fromFile(dir / "corpus.json").messages, generated.messages);

    std::ofstream(dir / "twice.json")
        << R"({"version": "1", "messages": [], "queries": [], "messages": []})";
    EXPECT_THROW(BenchmarkCorpus::fromFile(dir / "twice.json"), DecodingError);
    std::ofstream(dir / "cut.json") << document.dump().substr(0, 5000);
    EXPECT_THROW(BenchmarkCorpus::fromFile(dir / "cut.json"), DecodingError);
}

// A key the format does not know may hold values nested up to the limit, not deeper: each level
// would be kept.
TEST(BenchmarkCorpusTest, NestingDeeperThanTheLimitIsRefused) {
    const test::TempDir dir;
    const auto corpusWithUnknownKey = [](std::size_t depth, const char* open, const char* close) {
        std::string nested;
        for (std::size_t i = 0; i < depth; ++i) {
            nested += open;
        }
        nested += "0";
        for (std::size_t i = 0; i < depth; ++i) {
            nested += close;
        }
        return R"({"version": "1", "messages": [], "queries": [], "extra": )" + nested + "}";
    };
    const auto limit = BenchmarkCorpus::maximumDepth;
    struct Case {
        std::string name;
        std::string corpus;
        bool refused;
    };
    const std::vector<Case> cases = {
        {"arrays at the limit", corpusWithUnknownKey(limit - 1, "[", "]"), false},
        {"arrays one past the limit", corpusWithUnknownKey(limit, "[", "]"), true},
        {"a million objects", corpusWithUnknownKey(1'000'000, R"({"k":)", "}"), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(dir / "corpus.json") << c.corpus;
        if (!c.refused) {
            EXPECT_NO_THROW(BenchmarkCorpus::fromFile(dir / "corpus.json"));
            continue;
        }
        try {
            BenchmarkCorpus::fromFile(dir / "corpus.json");
            ADD_FAILURE() << "read";
        } catch (const DecodingError& error) {
            EXPECT_NE(std::string(error.what()).find("nested deeper than 64 levels"),
                      std::string::npos)
                << error.what();
        }
    }
}

// Only a regular file of a bounded size is read: a pipe is not waited on, a device not read
// without end.
TEST(BenchmarkCorpusTest, OnlyARegularFileOfBoundedSizeIsRead) {
    const test::TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(dir / "folder");
    {
        std::ofstream(dir / "huge.json") << "{";
        std::filesystem::resize_file(dir / "huge.json", BenchmarkCorpus::maximumFileBytes + 1);
    }
    struct Case {
        std::filesystem::path path;
        int error;
        const char* mentions;
    };
    const std::vector<Case> cases = {
        {dir / "fifo", EINVAL, "regular file"},         {"/dev/zero", EINVAL, "regular file"},
        {dir / "folder", EINVAL, "regular file"},       {dir / "huge.json", EFBIG, "1024 MiB"},
        {dir / "missing.json", ENOENT, "missing.json"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        try {
            BenchmarkCorpus::fromFile(c.path);
            ADD_FAILURE() << "read";
        } catch (const FileError& error) {
            EXPECT_EQ(error.errorNumber(), c.error) << error.what();
            EXPECT_NE(std::string(error.what()).find(c.mentions), std::string::npos)
                << error.what();
        }
    }
}

// The common-word queries are what make latency grow with the corpus: each matches many
// messages, and the planted one still ranks first.
TEST(BenchmarkCorpusTest, GeneratedCommonWordQueriesMatchManyMessages) {
    const auto corpus = tools::generateCorpus({.messages = 6000, .chats = 40, .seed = 5});
    FTS5SearchBackend backend(std::nullopt);
    std::vector<ShadowMessage> messages;
    for (const auto& message : corpus.messages) {
        messages.push_back(message.toShadowMessage());
    }
    backend.ingest(messages);
    int common = 0;
    for (const auto& query : corpus.queries) {
        if (!query.id.starts_with("kw-common-")) {
            continue;
        }
        ++common;
        SCOPED_TRACE(query.text);
        const auto found = backend.search(query.text, 100'000);
        EXPECT_GT(found.size(), 100u);
        ASSERT_FALSE(found.empty());
        EXPECT_EQ(found.front(), query.expectedGuids.front());
    }
    EXPECT_EQ(common, 10);
}

}  // namespace
}  // namespace vask
