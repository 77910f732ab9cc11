// The turn over a scripted helper: what send() captures, live updates, outcomes and the
// usage-limit look-ups.
#include <atomic>
#include <thread>

#include "chat/chat_presenters.h"
#include "chat_fixture.h"
#include "engine/cancellation_error.h"
#include "engine/rlm_helper_error.h"
#include "foundation/app_environment.h"
#include "foundation/managed_tier_snapshot.h"
#include "platform/http_client.h"
#include "relay/preset_selection.h"
#include "support/fake_history_index.h"
#include "support/stub_http_server.h"

namespace vask {
namespace {

using ErrorCase = RLMHelperError::Case;
using Reply = test::StubHttpServer::Reply;
using Script = test::FakeChatHelperRunner::Script;

Script failing(std::function<RLMHelperError()> error) {
    return [error](const auto&, const auto&, auto&, const auto&,
                   std::stop_token) -> RLMHelperResult { throw error(); };
}

MemoryReceipt committedReceipt() {
    MemoryReceipt r;
    r.id = Uuid::random();
    r.status = MemoryReceiptStatus::committed;
    r.term = "ZK";
    return r;
}

class ChatTurnTest : public test::ChatFixture {
  protected:
    void SetUp() override {
        staleSubscription = presets.observeStaleCatalog([this] { ++staleCatalogs; });
    }

    std::shared_ptr<ChatViewModel> makeTurnModel() {
        auto deps = dependencies();
        deps.completeTitle = [this](const TitleGenerator::CompletionRequest& request) {
            titleRequests.push_back(request);
            return std::optional<std::string>("Generated title");
        };
        deps.resolveCitations = [this](const std::vector<RLMEvidence>& evidence) {
            ++citationLookups;
            ResolvedSources resolved;
            for (std::size_t i = 0; i < evidence.size(); ++i) {
                ConversationSource source;
                source.id = "conversation:" + std::to_string(i);
                resolved.sources.push_back(AnswerSource{source});
            }
            return resolved;
        };
        deps.refreshForRetry = [this](const std::optional<std::string>&) {
            ++refreshes;
            return refreshSucceeds;
        };
        deps.billingService = billing.get();
        return ChatViewModel::make(std::move(deps));
    }

    // A model whose credentials are `stored`; its unlock and its asking again answer when the
    // test calls what they left in `answers`.
    std::shared_ptr<ChatViewModel> keyringModel(const AuthMode& stored,
                                                std::vector<std::function<void()>>& answers) {
        auto deps = dependencies();
        deps.authModeProvider = [&stored] { return stored; };
        deps.unlockKeyring = [&answers](auto done) {
            answers.push_back([done] { done(std::nullopt); });
        };
        deps.askKeyringAgain = [&answers](auto done) { answers.push_back(done); };
        return loaded(ChatViewModel::make(std::move(deps)));
    }

    void selectPreset() {
        presets.adopt(ModelPresetCatalog{{ModelPreset{
            "deep", "Deep", "", false, PresetExecution::single(PresetModelRef{"model-d", "D"})}}});
        ASSERT_TRUE(presets.select("deep"));
    }

