#include <gtest/gtest.h>

#include "record_fixtures.h"
#include "records/record_json.h"

namespace vask {
namespace {

using Json = nlohmann::json;

std::string dump(const Json& json) {
    return *record_json::dump(json);
}

ChatMessage decodeMessage(std::string_view text) {
    return ChatMessage::fromJson(record_json::parse(text));
}

const char* const minimalMessage =
    R"({"id":"6b1b6c1e-3c1a-4e5b-9f00-0a1b2c3d4e5f","role":"assistant","text":"Hi","timestamp":757382400.25})";

TEST(ChatMessageJSON, AFullMessageReEncodesToTheSameBytes) {
    auto message = test::sampleMessage(ChatRole::assistant, "Dinner \u2014 at 7?", 3, true);
    MemoryReceipt receipt;
    receipt.id = Uuid::random();
    receipt.term = "Ana";
    message.memoryReceipts = std::vector<MemoryReceipt>{receipt};
    SessionArtifact artifact;
    artifact.id = Uuid::random();
    artifact.sourceTurnID = message.id;
    artifact.label = "Family";
    artifact.members = {{SessionEntityNamespace::messageSender, "+15550001"}};
    artifact.createdAt = test::sampleDate(9);
    message.artifacts = {artifact};
    message.artifactAvailability =
        SessionArtifactAvailability{SessionArtifactAvailability::State::partiallyAvailable, 1, 1};
    ChatTokenUsage usage;
    usage.kind = ChatTokenUsage::Kind::resolved;
    usage.root.inputTokens = 1200;
    usage.root.outputTokens = 80;
    usage.root.totalTokens = 1280;
    usage.root.complete = true;
    usage.totalTokens = 1280;
    message.tokenUsage = usage;
    message.heldForKeyring = true;

    const auto first = dump(message.toJson());
    const auto decoded = decodeMessage(first);
    EXPECT_EQ(dump(decoded.toJson()), first);
    EXPECT_EQ(dump(decodeMessage(dump(decoded.toJson())).toJson()), first);
    EXPECT_EQ(decoded.sources, message.sources);
    EXPECT_EQ(decoded.memoryReceipts, message.memoryReceipts);
    EXPECT_EQ(decoded.artifactAvailability, message.artifactAvailability);
    EXPECT_EQ(decoded.tokenUsage, message.tokenUsage);
    EXPECT_EQ(decoded.heldForKeyring, std::optional(true));
    // Keys come out sorted and the id in upper case.
    EXPECT_LT(first.find("\"artifactAvailability\""), first.find("\"id\""));
    EXPECT_NE(first.find(message.id.uppercaseString()), std::string::npos);
}

TEST(ChatMessageJSON, DatesAreSecondsSince2001AndSurviveAReload) {
    const double cases[] = {757382400.25, 0.0, -31536000.5, 1.0e-7, 757382400.1234567};
    for (double seconds : cases) {
        SCOPED_TRACE(seconds);
        const auto date = record_date::fromReferenceSeconds(seconds);
        ASSERT_TRUE(date.has_value());
        EXPECT_EQ(record_date::referenceSeconds(*date), seconds);
    }
    const auto epoch2001 = RecordDate(std::chrono::seconds(978307200));
    EXPECT_EQ(record_date::referenceSeconds(epoch2001), 0.0);
    EXPECT_FALSE(record_date::fromReferenceSeconds(1e300).has_value());
    EXPECT_FALSE(record_date::fromReferenceSeconds(std::numeric_limits<double>::quiet_NaN()));
}

TEST(ChatMessageJSON, OptionalKeysThatAreMissingOrNullStayAbsent) {
    const auto message = decodeMessage(minimalMessage);
    EXPECT_FALSE(message.sources.has_value());
    EXPECT_FALSE(message.memoryReceipts.has_value());
    EXPECT_TRUE(message.artifacts.empty());
    EXPECT_EQ(message.id.uppercaseString(), "6B1B6C1E-3C1A-4E5B-9F00-0A1B2C3D4E5F");
    EXPECT_EQ(
        dump(message.toJson()),
        R"({"artifacts":[],"id":"6B1B6C1E-3C1A-4E5B-9F00-0A1B2C3D4E5F","role":"assistant","text":"Hi","timestamp":757382400.25})");

    auto withNulls = Json::parse(minimalMessage);
    for (const auto* key : {"sources", "sourcesTruncated", "extracted", "memoryReceipts",
                            "artifacts", "artifactAvailability", "tokenUsage", "heldForKeyring"}) {
        withNulls[key] = nullptr;
    }
    withNulls["somethingNew"] = 1;
    EXPECT_EQ(dump(ChatMessage::fromJson(withNulls).toJson()), dump(message.toJson()));

    // Absent sources are not an empty list.
    auto empty = message;
    empty.sources = std::vector<AnswerSource>{};
    EXPECT_FALSE(message == empty);
    EXPECT_NE(dump(empty.toJson()).find("\"sources\":[]"), std::string::npos);
    EXPECT_EQ(decodeMessage(dump(empty.toJson())), empty);
}

TEST(ChatMessageJSON, MalformedMessagesFailToDecode) {
    const auto base = Json::parse(minimalMessage);
    struct Case {
        const char* name;
        std::function<void(Json&)> change;
    };
    const Case cases[] = {
        {"missing id", [](Json& j) { j.erase("id"); }},
        {"null text", [](Json& j) { j["text"] = nullptr; }},
        {"unknown role", [](Json& j) { j["role"] = "robot"; }},
        {"role in upper case", [](Json& j) { j["role"] = "User"; }},
        {"id not a UUID", [](Json& j) { j["id"] = "6b1b6c1e"; }},
        {"timestamp as text", [](Json& j) { j["timestamp"] = "2024-01-01"; }},
        {"sources not a list", [](Json& j) { j["sources"] = 5; }},
        {"extracted as a number", [](Json& j) { j["extracted"] = 1; }},
        {"receipt without status",
         [](Json& j) {
             j["memoryReceipts"] = Json::array({{{"id", "6B1B6C1E-3C1A-4E5B-9F00-0A1B2C3D4E5F"}}});
         }},
        {"artifact missing a key", [](Json& j) { j["artifacts"] = Json::array({Json::object()}); }},
        {"availability with unknown state",
         [](Json& j) {
             j["artifactAvailability"] = {
                 {"state", "gone"}, {"accepted_count", 0}, {"rejected_count", 0}};
         }},
        {"token usage of unknown kind",
         [](Json& j) {
             j["tokenUsage"] = {{"kind", "guessed"}, {"root", Json::object()}};
         }},
        {"token usage as text", [](Json& j) { j["tokenUsage"] = "1280"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto json = base;
        c.change(json);
        EXPECT_THROW(ChatMessage::fromJson(json), RecordDecodingError);
    }
    EXPECT_THROW(decodeMessage("{\"id\":"), RecordDecodingError);
    EXPECT_THROW(decodeMessage("[]"), RecordDecodingError);
}

TEST(ChatSessionJSON, TitleIsUserSetDefaultsToFalseAndIsAlwaysWritten) {
    auto json = Json::parse(R"({"id":"s1","createdAt":1.5,"lastMessageAt":2.5,"title":"T",
        "messageCount":9,"messages":[]})");
    json["messages"].push_back(Json::parse(minimalMessage));
    const auto session = ChatSession::fromJson(json);
    EXPECT_FALSE(session.titleIsUserSet);
    EXPECT_EQ(session.messageCount, 9);
    const auto out = session.toJson();
    EXPECT_EQ(out.at("titleIsUserSet"), false);
    EXPECT_EQ(dump(ChatSession::fromJson(out).toJson()), dump(out));
    json.erase("messageCount");
    EXPECT_THROW(ChatSession::fromJson(json), RecordDecodingError);
}

TEST(AnswerSourceJSON, KindSelectsThePayloadKey) {
    const auto conversation = Json::parse(R"({"id":"conversation:c1","title":"Ana","isGroup":false,
        "messages":[],"messagesTruncated":false})");
    const auto query = Json::parse(R"({"id":"q","label":"L","accessor":"a","rowCount":1,
        "resultTruncated":true,"preview":{"scalar":{"_0":"42"}}})");
    struct Case {
        const char* name;
        Json json;
        bool decodes;
    };
    const Case cases[] = {
        {"conversation", {{"kind", "conversation"}, {"conversation", conversation}}, true},
        {"query with a stray conversation key",
         {{"kind", "query"}, {"query", query}, {"conversation", 5}},
         true},
        {"query kind with only a conversation payload",
         {{"kind", "query"}, {"conversation", conversation}},
         false},
        {"unknown kind", {{"kind", "file"}, {"file", query}}, false},
        {"conversation with a null chat id",
         {{"kind", "conversation"},
          {"conversation",
           [&] {
               auto c = conversation;
               c["chatId"] = nullptr;
               c["messagesTarget"] = nullptr;
               return c;
           }()}},
         true},
        {"supporting message missing its guid",
         {{"kind", "conversation"},
          {"conversation",
           [&] {
               auto c = conversation;
               c["messages"] =
                   Json::array({{{"contactName", "A"}, {"text", "t"}, {"timestampUnix", 1}}});
               return c;
           }()}},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.decodes) {
            const auto source = AnswerSource::fromJson(c.json);
            EXPECT_EQ(AnswerSource::fromJson(source.toJson()), source);
        } else {
            EXPECT_THROW(AnswerSource::fromJson(c.json), RecordDecodingError);
        }
    }
}

TEST(AnswerSourceJSON, IdentityPrefixesQueriesOnly) {
    AnswerSource query{QueryEvidenceSource{"query:7", "L", "a", {}, 0, false}};
    AnswerSource conversation{test::sampleConversation("c9")};
    EXPECT_EQ(query.id(), "query:query:7");
    EXPECT_EQ(conversation.id(), "conversation:c9");
}

TEST(QueryEvidencePreviewJSON, ExactlyOneCaseNameIsRequired) {
    struct Case {
        const char* json;
        std::optional<QueryEvidencePreview> expected;  // nothing: the key-count error
    };
    const Case cases[] = {
        {R"({"rows":{"_0":3},"scalar":{"_0":"x"}})", std::nullopt},
        {R"({})", std::nullopt},
        {R"({"other":1})", std::nullopt},
        {R"({"rows":{"_0":3},"other":1})", QueryEvidencePreview::rows(3)},
        {R"({"unavailable":{"junk":true}})", QueryEvidencePreview::unavailable()},
        {R"({"scalar":{"_0":"Ana"}})", QueryEvidencePreview::scalar("Ana")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        const auto json = Json::parse(c.json);
        if (c.expected) {
            EXPECT_EQ(QueryEvidencePreview::fromJson(json), *c.expected);
            continue;
        }
        try {
            QueryEvidencePreview::fromJson(json);
            ADD_FAILURE() << "decoded";
        } catch (const RecordDecodingError& error) {
            EXPECT_EQ(error.kind(), RecordDecodingError::Case::typeMismatch);
            EXPECT_EQ(error.description(), "Invalid number of keys found, expected one.");
        }
    }
    EXPECT_EQ(dump(QueryEvidencePreview::unavailable().toJson()), R"({"unavailable":{}})");
    EXPECT_THROW(QueryEvidencePreview::fromJson(Json::parse(R"({"rows":{"_0":"3"}})")),
                 RecordDecodingError);
}

TEST(QueryEvidencePreviewJSON, TextSaysRowOnlyForExactlyOne) {
    EXPECT_EQ(QueryEvidencePreview::rows(1).text(), "1 matching row");
    EXPECT_EQ(QueryEvidencePreview::rows(0).text(), "0 matching rows");
    EXPECT_EQ(QueryEvidencePreview::rows(-1).text(), "-1 matching rows");
    EXPECT_EQ(QueryEvidencePreview::scalar("").text(), "");
    EXPECT_EQ(QueryEvidencePreview::unavailable().text(), "Result preview unavailable");
}

TEST(QueryEvidenceSourceJSON, AnOldDetailTextBecomesAnUnavailablePreview) {
    auto json = Json::parse(R"({"id":"q","label":"L","accessor":"a","rowCount":2,
        "resultTruncated":false,"detail":"2 rows"})");
    const auto source = QueryEvidenceSource::fromJson(json);
    EXPECT_EQ(source.preview, QueryEvidencePreview::unavailable());
    const auto out = source.toJson();
    EXPECT_FALSE(out.contains("detail"));
    EXPECT_EQ(dump(out.at("preview")), R"({"unavailable":{}})");

    json["detail"] = 2;
    EXPECT_THROW(QueryEvidenceSource::fromJson(json), RecordDecodingError);
    json["preview"] = nullptr;
    EXPECT_THROW(QueryEvidenceSource::fromJson(json), RecordDecodingError);
}

}  // namespace
}  // namespace vask
