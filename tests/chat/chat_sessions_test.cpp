// Construction, the published views, and the session operations of the chat view model.
#include <fstream>

#include "chat_fixture.h"
#include "engine/rlm_helper_error.h"
#include "platform/error.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using namespace std::chrono_literals;

class ChatSessionsTest : public test::ChatFixture {};

TEST_F(ChatSessionsTest, FreshInstallHasOneCurrentNewChat) {
    auto model = makeModel();
    ASSERT_EQ(model->sessions.get().size(), 1u);
    EXPECT_EQ(model->sessions.get()[0]->title, "New Chat");
    EXPECT_EQ(model->currentSessionID.get(), model->sessions.get()[0]->id);
    EXPECT_TRUE(model->savedSessions().empty());
    EXPECT_EQ(model->currentTitle(), "New Chat");
}

TEST_F(ChatSessionsTest, LoadedSessionWithTheLatestMessageIsCurrent) {
    const auto t0 = clock.now();
    struct Case {
        const char* name;
        std::vector<Clock::WallTime> dates;
        std::size_t expected;
    };
    const std::vector<Case> cases = {
        {"latest second", {t0 - 5s, t0, t0 - 10s}, 1},
        {"tie goes to the earlier", {t0 - 5s, t0, t0}, 1},
        {"latest last", {t0 - 5s, t0 - 4s, t0}, 2},
    };
    for (const auto& c : cases) {
        std::vector<ChatSession> stored;
        for (const auto& date : c.dates) {
            stored.push_back(test::storedSession("s", date));
        }
        withStoredSessions(stored);
        auto model = makeModel();
        EXPECT_EQ(sessionIDs(*model).size(), 3u) << c.name;
        EXPECT_EQ(model->currentSessionID.get(), stored[c.expected].id) << c.name;
    }
}

TEST_F(ChatSessionsTest, ConstructionProblemsBecomeThePersistentError) {
    auto deps = dependencies();
    deps.shadowDBPath = "";
    deps.shadowDBPathError = "No support folder";
    deps.supportDirectory = []() -> std::filesystem::path { throw Error("No support folder"); };
    auto model = ChatViewModel::make(std::move(deps));
    EXPECT_EQ(model->lastError.get(), "No support folder; Contacts unavailable: No support folder");
    EXPECT_TRUE(logs->contains("shadow_db_path_missing"));
    EXPECT_TRUE(logs->contains("contacts_path_error"));

    auto noHelper = dependencies();
    noHelper.helperRunnerFactory =
        [](PersonaContextHostFactory) -> std::shared_ptr<ChatHelperRunner> {
        throw RLMHelperError::plain(RLMHelperError::Case::missingBundledHelper);
    };
    model = ChatViewModel::make(std::move(noHelper));
    // What is missing in this system's words, and what to do about it.
    const auto error = model->lastError.get().value_or("");
    for (const char* said : {"share/vask/rlm", "VASK_RLM_HELPER_CMD",
                             "\"Your own history and the RLM helper\" in Vask's README"}) {
        EXPECT_NE(error.find(said), std::string::npos) << said;
    }
    const auto init = logs->events("chat_vm_init");
    ASSERT_FALSE(init.empty());
    EXPECT_EQ(init.back().metadata.at("has_helper"), "false");
    EXPECT_EQ(init.back().metadata.at("has_persistent_error"), "true");
}

TEST_F(ChatSessionsTest, NewSessionReusesAnEmptyOneAndThePopoverDropsWhatItLeaves) {
    for (const bool persists : {true, false}) {
        auto model = makeModel(persists);
        const std::string first = model->currentSessionID.get();
        model->startNewSession();
        EXPECT_EQ(model->currentSessionID.get(), first);
        EXPECT_FALSE(logs->contains("session_new_started"));

        commit(*model, "hello");
        model->startNewSession();
        EXPECT_NE(model->currentSessionID.get(), first);
        EXPECT_TRUE(model->transcript().empty());
        if (persists) {
            EXPECT_EQ(sessionIDs(*model).size(), 2u);
            ASSERT_EQ(model->savedSessions().size(), 1u);
            EXPECT_EQ(model->savedSessions()[0]->id, first);
        } else {
            EXPECT_EQ(sessionIDs(*model), std::vector<std::string>{model->currentSessionID.get()});
        }
        logs->clear();
    }
}

