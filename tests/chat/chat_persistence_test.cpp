// Commits, late citations and titles, and what reaches the sessions store.
#include <fstream>
#include <sstream>

#include "chat_fixture.h"
#include "records/sqlite_session_store.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using namespace std::chrono_literals;

ResolvedSources conversations(int count) {
    ResolvedSources resolved;
    for (int i = 0; i < count; ++i) {
        ConversationSource source;
        source.id = "conversation:chat" + std::to_string(i);
        source.title = "Chat " + std::to_string(i);
        source.messages.push_back({"guid" + std::to_string(i), "Ann", "hello", 1700000000});
        resolved.sources.push_back(AnswerSource{source});
    }
    return resolved;
}

std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

class ChatPersistenceTest : public test::ChatFixture {};

TEST_F(ChatPersistenceTest, CommitLandsInItsOwnSessionWithAProvisionalTitle) {
    auto model = makeModel();
    commit(*model, "  where is\nthe party  ");
    const std::string asked = model->currentSessionID.get();
    model->startNewSession();
    const std::string shown = model->currentSessionID.get();

    commit(*model, "a later question", asked);
    EXPECT_EQ(model->currentSessionID.get(), shown);
    const ChatSession& session = sessionWithID(*model, asked);
    ASSERT_EQ(session.messages.size(), 4u);
    EXPECT_EQ(session.messageCount, 4);
    EXPECT_EQ(session.title, "where is the party");
    EXPECT_EQ(session.messages[3].role, ChatRole::assistant);

    commit(*model, "lost", "GONE-SESSION");
    EXPECT_EQ(sessionIDs(*model).back(), "GONE-SESSION");
    EXPECT_EQ(sessionWithID(*model, "GONE-SESSION").title, "lost");
    EXPECT_TRUE(logs->contains("session_restored_for_commit"));
}

TEST_F(ChatPersistenceTest, SavesOnlySessionsWithMessagesAndNeverFromThePopover) {
    auto popover = makeModel(false);
    commit(*popover, "q");
    popover->renameSession(popover->currentSessionID.get(), "Renamed");
    popover->flushPendingSaves();
    EXPECT_EQ(store->saveCount(), 0);

    auto model = makeModel();
    commit(*model, "first");
    model->startNewSession();
    model->flushPendingSaves();
    ASSERT_EQ(store->stored().size(), 1u);
    EXPECT_EQ(store->stored()[0].title, "first");
}

TEST_F(ChatPersistenceTest, SavedCitationsAreBoundedAndTheLiveCopyIsNot) {
    auto model = makeModel();
    const std::string session = model->currentSessionID.get();
    const Uuid answerID = Uuid::random();
    model->commitTurn(test::message(ChatRole::user, "q"), answerID, "a", false, std::nullopt, {},
                      std::nullopt, session);
    model->applySources(conversations(80), answerID, session);
    model->flushPendingSaves();

    const ChatMessage& live = sessionWithID(*model, session).messages[1];
    EXPECT_EQ(live.sources->size(), 80u);
    EXPECT_EQ(live.sourcesTruncated, false);
    const ChatMessage saved = store->stored()[0].messages[1];
    EXPECT_EQ(saved.sources->size(), 50u);
    EXPECT_EQ(saved.sourcesTruncated, true);
    EXPECT_EQ(logs->events("citations_applied").back().metadata.at("source_count"), "80");
}

TEST_F(ChatPersistenceTest, GeneratedTitleNeverReplacesTheUsersOwn) {
    auto model = makeModel();
    commit(*model, "q");
    const std::string session = model->currentSessionID.get();
    model->applyTitle("Generated", session);
    EXPECT_EQ(sessionWithID(*model, session).title, "Generated");
    commit(*model, "second question");
    EXPECT_EQ(sessionWithID(*model, session).title, "Generated");

    model->renameSession(session, "Mine");
    model->applyTitle("Generated again", session);
    EXPECT_EQ(sessionWithID(*model, session).title, "Mine");
    EXPECT_TRUE(logs->contains("session_title_generation_skipped_user_renamed"));
}

TEST_F(ChatPersistenceTest, FailedSaveIsLoggedAndTheNextSaveWritesEverything) {
    auto model = makeModel();
    store->failSaves("disk full");
    commit(*model, "one");
    model->flushPendingSaves();
    EXPECT_TRUE(logs->contains("session_persist_failed"));
    EXPECT_EQ(sessionWithID(*model, model->currentSessionID.get()).messages.size(), 2u);

    store->failSaves(std::nullopt);
    commit(*model, "two");
    model->flushPendingSaves();
    ASSERT_EQ(store->stored().size(), 1u);
    EXPECT_EQ(store->stored()[0].messages.size(), 4u);
}

TEST_F(ChatPersistenceTest, SavesRunOffTheMainExecutorInOrderAndTheLastStateWins) {
    auto model = makeModel();
    store->holdSaves();
    commit(*model, "question 0");
    ASSERT_TRUE(store->waitForHeldSave());
    // The writer is busy; commits go on, and their saves fold into one.
    for (int i = 1; i < 30; ++i) {
        model->startNewSession();
        commit(*model, "question " + std::to_string(i));
    }
    EXPECT_EQ(store->saveCount(), 0);
    store->release();
    model->flushPendingSaves();
    EXPECT_EQ(store->saveCount(), 2);
    EXPECT_EQ(store->stored().size(), 30u);
}

TEST_F(ChatPersistenceTest, UnreadableSessionsFileSurvivesAWholeRun) {
    test::TempDir dir;
    const auto path = dir / "sessions.db";
    std::ofstream(path, std::ios::binary) << "not a database, but someone's history";
    const std::string before = fileBytes(path);

    {
        auto deps = dependencies();
        deps.sessionStore = std::make_shared<SQLiteSessionStore>(path);
        auto model = loaded(ChatViewModel::make(std::move(deps)));
        ASSERT_TRUE(model->lastError.get().has_value());
        EXPECT_NE(model->lastError.get()->find("Chat history could not be loaded"),
                  std::string::npos);
        EXPECT_TRUE(logs->contains("sessions_load_failed"));

        commit(*model, "question");
        model->renameSession(model->currentSessionID.get(), "Renamed");
        model->startNewSession();
        commit(*model, "another");
        model->deleteSession(model->currentSessionID.get());
        model->flushPendingSaves();
        EXPECT_TRUE(logs->contains("session_persist_skipped_unreadable_store"));
    }
    EXPECT_EQ(fileBytes(path), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(ChatPersistenceTest, ReadableSessionsReloadInTheNextRun) {
    test::TempDir dir;
    const auto path = dir / "sessions.db";
    std::string asked;
    {
        auto deps = dependencies();
        deps.sessionStore = std::make_shared<SQLiteSessionStore>(path);
        auto model = loaded(ChatViewModel::make(std::move(deps)));
        commit(*model, "kept across runs");
        asked = model->currentSessionID.get();
    }
    auto deps = dependencies();
    deps.sessionStore = std::make_shared<SQLiteSessionStore>(path);
    auto model = loaded(ChatViewModel::make(std::move(deps)));
    EXPECT_EQ(model->currentSessionID.get(), asked);
    EXPECT_EQ(model->transcript().size(), 2u);
    EXPECT_EQ(model->lastError.get(), std::nullopt);
}

}  // namespace
}  // namespace vask
