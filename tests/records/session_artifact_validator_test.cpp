#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "record_fixtures.h"
#include "records/session_artifact_manifest.h"
#include "records/session_artifact_validator.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

namespace fs = std::filesystem;
using State = SessionArtifactAvailability::State;
using Member = SessionArtifactCandidate::Member;

constexpr const char* knownSender = "+15550001";
constexpr const char* knownChat = "chat-family";
constexpr const char* knownContact = "contact-ana";

// Just the tables the check reads, as the message store and the contacts sync lay them out.
class ArtifactDatabases : public ::testing::Test {
  protected:
    void SetUp() override {
        auto messages = SQLiteConnection::open(shadow(), SQLiteSupport::OpenMode::readWriteCreate);
        messages.execute("CREATE TABLE messages(sender TEXT, chat_id TEXT)");
        SQLiteStatement(messages.get(), "INSERT INTO messages VALUES(?, ?)")
            .bind(1, knownSender)
            .bind(2, knownChat)
            .run();
        auto people = SQLiteConnection::open(contacts(), SQLiteSupport::OpenMode::readWriteCreate);
        people.execute("CREATE TABLE contacts(apple_id TEXT)");
        SQLiteStatement(people.get(), "INSERT INTO contacts VALUES(?)").bind(1, knownContact).run();
    }

    fs::path shadow() const { return dir_ / "shadow.db"; }
    fs::path contacts() const { return dir_ / "contacts.db"; }

    SessionArtifactValidationResult validate(
        const std::vector<SessionArtifactCandidate>& candidates,
        const std::vector<SessionArtifact>& existing = {}) {
        return SessionArtifactValidator::validate(candidates, turn_, existing, shadow(),
                                                  contacts());
    }

    test::TempDir dir_;
    Uuid turn_ = Uuid::random();
};

SessionArtifactCandidate candidate(std::vector<Member> members, std::string label = "Family",
                                   std::string definition = "People in the family chat") {
    return SessionArtifactCandidate{1, "entity_set", std::move(label), std::move(definition),
                                    std::move(members)};
}

Member sender(std::string value) {
    return Member{"messages.sender", std::move(value)};
}