// What the user typed and did not send is never thrown away: each chat keeps its own, a question
// asked in a chat of its own ("Catch me up") leaves it where it was typed, and New Chat goes back
// to an unasked chat that holds it. In the popover, which drops the chat it leaves, it stays in
// the composer.
TEST_F(ChatSessionsTest, EachChatKeepsWhatWasTypedInIt) {
    const std::string question = "Catch me up on Ada";
    auto model = makeModel();
    const std::string asked = model->currentSessionID.get();
    commit(*model, "one");
    model->inputText.set("typed in the first");
    model->startNewSession();
    const std::string unasked = model->currentSessionID.get();
    EXPECT_EQ(model->inputText.get(), "");
    model->inputText.set("typed in a new chat");

    struct Step {
        const char* name;
        std::function<void()> act;
        const std::string* shown;
        std::string composer;
    };
    std::string caughtUp;
    const std::vector<Step> steps = {
        {"back to the first", [&] { model->switchSession(asked); }, &asked, "typed in the first"},
        {"back to the new chat", [&] { model->switchSession(unasked); }, &unasked,
         "typed in a new chat"},
        {"a question in a chat of its own",
         [&] {
             ASSERT_TRUE(model->askInNewSession(question));
             caughtUp = model->currentSessionID.get();
             settle();
         },
         &caughtUp, ""},
        {"New Chat goes back to the unasked chat", [&] { model->startNewSession(); }, &unasked,
         "typed in a new chat"},
        {"the first, still", [&] { model->switchSession(asked); }, &asked, "typed in the first"},
        {"asked beside a chat with messages",
         [&] {
             ASSERT_TRUE(model->askInNewSession(question));
             caughtUp = model->currentSessionID.get();
             settle();
         },
         &caughtUp, ""},
        {"the first, after", [&] { model->switchSession(asked); }, &asked, "typed in the first"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        step.act();
        EXPECT_EQ(model->currentSessionID.get(), *step.shown);
        EXPECT_EQ(model->inputText.get(), step.composer);
    }
    for (const auto& session : model->sessions.get()) {
        const bool catchUp = !session->messages.empty() && session->messages[0].text == question;
        EXPECT_EQ(catchUp, session->id != asked && session->id != unasked) << session->id;
    }

    auto popover = makeModel(false);
    commit(*popover, "one");
    popover->inputText.set("typed in the popover");
    popover->startNewSession();
    EXPECT_EQ(popover->inputText.get(), "typed in the popover") << "its chat went, not the text";
}

// Deleting a chat takes what was typed in it, and only that: the chat shown next brings back its
// own text, which is never overwritten by the deleted one's when the user leaves it.
TEST_F(ChatSessionsTest, DeletingAChatTakesOnlyItsOwnText) {
    struct Case {
        const char* name;
        // Deletes the chat shown (else the other one, while the first is shown).
        bool deletesShown;
        // Nothing typed in the chat shown next.
        bool nextUntyped;
    };
    const Case cases[] = {
        {"the chat shown, the next typed in", true, false},
        {"the chat shown, the next untyped", true, true},
        {"a chat not shown", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto model = makeModel();
        commit(*model, "older");
        const std::string older = model->currentSessionID.get();
        model->inputText.set(c.nextUntyped ? "" : "typed in the older");
        clock.advance(10s);
        model->startNewSession();
        commit(*model, "newer");
        const std::string newer = model->currentSessionID.get();
        model->inputText.set("typed in the newer");
        if (!c.deletesShown) {
            model->switchSession(older);
        }
        const std::string olderText = c.nextUntyped ? "" : "typed in the older";

        model->deleteSession(newer);
        EXPECT_EQ(model->currentSessionID.get(), older);
        EXPECT_EQ(model->inputText.get(), olderText);
        // Leaving it and coming back: its text, not the deleted chat's.
        model->startNewSession();
        EXPECT_EQ(model->inputText.get(), "");
        model->switchSession(older);
        EXPECT_EQ(model->inputText.get(), olderText);
    }
    // The only chat deleted: the new one that takes its place starts empty.
    auto model = makeModel();
    model->inputText.set("typed in the only chat");
    model->deleteSession(model->currentSessionID.get());
    EXPECT_EQ(model->inputText.get(), "");
}

// The stand-in chat typed in while the saved chats are read, left for a chat handed over from
// the popover: it stays, with what was typed in it, when the saved chats arrive.
TEST_F(ChatSessionsTest, AChatTypedInWhileTheSavedChatsAreReadKeepsItsText) {
    withStoredSessions({test::storedSession("saved", clock.now())});
    auto model = ChatViewModel::make(dependencies());
    ASSERT_TRUE(model->loadingSessions.get());
    const std::string standIn = model->currentSessionID.get();
    model->inputText.set("typed before the history was in");
    model->adopt(test::storedSession("from the popover", clock.now()));
    EXPECT_EQ(model->inputText.get(), "");
    settle();
    ASSERT_FALSE(model->loadingSessions.get());
    model->switchSession(standIn);
    EXPECT_EQ(model->currentSessionID.get(), standIn);
    EXPECT_EQ(model->inputText.get(), "typed before the history was in");
    EXPECT_EQ(model->savedSessions().size(), 2u) << "an empty chat is not saved";
}

TEST_F(ChatSessionsTest, SwitchRenameAndDeleteIgnoreWhatTheyCannotFind) {
    auto model = makeModel();
    commit(*model, "one");
    const std::string first = model->currentSessionID.get();
    model->startNewSession();
    const std::string second = model->currentSessionID.get();
    logs->clear();

    model->switchSession(second);
    model->switchSession("no-such-session");
    model->renameSession("no-such-session", "Title");
    model->renameSession(first, " \n ");
    model->deleteSession("no-such-session");
    EXPECT_EQ(model->currentSessionID.get(), second);
    EXPECT_EQ(sessionWithID(*model, first).title, "one");
    EXPECT_TRUE(logs->records().empty());

    model->renameSession(first, "  Trip plans \n");
    EXPECT_EQ(sessionWithID(*model, first).title, "Trip plans");
    EXPECT_TRUE(sessionWithID(*model, first).titleIsUserSet);
    model->switchSession(first);
    EXPECT_EQ(model->currentSessionID.get(), first);
    EXPECT_TRUE(logs->contains("session_switched"));
}

TEST_F(ChatSessionsTest, DeletingPicksTheNextCurrentSession) {
    auto model = makeModel();
    model->deleteSession(model->currentSessionID.get());
    ASSERT_EQ(sessionIDs(*model).size(), 1u);
    EXPECT_EQ(model->currentSessionID.get(), sessionIDs(*model)[0]);

    commit(*model, "older");
    const std::string older = model->currentSessionID.get();
    clock.advance(10s);
    model->startNewSession();
    commit(*model, "newer");
    const std::string newer = model->currentSessionID.get();
    clock.advance(10s);
    model->startNewSession();
    commit(*model, "current");
    const std::string current = model->currentSessionID.get();

    model->state.set(ChatState::failed(test::message(ChatRole::user, "q"), "boom"));
    model->deleteSession(older);
    EXPECT_EQ(model->currentSessionID.get(), current);
    EXPECT_NE(model->state.get().asFailed(), nullptr);

    model->deleteSession(current);
    EXPECT_EQ(model->currentSessionID.get(), newer);
    EXPECT_TRUE(model->state.get().isIdle());
    EXPECT_TRUE(logs->contains("session_deleted"));
}

TEST_F(ChatSessionsTest, DisplayAndUsageFollowTheCurrentSession) {
    auto model = makeModel();
    const ChatMessage stored = commit(*model, "stored question");
    // The running state may show a question that is already in the transcript.
    model->state.set(ChatState::sending(stored, "Preparing...", std::nullopt));
    EXPECT_EQ(model->displayMessages().size(), 2u);
    const ChatMessage pending = test::message(ChatRole::user, "pending");
    model->state.set(ChatState::sending(pending, std::nullopt, std::nullopt));
    ASSERT_EQ(model->displayMessages().size(), 3u);
    EXPECT_EQ(model->displayMessages().back().id, pending.id);

    model->startExecutionDisclosure(pending.id, model->currentSessionID.get());
    ChatTokenUsage usage;
    usage.totalTokens = 42;
    model->receiveTokenUsage(usage, pending.id, model->currentSessionID.get());
    EXPECT_EQ(model->liveTokenUsage(), usage);
    // Usage of another question is dropped.
    ChatTokenUsage other;
    other.totalTokens = 7;
    model->receiveTokenUsage(other, Uuid::random(), model->currentSessionID.get());
    EXPECT_EQ(model->liveTokenUsage(), usage);

    model->startNewSession();
    EXPECT_EQ(model->liveTokenUsage(), std::nullopt);
}

}  // namespace
}  // namespace vask
