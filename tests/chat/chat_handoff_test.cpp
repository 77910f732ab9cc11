// Moving a popover chat to the main window, and late results following it there.
#include "chat_fixture.h"
#include "engine/rlm_helper_error.h"

namespace vask {
namespace {

class ChatHandoffTest : public test::ChatFixture {
  protected:
    void SetUp() override {
        popover = makeModel(false);
        mainWindow = makeModel(true);
    }

    std::shared_ptr<ChatViewModel> popover;
    std::shared_ptr<ChatViewModel> mainWindow;
};

TEST_F(ChatHandoffTest, IdleChatMovesAtOnceAndEmptyChatStays) {
    const std::string empty = popover->currentSessionID.get();
    popover->handOffCurrentSession(mainWindow);
    EXPECT_EQ(popover->currentSessionID.get(), empty);
    EXPECT_FALSE(logs->contains("session_handed_off"));

    commit(*popover, "one");
    commit(*popover, "two");
    const std::string moved = popover->currentSessionID.get();
    popover->handOffCurrentSession(mainWindow);

    EXPECT_EQ(mainWindow->currentSessionID.get(), moved);
    EXPECT_EQ(mainWindow->pendingSessionFocus.get(), moved);
    EXPECT_EQ(mainWindow->transcript().size(), 4u);
    ASSERT_EQ(popover->sessions.get().size(), 1u);
    EXPECT_TRUE(popover->transcript().empty());
    EXPECT_NE(popover->currentSessionID.get(), moved);
    mainWindow->flushPendingSaves();
    ASSERT_EQ(store->stored().size(), 1u);
    EXPECT_EQ(store->stored()[0].id, moved);
}

TEST_F(ChatHandoffTest, DeferredHandoffFollowsTheTurnsOutcome) {
    struct Case {
        const char* name;
        bool fails;
        bool moved;
    };
    for (const Case& c : {Case{"answered", false, true}, Case{"failed", true, false}}) {
        if (c.fails) {
            runner->setScript([](const auto&, const auto&, auto&, const auto&,
                                 std::stop_token) -> RLMHelperResult {
                throw RLMHelperError::plain(RLMHelperError::Case::executionTimeout);
            });
        }
        auto otherReceiver = makeModel(true);
        popover->inputText.set(std::string("question ") + c.name);
        popover->send();
        const std::string session = popover->currentSessionID.get();
        popover->handOffCurrentSession(otherReceiver);
        // A later request replaces the pending receiver.
        popover->handOffCurrentSession(mainWindow);
        EXPECT_TRUE(logs->contains("session_handoff_deferred")) << c.name;
        settle();

        EXPECT_TRUE(otherReceiver->transcript().empty()) << c.name;
        if (c.moved) {
            EXPECT_EQ(mainWindow->currentSessionID.get(), session) << c.name;
            ASSERT_EQ(mainWindow->transcript().size(), 2u) << c.name;
            EXPECT_EQ(mainWindow->transcript()[1].text, "An answer.") << c.name;
        } else {
            EXPECT_EQ(popover->currentSessionID.get(), session) << c.name;
            const auto cancelled = logs->events("session_handoff_cancelled");
            ASSERT_EQ(cancelled.size(), 1u) << c.name;
            EXPECT_EQ(cancelled[0].metadata.at("outcome"), "failed");
        }
        popover->startNewSession();
    }
}

TEST_F(ChatHandoffTest, LateResultsFollowTheMovedSession) {
    const std::string session = popover->currentSessionID.get();
    const ChatMessage question = test::message(ChatRole::user, "q");
    const Uuid answerID = Uuid::random();
    popover->commitTurn(question, answerID, "a", false, std::nullopt, {}, std::nullopt, session);
    popover->handOffCurrentSession(mainWindow);

    ResolvedSources resolved;
    ConversationSource source;
    source.id = "conversation:c1";
    resolved.sources.push_back(AnswerSource{source});
    popover->applySources(resolved, answerID, session);
    popover->applyTitle("Generated", session);
    // A turn that was still running in the moved session ends now: its answer and the question
    // of a failed turn belong with the session, not in a copy re-created in the popover.
    popover->commitTurn(test::message(ChatRole::user, "late"), Uuid::random(), "late answer", false,
                        std::nullopt, {}, std::nullopt, session);
    popover->persistUnansweredQuestion(test::message(ChatRole::user, "unanswered"), std::nullopt,
                                       session);

    EXPECT_EQ(popover->sessions.get().size(), 1u);
    EXPECT_NE(popover->currentSessionID.get(), session);
    const ChatSession& moved = sessionWithID(*mainWindow, session);
    EXPECT_EQ(moved.title, "Generated");
    ASSERT_EQ(moved.messages.size(), 5u);
    EXPECT_EQ(moved.messages[1].sources->size(), 1u);
    EXPECT_EQ(moved.messages[3].text, "late answer");
    EXPECT_EQ(moved.messages[4].text, "unanswered");
    EXPECT_FALSE(logs->contains("session_restored_for_commit"));
    mainWindow->flushPendingSaves();
    EXPECT_EQ(store->stored()[0].messages.size(), 5u);
}

}  // namespace
}  // namespace vask
