#include "records/citation_service.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

namespace fs = std::filesystem;
using Kind = RLMEvidence::SourceKind;

RLMEvidence record(std::string id, Kind kind, std::vector<std::string> guids = {},
                   std::optional<JSONValue> result = std::nullopt) {
    RLMEvidence evidence;
    evidence.id = std::move(id);
    evidence.label = "label";
    evidence.accessor = "accessor";
    evidence.sourceKind = kind;
    evidence.rowCount = 3;
    evidence.messageGuids = std::move(guids);
    evidence.result = std::move(result);
    return evidence;
}

CitedMessage row(std::string guid, std::string chatId, std::int64_t time, std::string name = "Ana",
                 bool group = false, std::optional<std::string> chatName = std::nullopt) {
    return {std::move(guid),   std::move(name),     "text", time,
            std::move(chatId), std::move(chatName), group};
}

const ConversationSource& conversation(const AnswerSource& source) {
    return std::get<ConversationSource>(source.payload);
}
const QueryEvidenceSource& query(const AnswerSource& source) {
    return std::get<QueryEvidenceSource>(source.payload);
}

std::vector<std::string> ids(const std::vector<AnswerSource>& sources) {
    std::vector<std::string> out;
    for (const auto& source : sources) {
        out.push_back(source.id());
    }
    return out;
}

TEST(CitationProjectionTest, SlotsFollowRecordOrderAndGuidsAreQuotedOnce) {
    const std::vector<CitedMessage> rows = {
        row("g1", "chat-a", 20), row("g2", " chat-a ", 10),     row("g3", "  UNKNOWN ", 30),
        row("g4", "", 40),       row("g5", "chat-b", 5, "You"), row("g1", "chat-z", 1)};
    const std::vector<RLMEvidence> evidence = {
        record("q0", Kind::query),
        record("m1", Kind::messages, {"g1", "", "g3", "g1", "missing"}),
        record("f1", Kind::messagesWithQueryFallback, {"g1", "g2", "g4"}),
        record("f2", Kind::messagesWithQueryFallback, {}),
        record("f3", Kind::messagesWithQueryFallback, {"missing-too"}),
        record("m2", Kind::messages, {"g5"}),
    };
    const auto sources = CitationService::projectSources(
        evidence, rows,
        {{"chat-a", {ChatParticipant{"chat-a", 1, " +15550001 ", {}}}},
         {"chat-b",
          {ChatParticipant{"chat-b", 1, "a", {}}, ChatParticipant{"chat-b", 2, "b", {}}}}});
    EXPECT_EQ(ids(sources), (std::vector<std::string>{"query:q0", "conversation:chat-a",
                                                      "message:g3", "message:g4", "query:f1",
                                                      "query:f3", "conversation:chat-b"}));
    const auto& chatA = conversation(sources[1]);
    ASSERT_EQ(chatA.messages.size(), 2u);
    EXPECT_EQ(chatA.messages[0].guid, "g2");  // oldest first; the first row of g1 wins
    EXPECT_EQ(chatA.chatId, "chat-a");
    ASSERT_TRUE(chatA.messagesTarget);
    EXPECT_EQ(chatA.messagesTarget->address, "+15550001");
    EXPECT_EQ(chatA.title, "Ana");
    EXPECT_FALSE(conversation(sources[2]).chatId);
    EXPECT_FALSE(conversation(sources[2]).messagesTarget);
    EXPECT_EQ(conversation(sources[6]).title, "Messages");
    EXPECT_FALSE(conversation(sources[6]).messagesTarget);  // two participants
}

TEST(CitationProjectionTest, Titles) {
    const std::vector<SupportingMessage> messages = {{"1", "Ana", "", 1},
                                                     {"2", "You", "", 2},
                                                     {"3", "", "", 3},
                                                     {"4", "Ana", "", 4},
                                                     {"5", "Ben", "", 5}};
    struct Case {
        std::vector<SupportingMessage> messages;
        std::optional<std::string> chatName;
        bool group;
        std::string title;
    };
    const std::vector<Case> cases = {
        {messages, "Family", false, "Ana, Ben"},
        {messages, "Family", true, "Family"},
        {messages, std::nullopt, true, "Group conversation"},
        {{{"1", "You", "", 1}}, std::nullopt, false, "Messages"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CitationService::conversationTitle(c.messages, c.chatName, c.group), c.title);
    }
    // A group named only with spaces counts as unnamed.
    const auto sources = CitationService::projectSources(
        {record("m", Kind::messages, {"g"})}, {row("g", "c", 1, "Ana", true, "   ")}, {});
    EXPECT_EQ(conversation(sources[0]).title, "Group conversation");
}

