// Deletions racing running turns and memory commits, and the undo of automatic memory saves.
#include "chat_fixture.h"

namespace vask {
namespace {

MemoryReceipt receipt(MemoryReceiptStatus status, std::optional<MemoryProvenance> provenance) {
    MemoryReceipt r;
    r.id = Uuid::random();
    r.operation = MemoryMutationOperation::create;
    r.status = status;
    r.term = "ZK";
    r.definition = "Zoe's kid";
    r.provenance = provenance;
    return r;
}

class ChatInFlightTest : public test::ChatFixture {};

TEST_F(ChatInFlightTest, DeletionWaitsForTheMemoryCommitOfItsTurn) {
    memory->setReceipts({receipt(MemoryReceiptStatus::committed, MemoryProvenance::inferred)});
    auto model = makeModel();
    commit(*model, "earlier");
    const std::string session = model->currentSessionID.get();
    model->inputText.set("remember that ZK is Zoe's kid");
    model->send();
    // The helper answers; the memory commit is now waiting on the worker.
    worker.runUntilIdle();
    main.runUntilIdle();
    ASSERT_EQ(worker.pendingCount(), 1u);

    model->deleteSession(session);
    EXPECT_TRUE(logs->contains("session_deletion_waiting_for_memory_commit"));
    EXPECT_EQ(sessionIDs(*model), std::vector<std::string>{session});
    model->flushPendingSaves();
    EXPECT_TRUE(store->stored().empty());

    settle();
    EXPECT_TRUE(logs->contains("session_deleted"));
    for (const auto& s : model->sessions.get()) {
        EXPECT_NE(s->id, session);
    }
    EXPECT_EQ(memory->applyCalls().size(), 1u);
    model->flushPendingSaves();
    EXPECT_TRUE(store->stored().empty());
}

TEST_F(ChatInFlightTest, SecondOfTwoCommittingTurnsCompletesTheDeletion) {
    auto model = makeModel();
    commit(*model, "q");
    const std::string session = model->currentSessionID.get();
    const Uuid first = Uuid::random();
    const Uuid second = Uuid::random();
    model->recordInFlightTurn(first, session);
    model->recordInFlightTurn(second, session);
    model->beginMemoryCommit(first);
    model->beginMemoryCommit(second);

    model->deleteSession(session);
    EXPECT_TRUE(model->isWaitingForMemoryCommit(session));
    model->finishInFlightTurn(first, session);
    EXPECT_EQ(sessionIDs(*model), std::vector<std::string>{session});
    model->finishInFlightTurn(second, session);
    EXPECT_FALSE(model->isWaitingForMemoryCommit(session));
    EXPECT_FALSE(model->isDeletedInFlight(session));
    EXPECT_NE(model->currentSessionID.get(), session);
}

TEST_F(ChatInFlightTest, TurnOfADeletedSessionLeavesNothingBehind) {
    auto model = makeModel();
    commit(*model, "q");
    const std::string session = model->currentSessionID.get();
    model->inputText.set("a question");
    model->send();
    model->deleteSession(session);
    settle();

    EXPECT_TRUE(logs->contains("deleted_session_late_turn_discarded"));
    EXPECT_TRUE(model->state.get().isIdle());
    for (const auto& s : model->sessions.get()) {
        EXPECT_TRUE(s->messages.empty());
    }
    EXPECT_TRUE(memory->applyCalls().empty());
    EXPECT_EQ(usageChanges, 1);
    EXPECT_FALSE(model->isDeletedInFlight(session));
}

TEST_F(ChatInFlightTest, OnlyAnAutomaticSaveCanBeUndone) {
    struct Case {
        const char* name;
        MemoryReceipt receipt;
        bool coordinatorAgrees;
        bool asksCoordinator;
        MemoryReceiptStatus expected;
    };
    const std::vector<Case> cases = {
        {"inferred save", receipt(MemoryReceiptStatus::committed, MemoryProvenance::inferred), true,
         true, MemoryReceiptStatus::undone},
        {"refused", receipt(MemoryReceiptStatus::committed, MemoryProvenance::inferred), false,
         true, MemoryReceiptStatus::committed},
        {"explicit save",
         receipt(MemoryReceiptStatus::committed, MemoryProvenance::explicitlySaved), true, false,
         MemoryReceiptStatus::committed},
        {"failed", receipt(MemoryReceiptStatus::failed, MemoryProvenance::inferred), true, false,
         MemoryReceiptStatus::failed},
        {"already undone", receipt(MemoryReceiptStatus::undone, MemoryProvenance::inferred), true,
         false, MemoryReceiptStatus::undone},
    };
    for (const auto& c : cases) {
        auto committer = std::make_shared<test::FakeChatMemoryCommitter>();
        committer->setUndoResult(c.coordinatorAgrees);
        memory = committer;
        auto model = makeModel();
        const MemoryReceipt other =
            receipt(MemoryReceiptStatus::committed, MemoryProvenance::inferred);
        const Uuid answerID = Uuid::random();
        model->commitTurn(test::message(ChatRole::user, "q"), answerID, "a", false,
                          std::vector<MemoryReceipt>{c.receipt, other}, {}, std::nullopt,
                          model->currentSessionID.get());
        bool done = false;
        model->undoAutoSavedMemory(c.receipt.id, answerID, [&] { done = true; });
        settle();
        EXPECT_TRUE(done) << c.name;
        EXPECT_EQ(committer->undoCalls().size(), c.asksCoordinator ? 1u : 0u) << c.name;
        const auto receipts = *model->transcript()[1].memoryReceipts;
        EXPECT_EQ(receipts[0].status, c.expected) << c.name;
        EXPECT_EQ(receipts[0].term, "ZK") << c.name;
        EXPECT_EQ(receipts[0].definition, "Zoe's kid") << c.name;
        EXPECT_EQ(receipts[1].status, MemoryReceiptStatus::committed) << c.name;
        model->flushPendingSaves();
        EXPECT_EQ(store->stored()[0].messages[1].memoryReceipts->at(0).status, c.expected)
            << c.name;
    }
}

TEST_F(ChatInFlightTest, SimulatedOutOfCreditShowsTheCardAndStoresTheQuestion) {
    const std::vector<std::pair<AuthMode, AuthType>> cases = {
        {AuthMode::apiKey("key"), AuthType::apiKey},
        {AuthMode::managed(" ", "access"), AuthType::apiKey},
        {AuthMode::managed("token", "access"), AuthType::customerToken},
    };
    for (const auto& [mode, expected] : cases) {
        authMode = mode;
        auto model = makeModel();
        model->simulateOutOfCredit();
        EXPECT_EQ(model->usageLimit(), expected);
        ASSERT_EQ(model->transcript().size(), 1u);
        EXPECT_EQ(model->transcript()[0].role, ChatRole::user);
        EXPECT_EQ(model->displayMessages().size(), 1u);
    }
}

}  // namespace
}  // namespace vask