    int staleCatalogs = 0;
    int refreshes = 0;
    int citationLookups = 0;
    bool refreshSucceeds = true;
    std::vector<TitleGenerator::CompletionRequest> titleRequests;
    Subscription staleSubscription;
    test::StubHttpServer relay;
    HttpClient http;
    std::unique_ptr<CorvaneBillingService> billing =
        std::make_unique<CorvaneBillingService>(http, relay.baseURL(), clock);
};

TEST_F(ChatTurnTest, SendRefusesBlankTextAndASecondQuestion) {
    auto model = makeTurnModel();
    model->inputText.set("  \n\t ");
    model->send();
    EXPECT_EQ(model->inputText.get(), "  \n\t ");
    EXPECT_TRUE(model->state.get().isIdle());
    EXPECT_FALSE(logs->contains("chat_send_started"));

    model->inputText.set("first");
    model->send();
    model->inputText.set("second");
    model->send();
    EXPECT_EQ(model->inputText.get(), "second");
    settle();
    ASSERT_EQ(runner->inputs().size(), 1u);
    EXPECT_EQ(runner->inputs()[0].question, "first");
}

TEST_F(ChatTurnTest, WithoutAHelperTheQuestionFailsAtOnceAndIsKept) {
    auto deps = dependencies();
    deps.helperRunnerFactory = nullptr;
    auto model = ChatViewModel::make(std::move(deps));
    model->inputText.set("where?");
    model->send();
    const auto* failed = model->state.get().asFailed();
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->error, "RLM helper command not set. Set VASK_RLM_HELPER_CMD.");
    EXPECT_EQ(model->lastError.get(), failed->error);
    EXPECT_EQ(model->inputText.get(), "");
    ASSERT_EQ(model->transcript().size(), 1u);
    EXPECT_FALSE(logs->contains("chat_send_started"));
    EXPECT_EQ(worker.pendingCount(), 0u);
}

// Four questions without a helper, then one out of credit: every turn keeps its own error or
// card, however many were asked after it.
TEST_F(ChatTurnTest, EachUnansweredTurnKeepsWhatHappenedToIt) {
    auto deps = dependencies();
    deps.helperRunnerFactory = nullptr;
    auto model = ChatViewModel::make(std::move(deps));
    for (const char* question : {"one", "two", "three", "four"}) {
        model->inputText.set(question);
        model->send();
    }
    model->simulateOutOfCredit();
    model->inputText.set("five");
    model->send();
    const auto transcript = model->transcript();
    ASSERT_EQ(transcript.size(), 6u);
    for (std::size_t i = 0; i < transcript.size(); ++i) {
        SCOPED_TRACE(transcript[i].text);
        const ChatState* ended = model->endedTurn(transcript[i].id);
        ASSERT_NE(ended, nullptr);
        if (i == 4) {
            ASSERT_NE(ended->asUsageLimitReached(), nullptr);
            EXPECT_EQ(ended->currentQuestion()->id, transcript[i].id);
        } else {
            ASSERT_NE(ended->asFailed(), nullptr);
            EXPECT_EQ(ended->asFailed()->error,
                      "RLM helper command not set. Set VASK_RLM_HELPER_CMD.");
        }
    }
    // Switching away and back keeps them; an unknown question has none.
    const auto session = model->currentSessionID.get();
    model->startNewSession();
    model->switchSession(session);
    EXPECT_NE(model->endedTurn(transcript[0].id), nullptr);
    EXPECT_EQ(model->endedTurn(Uuid::random()), nullptr);
}

TEST_F(ChatTurnTest, TurnCarriesItsSessionsHistoryAndCredentials) {
    auto model = makeTurnModel();
    defaults.set(AppEnvironment::instanceScopedKey("fileAccessEnabled"), true);
    commit(*model, "earlier question");
    model->inputText.set("  next question \n");
    model->send();
    const auto* sending = model->state.get().asSending();
    ASSERT_NE(sending, nullptr);
    EXPECT_EQ(sending->progress, "Preparing...");
    settle();

    ASSERT_EQ(runner->inputs().size(), 1u);
    const auto inputs = runner->inputs()[0];
    EXPECT_EQ(inputs.question, "next question");
    EXPECT_EQ(inputs.credentials.customerToken, "customer-token");
    EXPECT_EQ(inputs.conversation.size(), 2u);
    EXPECT_EQ(inputs.activeSessionID, model->currentSessionID.get());
    EXPECT_EQ(inputs.conversationSessions.size(), 1u);
    EXPECT_TRUE(inputs.fileAccessEnabled);
    EXPECT_EQ(inputs.contactsDbPath, "/support/contacts.db");
    // The second answer of a session gets no generated title.
    EXPECT_TRUE(titleRequests.empty());
    EXPECT_TRUE(model->state.get().isIdle());
    EXPECT_EQ(model->transcript().size(), 4u);
    EXPECT_EQ(usageChanges, 1);
}

// A question asked before secret storage answered waits for the credentials on the worker,
// showing its progress, and carries what storage then holds; one that finds them behind a
// locked keyring is answered in Vask's words, with the unlock offered, and reaches no helper.
TEST_F(ChatTurnTest, AQuestionWaitsForCredentialsAndNamesALockedKeyring) {
    struct Case {
        const char* name;
        // What storage holds, and whether it has answered by the time of the question.
        AuthMode stored;
        bool knownAtSend;
        std::optional<std::string> customerToken;
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {"known", AuthMode::managed("customer-token", "a"), true, "customer-token", std::nullopt},
        {"read after the question", AuthMode::managed("customer-token", "a"), false,
         "customer-token", std::nullopt},
        {"locked", AuthMode::keyringLocked(), true, std::nullopt,
         std::string(ChatViewModel::keyringLockedText)},
        {"found locked after the question", AuthMode::keyringLocked(), false, std::nullopt,
         std::string(ChatViewModel::keyringLockedText)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        runner = std::make_shared<test::FakeChatHelperRunner>();
        bool known = c.knownAtSend;
        int unlocks = 0;
        auto deps = dependencies();
        // Until storage answers, the main thread's provider knows nothing yet.
        deps.authModeProvider = [&] { return known ? c.stored : AuthMode::none(); };
        deps.authModeKnown = [&] { return known; };
        deps.unlockKeyring = [&](auto done) {
            ++unlocks;
            done(std::nullopt);
        };
        auto model = loaded(ChatViewModel::make(std::move(deps)));
        model->inputText.set("where?");
        model->send();
        if (!c.knownAtSend && model->state.get().isSending()) {
            EXPECT_EQ(model->state.get().asSending()->progress, "Preparing...");
            known = true;  // storage answers while the worker waits for it
        }
        settle();
        EXPECT_EQ(runner->inputs().size(), c.error ? 0u : 1u);
        if (!runner->inputs().empty()) {
            EXPECT_EQ(runner->inputs()[0].credentials.customerToken, c.customerToken);
        }
        const auto* failed = model->state.get().asFailed();
        EXPECT_EQ(failed ? std::optional(failed->error) : std::nullopt, c.error);
        EXPECT_EQ(model->keyringLocked.get(), c.error.has_value());
        EXPECT_EQ(chat_presentation::errorRowAction(model->state.get(), model->keyringLocked.get())
                      .has_value(),
                  c.error.has_value());
        if (c.error) {
            ASSERT_EQ(model->transcript().size(), 1u) << "the question is kept";
            model->unlockKeyring();
            EXPECT_EQ(unlocks, 1);
        }
    }
}

// The first copy of a large history builds its full-text index at its end. A question asked
// before then waits for it, its row saying so, rather than be answered from an index that holds
// nothing yet ("Found 0 matching messages."); a quit ends the wait, with nothing asked. The wait
// holds no thread: nothing of the turn is on the worker until the index is whole.
TEST_F(ChatTurnTest, AQuestionWaitsForTheHistoryIndexAndSaysSo) {
    for (const bool quits : {false, true}) {
        SCOPED_TRACE(quits ? "Vask quits while it waits" : "the index is built");
        runner = std::make_shared<test::FakeChatHelperRunner>();
        const auto index = std::make_shared<test::FakeHistoryIndex>(HistoryIndexState::building());
        auto deps = dependencies();
        deps.historyIndex = index;
        auto model = loaded(ChatViewModel::make(std::move(deps)));
        model->inputText.set("where is the van?");
        model->send();
        settle();
        const auto* sending = model->state.get().asSending();
        ASSERT_NE(sending, nullptr);
        EXPECT_EQ(sending->progress, ChatViewModel::indexingHistoryText)
            << "the row says the history is still being indexed";
        EXPECT_TRUE(runner->inputs().empty()) << "nothing is asked of an index being built";
        EXPECT_EQ(worker.runUntilIdle(), 0u) << "no thread waits";
        if (quits) {
            model->stopRunningTurns();
        }
        index->set(HistoryIndexState::whole());
        settle();
        EXPECT_EQ(runner->inputs().size(), quits ? 0u : 1u);
        // The question is kept, answered once the index is whole.
        const auto transcript = model->transcript();
        ASSERT_EQ(transcript.size(), quits ? 1u : 2u);
        EXPECT_EQ(transcript.back().text, quits ? "where is the van?" : "An answer.");
        EXPECT_EQ(index->observers(), 0u) << "nothing watches the index once nothing waits";
    }
}

// A question stopped by a keyring that is locked, does not answer or is not on the bus has its
// way on ("Unlock Keyring", "Try Again"): one at a time whatever the presses, the row saying so
// while the prompt is open, and once the keyring answers the question is asked again, in its place.
TEST_F(ChatTurnTest, TheKeyringsWayOnAsksTheStoppedQuestionAgain) {
    struct Case {
        const char* name;
        AuthMode mode;
        std::string_view held;
    };
    const Case cases[] = {
        {"locked", AuthMode::keyringLocked(), ChatViewModel::keyringLockedText},
        {"not answering", AuthMode::keyringNotAnswering(), ChatViewModel::keyringNotAnsweringText},
        {"no keyring on the bus", AuthMode::keyringNotAvailable(),
         ChatViewModel::keyringNotAvailableText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool locked = c.mode.isKeyringLocked();
        runner = std::make_shared<test::FakeChatHelperRunner>();
        AuthMode stored = c.mode;
        // The keyring's answers, given when the test says.
        std::vector<std::function<void()>> answers;
        auto model = keyringModel(stored, answers);
        model->inputText.set("where?");
        model->send();
        settle();
        const std::string held(c.held);
        const auto error = [&] {
            const auto* failed = model->state.get().asFailed();
            return failed ? failed->error : std::string();
        };
        ASSERT_EQ(error(), held);
        EXPECT_EQ(chat_presentation::errorRowAction(model->state.get(), model->keyringLocked.get()),
                  locked ? chat_presentation::unlockKeyringAction
                         : chat_presentation::askKeyringAgainAction);
        EXPECT_TRUE(model->hasCredentials.get()) << "not taken for signed out";

        for (int press = 0; press < 10; ++press) {
            model->unlockKeyring();
        }
        ASSERT_EQ(answers.size(), 1u) << "one at a time";
        if (locked) {
            EXPECT_EQ(error(), ChatViewModel::keyringUnlockingText);
            EXPECT_EQ(chat_presentation::errorRowAction(model->state.get(), true), std::nullopt);
        }
        model->inputText.set("a draft");
        stored = AuthMode::managed("customer-token", "a");
        answers[0]();
        settle();
        ASSERT_EQ(runner->inputs().size(), 1u) << "the stopped question is asked";
        EXPECT_EQ(runner->inputs()[0].credentials.customerToken, "customer-token");
        EXPECT_EQ(model->inputText.get(), "a draft");
        const auto transcript = model->transcript();
        EXPECT_EQ(std::count_if(transcript.begin(), transcript.end(),
                                [](const ChatMessage& m) { return m.role == ChatRole::user; }),
                  1);
    }
}

// A question asked while an unlock is under way (its prompt open, or its answer not yet in)
// waits for the answer with the words for it, never told the keyring is locked meanwhile, and
// is asked once the keyring is open, after the question the keyring refused before. A prompt
// cancelled leaves every waiting question with the locked words and the unlock offered again.
TEST_F(ChatTurnTest, AQuestionAskedWhileTheKeyringUnlocksWaitsForTheUnlock) {
    struct Case {
        const char* name;
        // The unlock is pressed in the other chat; this one only hears that it is under way.
        bool otherChatUnlocks = false;
        // The question in between is asked before the unlock, while the credentials are read
        // again on the worker, and found locked there once the unlock is under way.
        bool foundOnTheWorker = false;
        // The unlock's answer: its failure, if any.
        std::optional<std::string> failure = std::nullopt;
        std::vector<std::string> asked;
    };
    const Case cases[] = {
        {.name = "asked with the prompt open", .asked = {"where?", "and now?"}},
        // The question the keyring refused before is asked too, first.
        {.name = "found locked on the worker",
         .foundOnTheWorker = true,
         .asked = {"where?", "and now?"}},
        {.name = "the other chat unlocks",
         .otherChatUnlocks = true,
         .asked = {"where?", "and now?"}},
        {.name = "the prompt cancelled", .failure = "Unlocking was cancelled.", .asked = {}},
    };
    using Problem = ChatState::CredentialProblem;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        runner = std::make_shared<test::FakeChatHelperRunner>();
        AuthMode stored = AuthMode::keyringLocked();
        bool known = true;
        bool otherUnlocking = false;
        std::vector<std::function<void(std::optional<std::string>)>> unlocks;
        auto deps = dependencies();
        deps.authModeProvider = [&] { return stored; };
        deps.authModeKnown = [&] { return known; };
        deps.unlockKeyring = [&](auto done) { unlocks.push_back(done); };
        deps.keyringUnlockUnderWay = [&] { return otherUnlocking || !unlocks.empty(); };
        auto model = loaded(ChatViewModel::make(std::move(deps)));
        const auto row = [&](std::size_t index) {
            const auto transcript = model->transcript();
            const ChatState* ended =
                index < transcript.size() ? model->endedTurn(transcript[index].id) : nullptr;
            const auto* failed = ended ? ended->asFailed() : nullptr;
            return std::pair(failed ? failed->error : std::string(),
                             failed ? chat_presentation::errorRowAction(
                                          *ended, model->keyringLocked.get())
                                    : std::nullopt);
        };
        model->inputText.set("where?");
        model->send();
        settle();
        ASSERT_EQ(row(0).first, ChatViewModel::keyringLockedText);

        if (c.foundOnTheWorker) {
            known = false;
            model->inputText.set("and now?");
            model->send();
            ASSERT_TRUE(model->isSending());
            model->unlockKeyring();  // the keyring row's button, while the question waits
            settle();
        } else {
            if (c.otherChatUnlocks) {
                otherUnlocking = true;
            } else {
                model->unlockKeyring();
            }
            model->inputText.set("and now?");
            model->send();
            settle();
        }
        ASSERT_EQ(unlocks.size(), 1u) << "one unlock, joined by the question";
        EXPECT_TRUE(model->askingKeyring.get());
        EXPECT_EQ(row(1).first, ChatViewModel::keyringUnlockingText);
        EXPECT_EQ(row(1).second, std::nullopt) << "no unlock offered while one is under way";
        const auto* failed = model->state.get().asFailed();
        ASSERT_NE(failed, nullptr);
        EXPECT_EQ(failed->credentials, Problem::keyringUnlocking);
        EXPECT_TRUE(runner->inputs().empty());

        if (!c.failure) {
            stored = AuthMode::managed("customer-token", "a");
            known = true;
        }
        otherUnlocking = false;
        const Uuid waitingID = model->transcript()[1].id;
        auto answer = std::exchange(unlocks, {});
        answer[0](c.failure);
        if (!c.failure) {
            EXPECT_EQ(model->endedTurn(waitingID), nullptr) << "no note while it waits its turn";
        }
        settle();
        std::vector<std::string> asked;
        for (const auto& inputs : runner->inputs()) {
            asked.push_back(inputs.question);
            EXPECT_EQ(inputs.credentials.customerToken, "customer-token");
        }
        EXPECT_EQ(asked, c.asked);
        EXPECT_FALSE(model->askingKeyring.get());
        const auto transcript = model->transcript();
        EXPECT_EQ(std::count_if(transcript.begin(), transcript.end(),
                                [](const ChatMessage& m) { return m.role == ChatRole::user; }),
                  2)
            << "each question once";
        if (c.failure) {
            for (const std::size_t index : {0u, 1u}) {
                EXPECT_EQ(row(index).first, ChatViewModel::keyringLockedText) << index;
                EXPECT_EQ(row(index).second, chat_presentation::unlockKeyringAction) << index;
            }
            model->unlockKeyring();
            EXPECT_EQ(unlocks.size(), 1u) << "Unlock works again";
        }
    }
}

// A question the keyring refused with no unlock under way (locked, not answering, not there) is
// no dead end: once the keyring answers, by another client's unlock, by answering again, by
// appearing or by this chat's own Unlock, it is asked, with every other it refused or an unlock
// left held, oldest first; signed out meanwhile, it says it was not asked.
TEST_F(ChatTurnTest, ARefusedQuestionIsAskedOnceTheKeyringAnswersHoweverItAnswers) {
    enum class Answer { elsewhere, ownUnlock };
    struct Case {
        const char* name;
        AuthMode refusing;
        // Unlock pressed on the first refusal and its prompt cancelled, before a second question.
        bool cancelledPromptFirst;
        Answer answer;
        AuthMode after;
        std::vector<std::string> asked;
        std::string_view rowAfter;
    };
    const auto open = AuthMode::managed("customer-token", "a");
    const Case cases[] = {
        {"locked, unlocked elsewhere", AuthMode::keyringLocked(), false, Answer::elsewhere, open,
         {"where?"}, {}},
        {"not answering, answering again", AuthMode::keyringNotAnswering(), false,
         Answer::elsewhere, open, {"where?"}, {}},
        {"not there, a keyring appears", AuthMode::keyringNotAvailable(), false, Answer::elsewhere,
         open, {"where?"}, {}},
        {"a cancelled prompt, a refusal, unlocked elsewhere", AuthMode::keyringLocked(), true,
         Answer::elsewhere, open, {"where?", "and now?"}, {}},
        {"a cancelled prompt, a refusal, the chat's own Unlock", AuthMode::keyringLocked(), true,
         Answer::ownUnlock, open, {"where?", "and now?"}, {}},
        {"signed out meanwhile", AuthMode::keyringLocked(), false, Answer::elsewhere,
         AuthMode::none(), {}, ChatViewModel::heldQuestionSignedOutText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        runner = std::make_shared<test::FakeChatHelperRunner>();
        AuthMode stored = c.refusing;
        std::uint64_t account = 1;
        std::vector<std::function<void(std::optional<std::string>)>> unlocks;
        std::vector<std::function<void()>> arrivals;
        auto deps = dependencies();
        deps.authModeProvider = [&] { return stored; };
        deps.unlockKeyring = [&](auto done) { unlocks.push_back(done); };
        deps.askKeyringAgain = [](auto done) { done(); };
        deps.observeCredentials = [&](std::function<void()> arrived) {
            arrivals.push_back(std::move(arrived));
            return Subscription();
        };
        deps.accountChanges = [&] { return account; };
        auto model = loaded(ChatViewModel::make(std::move(deps)));
        ASSERT_EQ(arrivals.size(), 1u);

        ask(*model, "where?");
        if (c.cancelledPromptFirst) {
            model->unlockKeyring();
            ASSERT_EQ(unlocks.size(), 1u);
            std::exchange(unlocks, {})[0]("Unlocking was cancelled.");
            settle();
            ask(*model, "and now?");
            const auto* refused = model->state.get().asFailed();
            ASSERT_NE(refused, nullptr);
            EXPECT_EQ(refused->error, ChatViewModel::keyringLockedText) << "no unlock under way";
        }
        EXPECT_TRUE(runner->inputs().empty());

        stored = c.after;
        if (c.after.isNone()) {
            ++account;
        }
        if (c.answer == Answer::ownUnlock) {
            model->unlockKeyring();
            ASSERT_EQ(unlocks.size(), 1u);
            unlocks[0](std::nullopt);
        }
        arrivals[0]();
        settle();

        std::vector<std::string> asked;
        for (const auto& inputs : runner->inputs()) {
            asked.push_back(inputs.question);
        }
        EXPECT_EQ(asked, c.asked) << "oldest first, each once";
        for (const auto& message : model->transcript()) {
            const auto* ended = model->endedTurn(message.id);
            const auto* failed = ended != nullptr ? ended->asFailed() : nullptr;
            if (message.role != ChatRole::user || c.rowAfter.empty()) {
                EXPECT_EQ(failed, nullptr) << message.text << ": " << (failed ? failed->error : "");
            } else {
                ASSERT_NE(failed, nullptr) << message.text;
                EXPECT_EQ(failed->error, c.rowAfter);
            }
        }
        EXPECT_FALSE(model->askingKeyring.get());
    }
}

// A quit that comes as the first question the unlock let go is answered asks none of the
// others: they stay unanswered in their session, and no helper starts while the worker is joined.
TEST_F(ChatTurnTest, AQuitAsksNoneOfTheQuestionsAnUnlockStillHolds) {
    AuthMode stored = AuthMode::keyringLocked();
    std::vector<std::function<void(std::optional<std::string>)>> unlocks;
    std::shared_ptr<ChatViewModel> model;
    auto deps = dependencies();
    deps.authModeProvider = [&] { return stored; };
    deps.unlockKeyring = [&](auto done) { unlocks.push_back(done); };
    // Told as each turn ends: the quit comes then.
    deps.usageChanged = [&] { model->stopRunningTurns(); };
    model = loaded(ChatViewModel::make(std::move(deps)));
    ask(*model, "where?");
    model->unlockKeyring();
    ask(*model, "and now?");
    ASSERT_EQ(unlocks.size(), 1u);
    stored = AuthMode::managed("customer-token", "a");
    unlocks[0](std::nullopt);
    settle();
    ASSERT_EQ(runner->inputs().size(), 1u) << "only the question asked before the quit";
    EXPECT_EQ(runner->inputs()[0].question, "where?");
    const auto transcript = model->transcript();
    EXPECT_EQ(std::count_if(transcript.begin(), transcript.end(),
                            [](const ChatMessage& m) { return m.text == "and now?"; }),
              1)
        << "kept, unanswered";
}

// A question the keyring held back belongs to its chat: once the keyring answers (an unlock, or
// asked again) it is asked there whatever chat is shown by then, and answered and saved there;
// a chat deleted meanwhile takes it along, and nothing is asked.
TEST_F(ChatTurnTest, AHeldQuestionIsAskedInItsOwnChat) {
    using Meanwhile =
        std::function<void(ChatViewModel&, const std::string& held, const std::string& other)>;
    const Meanwhile openNew = [](ChatViewModel& m, const auto&, const auto&) {
        m.startNewSession();
    };
    const Meanwhile showOther = [](ChatViewModel& m, const auto&, const std::string& other) {
        m.switchSession(other);
    };
    const Meanwhile deleteHeld = [](ChatViewModel& m, const std::string& held, const auto&) {
        m.deleteSession(held);
    };
    struct Case {
        const char* name;
        bool locked;
        Meanwhile meanwhile;
        bool asked;
    };
    const Case cases[] = {
        {"locked, a new chat opened", true, openNew, true},
        {"locked, another chat shown", true, showOther, true},
        {"locked, its chat deleted", true, deleteHeld, false},
        {"not answering, another chat shown", false, showOther, true},
        {"not answering, its chat deleted", false, deleteHeld, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        runner = std::make_shared<test::FakeChatHelperRunner>();
        store = std::make_shared<test::FakeSessionStore>();
        AuthMode stored = c.locked ? AuthMode::keyringLocked() : AuthMode::keyringNotAnswering();
        std::vector<std::function<void()>> answers;
        auto model = keyringModel(stored, answers);
        const std::string other = model->currentSessionID.get();
        commit(*model, "earlier");
        model->startNewSession();
        const std::string held = model->currentSessionID.get();
        ask(*model, "where?");
        model->unlockKeyring();
        ASSERT_EQ(answers.size(), 1u);

        c.meanwhile(*model, held, other);
        const std::string shown = model->currentSessionID.get();
        ASSERT_NE(shown, held);
        stored = AuthMode::managed("customer-token", "a");
        answers[0]();
        settle();
        model->flushPendingSaves();

        const auto whereAsked = [](const ChatSession& session) {
            return std::count_if(session.messages.begin(), session.messages.end(),
                                 [](const ChatMessage& m) { return m.text == "where?"; });
        };
        EXPECT_EQ(whereAsked(sessionWithID(*model, shown)), 0) << "the chat shown keeps nothing";
        EXPECT_TRUE(model->state.get().isIdle());
        if (!c.asked) {
            EXPECT_TRUE(runner->inputs().empty());
            for (const auto& session : store->stored()) {
                EXPECT_EQ(whereAsked(session), 0) << session.id;
            }
            continue;
        }
        ASSERT_EQ(runner->inputs().size(), 1u);
        EXPECT_EQ(runner->inputs()[0].question, "where?");
        EXPECT_EQ(runner->inputs()[0].activeSessionID, held);
        const auto& answered = sessionWithID(*model, held);
        ASSERT_EQ(answered.messages.size(), 2u);
        EXPECT_EQ(answered.messages[0].text, "where?");
        EXPECT_EQ(model->endedTurn(answered.messages[0].id), nullptr) << "no note left under it";
        bool saved = false;
        for (const auto& session : store->stored()) {
            saved = saved || (session.id == held && session.messages.size() == 2u);
        }
        EXPECT_TRUE(saved) << "saved in its own chat";
    }
}

TEST_F(ChatTurnTest, LiveUpdatesReachOnlyTheirOwnTurn) {
    auto model = makeTurnModel();
    commit(*model, "earlier");
    runner->setScript([](const auto&, const auto&, auto&, const auto& callbacks, std::stop_token) {
        callbacks.onProgress("Executing query");
        callbacks.onReasoning("older turn's thought");
        RLMHelperResult result;
        result.answer = "first answer";
        return result;
    });
    model->inputText.set("first question");
    model->send();
    const std::string firstSession = model->currentSessionID.get();
    // The helper runs and reports while the user moves on to a new question elsewhere.
    worker.runUntilIdle();
    model->startNewSession();
    runner->setScript(test::FakeChatHelperRunner::answering("second answer"));
    model->inputText.set("second question");
    model->send();
    main.runUntilIdle();

    const auto* sending = model->state.get().asSending();
    ASSERT_NE(sending, nullptr);
    EXPECT_EQ(sending->question.text, "second question");
    EXPECT_EQ(sending->reasoning, std::nullopt);
    EXPECT_NE(sending->progress, "Searching your messages\u2026");

    settle();
    EXPECT_TRUE(model->state.get().isIdle());
    EXPECT_EQ(model->transcript().back().text, "second answer");
    EXPECT_EQ(sessionWithID(*model, firstSession).messages.back().text, "first answer");
}

TEST_F(ChatTurnTest, MemoryRequestTextOnlyWhenMemoryChanged) {
    struct Case {
        const char* name;
        const char* question;
        bool receipts;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"directive with receipts", "remember that ZK is Zoe's kid", true,
         "Here\u2019s the result of your memory request."},
        {"directive without receipts", "remember that ZK is Zoe's kid", false, "helper answer"},
        {"plain question with receipts", "when is dinner?", true, "helper answer"},
    };
    for (const auto& c : cases) {
        memory->setReceipts(c.receipts ? std::vector<MemoryReceipt>{committedReceipt()}
                                       : std::vector<MemoryReceipt>{});
        runner->setScript(test::FakeChatHelperRunner::answering("helper answer"));
        auto model = makeTurnModel();
        ask(*model, c.question);
        ASSERT_EQ(model->transcript().size(), 2u) << c.name;
        EXPECT_EQ(model->transcript()[1].text, c.expected) << c.name;
        EXPECT_EQ(model->transcript()[1].memoryReceipts.has_value(), c.receipts) << c.name;
    }
}

TEST_F(ChatTurnTest, ExtractionFailureGetsNoCitationsOrTitle) {
    runner->setScript([](const auto&, const auto&, auto&, const auto&, std::stop_token) {
        RLMHelperResult result;
        result.answer = "partial";
        result.extractFailed = true;
        result.evidenceRecordsCount = 3;
        return result;
    });
    auto model = makeTurnModel();
    ask(*model, "hard question");
    EXPECT_EQ(model->transcript()[1].text,
              "I couldn't complete this answer or summarize the partial work. Try asking again, "
              "or narrow the question.");
    EXPECT_EQ(citationLookups, 0);
    EXPECT_TRUE(titleRequests.empty());
    EXPECT_FALSE(logs->contains("answer_evidence_missing"));
    EXPECT_FALSE(memory->applyCalls()[0].answerIsAuthoritative);
}

TEST_F(ChatTurnTest, FirstAnswerGetsCitationsAndATitleWithRefreshedCredentials) {
    runner->setScript([this](const auto&, const RLMTurnRetry::Refresh& refresh, auto&, const auto&,
                             std::stop_token) {
        // The relay refused the first run; the retry runs with the refreshed account.
        authMode = AuthMode::managed("refreshed-token", "access");
        const auto credentials = refresh(std::string("customer-token"));
        EXPECT_EQ(credentials->customerToken, "refreshed-token");
        RLMHelperResult result;
        result.answer = "dinner is at 7";
        result.evidence.push_back(RLMEvidence{});
        result.evidenceRecordsCount = 1;
        return result;
    });
    auto model = makeTurnModel();
    ask(*model, "when is dinner?");
    ASSERT_EQ(titleRequests.size(), 1u);
    EXPECT_EQ(titleRequests[0].credentials.customerToken, "refreshed-token");
    EXPECT_EQ(model->currentTitle(), "Generated title");
    EXPECT_EQ(model->transcript()[1].sources->size(), 1u);
    EXPECT_EQ(refreshes, 1);
}

TEST_F(ChatTurnTest, FailuresKeepTheQuestionAndShowTheirText) {
    struct Case {
        const char* name;
        AuthMode mode;
        bool preset;
        std::function<RLMHelperError()> error;
        std::string expected;
        int staleNotifications;
        ChatState::CredentialProblem problem = ChatState::CredentialProblem::none;
    };
    const std::string suffix =
        " \u2014 Response quality was reset to your plan's default; please ask again.";
    const std::vector<Case> cases = {
        {"timeout", AuthMode::managed("t", "a"), false,
         [] { return RLMHelperError::plain(ErrorCase::executionTimeout); },
         "This request took too long and was stopped. Please retry.", 0},
        {"expired session", AuthMode::managed("t", "a"), false,
         [] { return RLMHelperError::unauthorized({}); },
         "Your session expired. Please sign in again.", 0,
         ChatState::CredentialProblem::sessionExpired},
        {"asked signed out", AuthMode::none(), false,
         [] { return RLMHelperError::unauthorized({}); }, std::string(ChatViewModel::signedOutText),
         0, ChatState::CredentialProblem::signedOut},
        {"preset refused, managed", AuthMode::managed("t", "a"), true,
         [] { return RLMHelperError::modelRefusedByTier("model not in plan", {}); },
         "RLM helper failed: model not in plan" + suffix, 1},
        {"preset refused, api key", AuthMode::apiKey("k"), true,
         [] { return RLMHelperError::modelRefusedByTier("model not in plan", {}); },
         "RLM helper failed: model not in plan", 0},
    };
    for (const auto& c : cases) {
        defaults.remove(PresetSelection::recordKey);
        if (c.preset) {
            selectPreset();
        }
        authMode = c.mode;
        staleCatalogs = 0;
        runner->setScript(failing(c.error));
        auto model = makeTurnModel();
        ask(*model, "question");
        const auto* failed = model->state.get().asFailed();
        ASSERT_NE(failed, nullptr) << c.name;
        EXPECT_EQ(failed->error, c.expected) << c.name;
        EXPECT_EQ(failed->credentials, c.problem) << c.name;
        EXPECT_EQ(model->hasCredentials.get(), !c.mode.isNone()) << c.name;
        EXPECT_EQ(model->lastError.get(), c.expected) << c.name;
        ASSERT_EQ(model->transcript().size(), 1u) << c.name;
        EXPECT_EQ(staleCatalogs, c.staleNotifications) << c.name;
        if (c.staleNotifications) {
            EXPECT_EQ(presets.current().selectedCode, std::nullopt) << c.name;
        }
    }
}

TEST_F(ChatTurnTest, UsageLimitShowsTheCardAndLooksUpTheTier) {
    relay.script(
        "GET", "/api/v1/customers/me/subscription",
        {Reply::json(200, R"({"subscription":{"tier_code":"pro","tier_display_name":"Pro"}})")});
    relay.script("GET", "/api/v1/customers/me/usage",
                 {Reply::json(200, R"({"usage":{"requests":1,"tokens":1,"total_cost_microcents":1,)"
                                   R"("spend_remaining_microcents":0}})")});
    struct Case {
        AuthMode mode;
        AuthType expected;
        std::optional<std::string> tier;
    };
    for (const auto& c : {Case{AuthMode::managed("tok", "a"), AuthType::customerToken, "pro"},
                          Case{AuthMode::apiKey("key"), AuthType::apiKey, std::nullopt}}) {
        authMode = c.mode;
        runner->setScript(failing([] { return RLMHelperError::usageLimitReached({}); }));
        auto model = makeTurnModel();
        ask(*model, "q");
        ASSERT_TRUE(main.runUntil([&] {
            settle();
            const auto* limit = model->state.get().asUsageLimitReached();
            return limit && limit->tierCode == c.tier;
        }));
        EXPECT_EQ(model->usageLimit(), c.expected);
        EXPECT_EQ(model->lastError.get(), std::nullopt);
        EXPECT_EQ(model->transcript().size(), 1u);
    }
    EXPECT_EQ(defaults.stringValue(managedTierSnapshotKey).valueOr(""), "pro");
}

TEST_F(ChatTurnTest, RecheckLeavesTheCardOnlyWhenCapacityIsBack) {
    struct Case {
        const char* name;
        AuthMode mode;
        std::string usageExtra;
        std::int64_t balance;
        bool cleared;
    };
    const std::vector<Case> cases = {
        {"managed, none left", AuthMode::managed("t", "a"), R"(,"spend_remaining_microcents":0)", 0,
         false},
        {"managed, one left", AuthMode::managed("t", "a"), R"(,"spend_remaining_microcents":1)", 0,
         true},
        {"managed, unreported", AuthMode::managed("t", "a"), "", 0, true},
        {"developer, empty", AuthMode::apiKey("k"), "", 0, false},
        {"developer, one cent", AuthMode::apiKey("k"), "", 1, true},
    };
    for (const auto& c : cases) {
        test::StubHttpServer server;
        server.script(
            "GET", "/api/v1/customers/me/subscription",
            {Reply::json(200, R"({"subscription":{"tier_code":"max","tier_display_name":"M"}})")});
        server.script(
            "GET", "/api/v1/customers/me/usage",
            {Reply::json(200, R"({"usage":{"requests":1,"tokens":1,"total_cost_microcents":1)" +
                                  c.usageExtra + "}}")});
        server.script("GET", "/api/v1/account/balance",
                      {Reply::json(200, R"({"balance_cents":)" + std::to_string(c.balance) +
                                            R"(,"balance_formatted":"$0","currency":"USD",)"
                                            R"("low_balance_threshold_cents":5})")});
        billing = std::make_unique<CorvaneBillingService>(http, server.baseURL(), clock);
        authMode = c.mode;
        auto model = makeTurnModel();
        bool done = false;
        model->recheckUsageAfterReturn([&] { done = true; });
        EXPECT_TRUE(done) << c.name;
        EXPECT_EQ(server.requestCount(), 0u) << c.name;

        model->simulateOutOfCredit();
        usageChanges = 0;
        done = false;
        model->recheckUsageAfterReturn([&] { done = true; });
        ASSERT_TRUE(main.runUntil([&] {
            worker.runUntilIdle();
            return done;
        })) << c.name;
        EXPECT_EQ(model->usageLimit().has_value(), !c.cleared) << c.name;
        // Capacity back: the card goes from under its question too.
        const auto limited = model->transcript().back().id;
        EXPECT_EQ(model->endedTurn(limited) != nullptr, !c.cleared) << c.name;
        EXPECT_EQ(logs->contains("usage_capacity_restored_upsell_dismissed"), c.cleared) << c.name;
        EXPECT_EQ(usageChanges, 1) << c.name;
        logs->clear();
    }
}

TEST_F(ChatTurnTest, TierSnapshotRefreshesOncePerProcess) {
    relay.script(
        "GET", "/api/v1/customers/me/subscription",
        {Reply::json(200, R"({"subscription":{"tier_code":"pro","tier_display_name":"P"}})")});
    relay.script(
        "GET", "/api/v1/customers/me/usage",
        {Reply::json(200, R"({"usage":{"requests":1,"tokens":1,"total_cost_microcents":1}})")});
    auto shared = std::make_shared<bool>(false);
    auto first = dependencies();
    first.tierSnapshotRefreshed = shared;
    first.billingService = billing.get();
    auto second = dependencies(false);
    second.tierSnapshotRefreshed = shared;
    second.billingService = billing.get();
    auto mainWindow = ChatViewModel::make(std::move(first));
    auto popover = ChatViewModel::make(std::move(second));
    ask(*mainWindow, "one");
    ask(*popover, "two");
    ask(*mainWindow, "three");
    ASSERT_TRUE(main.runUntil([&] {
        settle();
        return defaults.stringValue(managedTierSnapshotKey).isPresent();
    }));
    EXPECT_EQ(relay.requestCount(), 2u);
}

TEST_F(ChatTurnTest, ReleasedModelStopsItsTurn) {
    bool stopped = false;
    runner->setScript([&stopped](const auto&, const auto&, auto&, const auto&,
                                 std::stop_token stop) -> RLMHelperResult {
        stopped = stop.stop_requested();
        throw RLMHelperError::plain(ErrorCase::executionTimeout);
    });
    auto model = makeTurnModel();
    model->inputText.set("q");
    model->send();
    model.reset();
    settle();
    EXPECT_TRUE(stopped);
    EXPECT_EQ(usageChanges, 0);
}

TEST_F(ChatTurnTest, AQuitStopsTheRunningTurnAndKeepsItsQuestionOnce) {
    // A quit never runs the turn's own handlers (the main executor takes nothing more), so the
    // question must be stored by the stop itself, and what arrives afterwards adds nothing.
    struct Case {
        const char* name;
        bool persists;
        // How far the turn got before the quit: 0 the helper still running, 1 its answer in
        // and the memory commit on the worker.
        int reached;
    };
    const Case cases[] = {
        {"main window, helper running", true, 0},
        {"popover, helper running", false, 0},
        {"main window, answer in, memory commit running", true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        store->setStored({});
        bool stopped = false;
        runner->setScript([&stopped](const auto&, const auto&, auto&, const auto&,
                                     std::stop_token stop) -> RLMHelperResult {
            stopped = stop.stop_requested();
            if (stopped) {
                throw CancellationError();
            }
            RLMHelperResult result;
            result.answer = "the answer";
            return result;
        });
        auto deps = dependencies(c.persists);
        auto model = ChatViewModel::make(std::move(deps));
        model->inputText.set("where is the cabin?");
        model->send();
        const std::string sessionID = model->currentSessionID.get();
        if (c.reached >= 1) {
            worker.runUntilIdle();
            main.runUntilIdle();
        }
        model->stopRunningTurns();
        EXPECT_EQ(stopped, false);
        EXPECT_FALSE(model->isSending());
        settle();
        EXPECT_EQ(stopped, c.reached == 0);

        const auto& messages = sessionWithID(*model, sessionID).messages;
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].role, ChatRole::user);
        EXPECT_EQ(messages[0].text, "where is the cabin?");
        EXPECT_EQ(model->lastError.get(), std::nullopt);
        if (c.persists) {
            const auto stored = store->stored();
            ASSERT_EQ(stored.size(), 1u);
            ASSERT_EQ(stored[0].messages.size(), 1u);
            EXPECT_EQ(stored[0].messages[0].text, "where is the cabin?");
        }
        EXPECT_TRUE(logs->contains("chat_turn_stopped_on_quit"));
    }
}

TEST_F(ChatTurnTest, AQuitWithoutATurnStoresNothing) {
    auto model = makeTurnModel();
    model->stopRunningTurns();
    settle();
    EXPECT_EQ(store->saveCount(), 0);
    EXPECT_TRUE(model->transcript().empty());
}

}  // namespace
}  // namespace vask