TEST(CitationProjectionTest, QueryPreviews) {
    using P = QueryEvidencePreview;
    const std::string longText(2500, 'x');
    const auto nested =
        JSONValue::object({{"a", JSONValue::object({{"b", JSONValue::number(7)}})}});
    const auto twoMembers =
        JSONValue::object({{"a", JSONValue::number(1)}, {"b", JSONValue::number(2)}});
    struct Case {
        std::optional<JSONValue> result;
        P preview;
        bool cut;
    };
    const std::vector<Case> cases = {
        {std::nullopt, P::unavailable(), false},
        {JSONValue::null(), P::unavailable(), false},
        {JSONValue::string(longText), P::scalar(std::string(2000, 'x')), true},
        {JSONValue::number(12.0), P::scalar("12"), false},
        {JSONValue::boolean(true), P::scalar("true"), false},
        {nested, P::scalar("7"), false},
        {JSONValue::array({twoMembers}), P::rows(3), false},
        {JSONValue::array({JSONValue::string("one")}), P::scalar("one"), false},
        {JSONValue::array({}), P::rows(3), false},
        {JSONValue::object({}), P::rows(3), false},
    };
    for (const auto& c : cases) {
        const auto [preview, cut] = CitationService::queryPreview(c.result, 3);
        EXPECT_EQ(preview, c.preview);
        EXPECT_EQ(cut, c.cut);
    }
    const auto sources = CitationService::projectSources(
        {record("q", Kind::query, {}, JSONValue::string(longText))}, {}, {});
    EXPECT_TRUE(query(sources[0]).resultTruncated);
}

AnswerSource conversationWith(std::size_t count, std::string id) {
    ConversationSource source;
    source.id = std::move(id);
    for (std::size_t i = 0; i < count; ++i) {
        source.messages.push_back({"g" + std::to_string(i), "Ana", "hi", std::int64_t(i)});
    }
    return {source};
}

AnswerSource queryWith(std::string id, std::string preview = "x") {
    return {QueryEvidenceSource{std::move(id), "l", "a", QueryEvidencePreview::scalar(preview), 1,
                                false}};
}

std::vector<std::size_t> messageCounts(const ResolvedSources& resolved) {
    std::vector<std::size_t> counts;
    for (const auto& source : resolved.sources) {
        if (const auto* c = std::get_if<ConversationSource>(&source.payload)) {
            counts.push_back(c->messages.size());
        }
    }
    return counts;
}

TEST(CitationBoundingTest, Limits) {
    struct Case {
        std::string name;
        std::vector<AnswerSource> sources;
        bool inputTruncated;
        std::size_t keptSources;
        std::vector<std::size_t> keptMessages;
        bool truncated;
    };
    std::vector<AnswerSource> sixty;
    for (int i = 0; i < 60; ++i) {
        sixty.push_back(conversationWith(1, "c" + std::to_string(i)));
    }
    std::vector<AnswerSource> queries;
    for (int i = 0; i < 25; ++i) {
        queries.push_back(queryWith("q" + std::to_string(i)));
    }
    const std::vector<Case> cases = {
        {"sixty sources", sixty, false, 50, std::vector<std::size_t>(50, 1), true},
        {"25 queries", queries, false, 20, {}, true},
        {"30 2 30",
         {conversationWith(30, "a"), conversationWith(2, "b"), conversationWith(30, "c")},
         false,
         3,
         {24, 2, 24},
         false},
        {"one of 80", {conversationWith(80, "a")}, true, 1, {50}, true},
        {"empty conversation", {conversationWith(0, "a"), queryWith("q")}, false, 1, {}, true},
    };
    for (const auto& c : cases) {
        const auto bounded = CitationService::boundedForPersistence({c.sources, c.inputTruncated});
        EXPECT_EQ(bounded.sources.size(), c.keptSources) << c.name;
        EXPECT_EQ(messageCounts(bounded), c.keptMessages) << c.name;
        EXPECT_EQ(bounded.truncated, c.truncated) << c.name;
    }
    const auto eighty =
        CitationService::boundedForPersistence({{conversationWith(80, "a")}, false});
    EXPECT_FALSE(eighty.truncated);
    EXPECT_TRUE(conversation(eighty.sources[0]).messagesTruncated);
    EXPECT_EQ(conversation(eighty.sources[0]).messages.back().guid, "g49");
}

TEST(CitationBoundingTest, CutsTextsAtGraphemeClustersAndLogsOnlyChanges) {
    test::LogCapture logs;
    // Each family emoji is one user-perceived character of several code points.
    std::string family;
    for (int i = 0; i < 2100; ++i) {
        family += "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
    }
    auto talk = conversationWith(1, "a");
    std::get<ConversationSource>(talk.payload).messages[0].text = family;
    const auto bounded =
        CitationService::boundedForPersistence({{talk, queryWith("q", family)}, false});
    const auto& text = conversation(bounded.sources[0]).messages[0].text;
    EXPECT_EQ(text, family.substr(0, 2000 * 18));
    EXPECT_FALSE(conversation(bounded.sources[0]).messagesTruncated);
    EXPECT_TRUE(query(bounded.sources[1]).resultTruncated);
    EXPECT_FALSE(bounded.truncated);
    EXPECT_EQ(logs->events("persisted_citations_truncated").size(), 1u);

    logs->clear();
    const ResolvedSources small{{conversationWith(3, "a"), queryWith("q")}, false};
    EXPECT_EQ(CitationService::boundedForPersistence(small), small);
    EXPECT_FALSE(logs->contains("persisted_citations_truncated"));
}