TEST_F(ArtifactDatabases, EachCandidateIsJudgedByTheLimits) {
    struct Case {
        const char* name;
        SessionArtifactCandidate candidate;
        State expected;
    };
    auto withSchema = [](std::int64_t version) {
        auto c = candidate({sender(knownSender)});
        c.schemaVersion = version;
        return c;
    };
    auto withKind = [](std::string kind) {
        auto c = candidate({sender(knownSender)});
        c.kind = std::move(kind);
        return c;
    };
    const Case cases[] = {
        {"schema version 2", withSchema(2), State::invalid},
        {"kind in another letter case", withKind("Entity_Set"), State::invalid},
        {"empty label", candidate({sender(knownSender)}, ""), State::invalid},
        {"label of 4096 bytes", candidate({sender(knownSender)}, std::string(4096, 'l'), ""),
         State::available},
        {"label and definition of 4097 bytes",
         candidate({sender(knownSender)}, std::string(4000, 'l'), std::string(97, 'd')),
         State::invalid},
        {"no members", candidate({}), State::invalid},
        {"2000 repeats of one member", candidate(std::vector<Member>(2000, sender(knownSender))),
         State::available},
        {"2001 repeats of one member", candidate(std::vector<Member>(2001, sender(knownSender))),
         State::invalid},
        {"member value of 512 bytes",
         candidate({sender(knownSender), sender(std::string(512, 'v'))}),
         State::partiallyAvailable},
        {"member value of 513 bytes",
         candidate({sender(knownSender), sender(std::string(513, 'v'))}), State::invalid},
        {"member value with a NUL byte",
         candidate({sender(knownSender), sender(std::string("a\0b", 3))}), State::invalid},
        {"empty member value", candidate({sender(knownSender), sender("")}), State::invalid},
        {"unknown namespace", candidate({sender(knownSender), Member{"Messages.Sender", "x"}}),
         State::invalid},
        {"every member misses", candidate({sender("+1999"), Member{"messages.chat_id", "nope"}}),
         State::unusable},
        {"each namespace hits",
         candidate({sender(knownSender), Member{"messages.chat_id", knownChat},
                    Member{"contacts.apple_id", knownContact}}),
         State::available},
        {"one hit among three",
         candidate({sender("+1999"), Member{"contacts.apple_id", knownContact},
                    Member{"messages.chat_id", "nope"}}),
         State::partiallyAvailable},
        {"an artifact over 256 KiB",
         [] {
             std::vector<Member> members{sender(knownSender)};
             for (int i = 0; i < 600; ++i) {
                 members.push_back(sender(std::to_string(i) + std::string(500, 'x')));
             }
             return candidate(std::move(members));
         }(),
         State::invalid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = validate({c.candidate});
        ASSERT_TRUE(result.availability.has_value());
        EXPECT_EQ(result.availability->state, c.expected);
        const bool accepted =
            c.expected == State::available || c.expected == State::partiallyAvailable;
        EXPECT_EQ(result.availability->acceptedCount, accepted ? 1 : 0);
        EXPECT_EQ(result.availability->rejectedCount, accepted ? 0 : 1);
    }
}

TEST_F(ArtifactDatabases, AnAcceptedSetKeepsDistinctMembersInFirstSeenOrder) {
    const auto none = validate({});
    EXPECT_TRUE(none.artifacts.empty());
    EXPECT_FALSE(none.availability.has_value());  // no candidates, no summary

    const auto result = validate({candidate({sender("+1999"), sender(knownSender), sender("+1999"),
                                             Member{"messages.chat_id", "nope"}})});
    ASSERT_EQ(result.artifacts.size(), 1u);
    const auto& artifact = result.artifacts[0];
    EXPECT_EQ(artifact.sourceTurnID, turn_);
    EXPECT_EQ(artifact.schemaVersion, 1);
    EXPECT_EQ(artifact.unresolvedMemberCount, 2);
    ASSERT_EQ(artifact.members.size(), 3u);
    EXPECT_EQ(artifact.members[0].value, "+1999");
    EXPECT_EQ(artifact.members[1].value, knownSender);
    EXPECT_EQ(artifact.members[2].entityNamespace, SessionEntityNamespace::messageChatID);
}

TEST_F(ArtifactDatabases, DatabasesThatCannotBeReadResolveNothing) {
    const auto contactOnly = candidate({Member{"contacts.apple_id", knownContact}});
    EXPECT_EQ(SessionArtifactValidator::validate({contactOnly}, turn_, {}, shadow(), std::nullopt)
                  .availability->state,
              State::unusable);
    EXPECT_EQ(SessionArtifactValidator::validate({candidate({sender(knownSender)})}, turn_, {},
                                                 dir_ / "missing.db", contacts())
                  .availability->state,
              State::unusable);
    // The contacts file lacks the messages table: the failed prepare is a miss, not a crash.
    EXPECT_EQ(SessionArtifactValidator::validate({candidate({sender(knownSender)})}, turn_, {},
                                                 contacts(), contacts())
                  .availability->state,
              State::unusable);
}

// Existing artifacts of the session that leave `room` bytes of the 1 MiB budget.
std::vector<SessionArtifact> existingLeaving(std::size_t room) {
    std::vector<SessionArtifact> existing;
    std::size_t used = 0;
    while (used + room < SessionArtifactValidator::maxSessionArtifactBytes) {
        SessionArtifact artifact;
        artifact.id = Uuid::random();
        artifact.label = "x";
        artifact.members = {{SessionEntityNamespace::messageSender, "s"}};
        artifact.createdAt = test::sampleDate(0);
        const auto overhead = *SessionArtifactValidator::encodedSize(artifact) - 1;
        const auto wanted = SessionArtifactValidator::maxSessionArtifactBytes - room - used;
        artifact.label = std::string(std::min<std::size_t>(wanted - overhead, 200'000), 'x');
        used += *SessionArtifactValidator::encodedSize(artifact);
        existing.push_back(std::move(artifact));
    }
    EXPECT_EQ(used + room, SessionArtifactValidator::maxSessionArtifactBytes);
    return existing;
}

TEST_F(ArtifactDatabases, TheSessionBudgetCountsEarlierAndNewArtifacts) {
    const auto small = candidate({sender(knownSender)});
    SessionArtifact probe;
    probe.id = Uuid::random();
    probe.sourceTurnID = turn_;
    probe.label = small.label;
    probe.definition = small.definition;
    probe.members = {{SessionEntityNamespace::messageSender, knownSender}};
    probe.createdAt = std::chrono::system_clock::now();
    const auto size = *SessionArtifactValidator::encodedSize(probe);

    struct Case {
        const char* name;
        std::size_t room;
        int candidates;
        State expected;
        std::int64_t accepted;
    };
    // Dates may print with a digit more or less; leave a few bytes of slack either way.
    const Case cases[] = {
        {"fits", size + 4, 1, State::available, 1},
        {"second crosses the budget", size + 4, 2, State::partiallyAvailable, 1},
        {"only candidate over budget", size - 4, 1, State::budgetExceeded, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = validate(std::vector<SessionArtifactCandidate>(c.candidates, small),
                                     existingLeaving(c.room));
        EXPECT_EQ(result.availability->state, c.expected);
        EXPECT_EQ(result.availability->acceptedCount, c.accepted);
        EXPECT_EQ(result.availability->rejectedCount, c.candidates - c.accepted);
    }
}

TEST(SessionArtifactCandidate, LenientDecodingTurnsBadFieldsIntoDefaults) {
    using Json = nlohmann::json;
    const auto fromString = SessionArtifactCandidate::fromJson(Json::parse(
        R"({"schema_version":"1","kind":"entity_set","label":"L","definition":7,
            "members":["bare",{"namespace":"messages.sender","value":5}]})"));
    EXPECT_EQ(fromString.schemaVersion, -1);
    EXPECT_EQ(fromString.definition, "");
    ASSERT_EQ(fromString.members.size(), 2u);
    EXPECT_EQ(fromString.members[0], Member{});
    EXPECT_EQ(fromString.members[1], (Member{"messages.sender", ""}));
    EXPECT_EQ(SessionArtifactCandidate::fromJson(Json::array()), SessionArtifactCandidate{});
    EXPECT_TRUE(
        SessionArtifactCandidate::fromJson(Json::parse(R"({"members":{}})")).members.empty());
}

TEST_F(ArtifactDatabases, ManifestsDescribeKeptSetsAndRejectedTurns) {
    auto accepted = validate(
        {candidate({sender(knownSender), sender("+1999"), Member{"messages.chat_id", knownChat}})});
    ChatMessage first = test::sampleMessage(ChatRole::assistant, "a", 0, false);
    first.artifacts = accepted.artifacts;
    first.artifactAvailability = accepted.availability;
    ChatMessage second = test::sampleMessage(ChatRole::assistant, "b", 1, false);
    second.artifactAvailability = validate({candidate({}, "")}).availability;

    const auto manifests = SessionArtifactManifest::fromMessages({first, second});
    ASSERT_EQ(manifests.size(), 2u);
    EXPECT_EQ(manifests[0].id, accepted.artifacts[0].id.uppercaseString());
    EXPECT_EQ(manifests[0].memberCount, 3);
    EXPECT_EQ(manifests[0].unresolvedMemberCount, 1);
    EXPECT_EQ(manifests[0].namespaceCounts, (std::map<std::string, std::int64_t>{
                                                {"messages.chat_id", 1}, {"messages.sender", 2}}));
    EXPECT_FALSE(manifests[0].availability.has_value());
    EXPECT_EQ(manifests[1].id, "unavailable-" + second.id.uppercaseString());
    EXPECT_EQ(manifests[1].sourceTurnID, second.id);
    EXPECT_EQ(manifests[1].label, "Unavailable structured set");
    EXPECT_EQ(manifests[1].availability, State::invalid);
    EXPECT_FALSE(manifests[0].toJson().contains("availability"));
    EXPECT_EQ(SessionArtifactManifest::fromJson(manifests[1].toJson()), manifests[1]);
}

}  // namespace
}  // namespace vask