class FakeReader : public CitationMessageReader {
  public:
    std::vector<CitedMessage> fetchMessages(const fs::path&, const std::vector<std::string>& guids,
                                            const fs::path& contacts, int) override {
        askedGuids = guids;
        askedContacts = contacts;
        if (failMessages) {
            throw std::runtime_error("disk I/O error");
        }
        return rows;
    }
    std::map<std::string, std::vector<ChatParticipant>> fetchChatParticipants(
        const fs::path&, const std::vector<std::string>& chatIds) override {
        askedChats = chatIds;
        if (failParticipants) {
            throw std::runtime_error("no such table");
        }
        return {{"chat-a", {ChatParticipant{"chat-a", 1, "+1555", {}}}}};
    }

    std::vector<CitedMessage> rows = {row("g1", "chat-a", 1)};
    bool failMessages = false;
    bool failParticipants = false;
    std::vector<std::string> askedGuids;
    std::vector<std::string> askedChats;
    fs::path askedContacts;
};

TEST(CitationResolveTest, FailuresLeaveQueryCitations) {
    test::TempDir dir;
    std::ofstream(dir / "shadow.db") << "";
    std::ofstream(dir / "contacts.db") << "";
    std::filesystem::create_directories(dir / "no-contacts");
    std::ofstream(dir / "no-contacts" / "shadow.db") << "";
    const std::vector<RLMEvidence> evidence = {record("f", Kind::messagesWithQueryFallback, {"g1"}),
                                               record("q", Kind::query)};
    enum class Failure { none, paths, missingDatabases, missingContacts, messages, participants };
    struct Case {
        Failure failure;
        std::string event;
        std::vector<std::string> ids;
        bool target;
    };
    const std::vector<std::string> both = {"conversation:chat-a", "query:f", "query:q"};
    const std::vector<std::string> queriesOnly = {"query:f", "query:q"};
    const std::vector<Case> cases = {
        {Failure::none, "citations_resolved", both, true},
        {Failure::paths, "citation_paths_failed", queriesOnly, false},
        {Failure::missingDatabases, "citation_databases_missing", queriesOnly, false},
        {Failure::missingContacts, "citation_databases_missing", both, true},
        {Failure::messages, "citation_materialization_failed", queriesOnly, false},
        {Failure::participants, "citation_navigation_targets_failed", both, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.event);
        test::LogCapture logs;
        auto reader = std::make_shared<FakeReader>();
        reader->failMessages = c.failure == Failure::messages;
        reader->failParticipants = c.failure == Failure::participants;
        const CitationService service(reader, [&]() -> fs::path {
            if (c.failure == Failure::paths) {
                throw std::runtime_error("no data folder");
            }
            if (c.failure == Failure::missingContacts) {
                return dir / "no-contacts";
            }
            return c.failure == Failure::missingDatabases ? dir / "nowhere" : dir.path();
        });
        const auto resolved = service.resolve(evidence);
        EXPECT_EQ(ids(resolved.sources), c.ids);
        EXPECT_TRUE(logs->contains(c.event));
        EXPECT_FALSE(resolved.truncated);
        if (c.target) {
            EXPECT_TRUE(conversation(resolved.sources[0]).messagesTarget);
        }
        // No contacts database is passed on as none, never as a path that is not there.
        if (c.failure == Failure::missingContacts) {
            EXPECT_TRUE(reader->askedContacts.empty());
        } else if (c.failure == Failure::none) {
            EXPECT_EQ(reader->askedContacts, dir / "contacts.db");
        }
    }
}

TEST(CitationResolveTest, OnlyQueriesTouchNoDatabaseAndLogNothing) {
    test::LogCapture logs;
    auto reader = std::make_shared<FakeReader>();
    const CitationService service(reader, []() -> fs::path { throw std::runtime_error("x"); });
    EXPECT_TRUE(service.resolve({}).sources.empty());
    const auto resolved = service.resolve({record("a", Kind::query), record("b", Kind::query)});
    EXPECT_EQ(ids(resolved.sources), (std::vector<std::string>{"query:a", "query:b"}));
    EXPECT_TRUE(logs->records().empty());
    EXPECT_TRUE(reader->askedGuids.empty());
}

TEST(CitationResolveTest, LooksUpAtMost200DistinctGuids) {
    std::vector<std::string> guids;
    for (int i = 0; i < 250; ++i) {
        guids.push_back("g" + std::to_string(i % 240));
    }
    const auto selected = CitationService::selectedMessageGuids(
        {record("m", Kind::messages, guids), record("q", Kind::query, {"q-guid"})});
    ASSERT_EQ(selected.size(), 200u);
    EXPECT_EQ(selected.front(), "g0");
    EXPECT_EQ(selected.back(), "g199");
}

}  // namespace
}  // namespace vask
