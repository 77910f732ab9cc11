// A question asked while the history's full-text index is being built: how its wait ends (the
// index whole, the synchronisation failed, its chat deleted, the account changed, a quit), each
// case on its own and then over generated sequences against a model (RapidCheck), on the real
// chat view model. The wait holds no thread: the worker is drained by the test, and nothing of a
// waiting question is on it.
#include <rapidcheck.h>
#include <rapidcheck/state.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "chat_fixture.h"
#include "support/fake_history_index.h"
#include "support/property_check.h"

namespace vask {
namespace {

using Phase = HistoryIndexState::Phase;
using Problem = ChatState::CredentialProblem;

// The chat's surroundings that end a wait: the index, the account and its arrivals.
struct WaitWorld {
    std::shared_ptr<test::FakeHistoryIndex> index =
        std::make_shared<test::FakeHistoryIndex>(HistoryIndexState::building());
    std::uint64_t account = 1;
    Published<int> arrivals{0};
    AuthMode mode = AuthMode::managed("token-1", "access");
    int tokens = 1;

    void wire(ChatViewModel::Dependencies& deps) {
        deps.historyIndex = index;
        deps.authModeProvider = [this] { return mode; };
        deps.accountChanges = [this] { return account; };
        deps.observeCredentials = [this](std::function<void()> arrived) {
            return arrivals.subscribe([arrived = std::move(arrived)](int) { arrived(); },
                                      Delivery::changesOnly);
        };
    }
    bool signedIn() const { return mode.asManaged() != nullptr; }
    void signOut() {
        mode = AuthMode::none();
        ++account;
        arrivals.set(arrivals.get() + 1);
    }
    // Signed in as another (signing out first when signed in).
    void signInAgain() {
        account += signedIn() ? 2 : 1;
        mode = AuthMode::managed("token-" + std::to_string(++tokens), "access");
        arrivals.set(arrivals.get() + 1);
    }
    std::string token() const {
        const auto* managed = mode.asManaged();
        return managed != nullptr ? managed->customerToken : std::string();
    }
};

const ChatMessage* findQuestion(const ChatViewModel& model, const std::string& text) {
    for (const auto& session : model.sessions.get()) {
        for (const auto& message : session->messages) {
            if (message.role == ChatRole::user && message.text == text) {
                return &message;
            }
        }
    }
    return nullptr;
}

long timesAsked(const test::FakeChatHelperRunner& runner, const std::string& text) {
    const auto inputs = runner.inputs();
    return std::count_if(inputs.begin(), inputs.end(),
                         [&](const auto& input) { return input.question == text; });
}

class HistoryIndexWaitTest : public test::ChatFixture {};

// Each ending of a question's wait, as the user sees it: asked once the index is whole; told why
// when the synchronisation fails; gone with its chat; not asked after a sign-out or a sign-in as
// another (at once, not when the index is whole); kept unasked by a quit. None is asked later.
TEST_F(HistoryIndexWaitTest, EachEndingOfTheWaitIsTheUsersOwn) {
    const std::string why = "Sync failed: unable to open database file";
    struct Case {
        const char* name;
        // Before the question: the index as reported.
        HistoryIndexState before;
        std::function<void(ChatViewModel&, WaitWorld&)> event;
        bool asked;
        // The question kept in its chat, unanswered, with this failure under it.
        bool kept;
        std::optional<std::string> failure;
        Problem problem = Problem::none;
    };
    const Case cases[] = {
        {"the index is built", HistoryIndexState::building(),
         [](ChatViewModel&, WaitWorld& w) { w.index->set(HistoryIndexState::whole()); }, true,
         true, std::nullopt},
        {"the synchronisation fails", HistoryIndexState::building(),
         [&](ChatViewModel&, WaitWorld& w) { w.index->set(HistoryIndexState::failed(why)); },
         false, true, ChatViewModel::historyIndexFailedText(why)},
        {"it had failed when asked", HistoryIndexState::failed(why),
         [](ChatViewModel&, WaitWorld&) {}, false, true,
         ChatViewModel::historyIndexFailedText(why)},
        {"its chat is deleted", HistoryIndexState::building(),
         [](ChatViewModel& m, WaitWorld&) { m.deleteSession(m.currentSessionID.get()); }, false,
         false, std::nullopt},
        {"the user signs out", HistoryIndexState::building(),
         [](ChatViewModel&, WaitWorld& w) { w.signOut(); }, false, true,
         std::string(ChatViewModel::indexWaitSignedOutText), Problem::signedOut},
        {"the user signs in as another", HistoryIndexState::building(),
         [](ChatViewModel&, WaitWorld& w) { w.signInAgain(); }, false, true,
         std::string(ChatViewModel::indexWaitOtherAccountText)},
        {"Vask quits", HistoryIndexState::building(),
         [](ChatViewModel& m, WaitWorld&) { m.stopRunningTurns(); }, false, true, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        runner = std::make_shared<test::FakeChatHelperRunner>();
        WaitWorld world;
        world.index->set(c.before);
        auto deps = dependencies();
        world.wire(deps);
        auto model = loaded(ChatViewModel::make(std::move(deps)));
        commit(*model, "an earlier question");
        model->inputText.set("where is the van?");
        model->send();
        EXPECT_EQ(worker.runUntilIdle(), 0u) << "nothing of a waiting question is on the worker";
        c.event(*model, world);
        settle();
        // What happens when the index is whole, after the ending, changes nothing.
        world.index->set(HistoryIndexState::whole());
        settle();
        EXPECT_EQ(timesAsked(*runner, "where is the van?"), c.asked ? 1 : 0);
        const auto* question = findQuestion(*model, "where is the van?");
        EXPECT_EQ(question != nullptr, c.kept);
        const auto* ended = question != nullptr ? model->endedTurn(question->id) : nullptr;
        const auto* failed = ended != nullptr ? ended->asFailed() : nullptr;
        EXPECT_EQ(failed != nullptr ? std::optional(failed->error) : std::nullopt, c.failure);
        if (failed != nullptr) {
            EXPECT_EQ(failed->credentials, c.problem);
        }
        EXPECT_FALSE(model->isSending());
        EXPECT_EQ(world.index->observers(), 0u) << "nothing watches the index once nothing waits";
    }
}

// A sign-out ends the wait when it happens: the question says so before the index is whole, and
// nothing is sent with the account that is gone.
TEST_F(HistoryIndexWaitTest, ASignOutEndsTheWaitAtOnce) {
    WaitWorld world;
    auto deps = dependencies();
    world.wire(deps);
    auto model = loaded(ChatViewModel::make(std::move(deps)));
    model->inputText.set("where?");
    model->send();
    settle();
    ASSERT_TRUE(model->isSending());
    world.signOut();
    settle();
    const auto* failed = model->state.get().asFailed();
    ASSERT_NE(failed, nullptr) << "ended with the index still being built";
    EXPECT_EQ(failed->error, ChatViewModel::indexWaitSignedOutText);
    world.signInAgain();
    world.index->set(HistoryIndexState::whole());
    settle();
    EXPECT_TRUE(runner->inputs().empty());
}

// --- The model ----------------------------------------------------------------------------------

struct Nothing {};

// How a question's wait ended, or that it still waits.
enum class Fate { waiting, asked, syncFailed, signedOut, otherAccount, deleted, stopped };

struct Question {
    std::string text;
    std::string chat;
    std::string token;
    Fate fate = Fate::waiting;
    std::string why;
    // Its chat was deleted after its wait ended: it is in no chat any more.
    bool chatGone = false;
};

// The chat over the fakes, the world around it, and what the model says became of each question.
struct WaitSystem {
    WaitSystem(WaitWorld& w,
               const std::function<std::shared_ptr<ChatViewModel>(ChatViewModel::Dependencies)>&
                   make,
               ChatViewModel::Dependencies deps, std::function<void()> drain,
               const test::FakeChatHelperRunner& r)
        : world(w), settle(std::move(drain)), runner(r) {
        world.wire(deps);
        model = make(std::move(deps));
    }

    std::string chatAt(int place) const {
        const auto& list = model->sessions.get();
        return list[static_cast<std::size_t>(place) % list.size()]->id;
    }

    void endWaiting(Fate fate, const std::string& why = {}) {
        for (auto& q : questions) {
            if (q.fate == Fate::waiting) {
                q.fate = fate;
                q.why = why;
            }
        }
    }

    void check() const {
        std::size_t waiting = 0;
        for (const auto& q : questions) {
            const auto asked = timesAsked(runner, q.text);
            RC_ASSERT(asked == (q.fate == Fate::asked ? 1 : 0));
            if (q.fate == Fate::asked) {
                const auto inputs = runner.inputs();
                const auto input = std::find_if(inputs.begin(), inputs.end(), [&](const auto& i) {
                    return i.question == q.text;
                });
                // Under the account it was asked under.
                RC_ASSERT(input->credentials.customerToken == std::optional(q.token));
            }
            const auto* kept = findQuestion(*model, q.text);
            const bool inAChat = q.fate != Fate::waiting && q.fate != Fate::deleted && !q.chatGone;
            RC_ASSERT((kept != nullptr) == inAChat);
            const auto* ended = kept != nullptr ? model->endedTurn(kept->id) : nullptr;
            const auto* failed = ended != nullptr ? ended->asFailed() : nullptr;
            std::optional<std::string> expected;
            switch (inAChat ? q.fate : Fate::waiting) {
                case Fate::syncFailed:
                    expected = ChatViewModel::historyIndexFailedText(q.why);
                    break;
                case Fate::signedOut:
                    expected = std::string(ChatViewModel::indexWaitSignedOutText);
                    break;
                case Fate::otherAccount:
                    expected = std::string(ChatViewModel::indexWaitOtherAccountText);
                    break;
                default:
                    break;
            }
            RC_ASSERT((failed != nullptr ? std::optional(failed->error) : std::nullopt) ==
                      expected);
            waiting += q.fate == Fate::waiting ? 1 : 0;
        }
        RC_ASSERT(world.index->observers() == (waiting > 0 ? 1u : 0u));
    }

    WaitWorld& world;
    std::function<void()> settle;
    const test::FakeChatHelperRunner& runner;
    std::shared_ptr<ChatViewModel> model;
    std::vector<Question> questions;
};

using WaitCommand = rc::state::Command<Nothing, WaitSystem>;

// A choice among `count`, each as likely at every size (inRange alone scales with the size and,
// at the sizes of a command sequence, gives the first only).
int anyOf(int count) {
    return *rc::gen::resize(100, rc::gen::inRange(0, count));
}

struct Ask final : WaitCommand {
    int place = anyOf(4);
    void run(const Nothing&, WaitSystem& s) const override {
        if (!s.world.signedIn()) {
            return;
        }
        const std::string chat = s.chatAt(place);
        s.model->switchSession(chat);
        if (s.model->isSending()) {
            // Its own question still waits, shown: the composer sends nothing meanwhile.
            return;
        }
        const std::string text = "question " + std::to_string(s.questions.size() + 1);
        s.model->inputText.set(text);
        s.model->send();
        const auto phase = s.world.index->state().phase;
        s.questions.push_back({text, chat, s.world.token(),
                               phase == Phase::whole    ? Fate::asked
                               : phase == Phase::failed ? Fate::syncFailed
                                                        : Fate::waiting,
                               s.world.index->state().failure});
        if (phase == Phase::building) {
            const auto* sending = s.model->state.get().asSending();
            RC_ASSERT(sending != nullptr);
            RC_ASSERT(sending->progress == std::optional(std::string(
                                               ChatViewModel::indexingHistoryText)));
        }
        s.settle();
        s.check();
    }
    void show(std::ostream& os) const override { os << "Ask(" << place << ")"; }
};

struct IndexReported final : WaitCommand {
    int phase = anyOf(3);
    void run(const Nothing&, WaitSystem& s) const override {
        const std::string why = "Sync failed: run " + std::to_string(s.questions.size());
        switch (phase) {
            case 0:
                s.world.index->set(HistoryIndexState::whole());
                s.endWaiting(Fate::asked);
                break;
            case 1:
                s.world.index->set(HistoryIndexState::building());
                break;
            default:
                s.world.index->set(HistoryIndexState::failed(why));
                s.endWaiting(Fate::syncFailed, why);
                break;
        }
        s.settle();
        s.check();
    }
    void show(std::ostream& os) const override {
        os << (phase == 0 ? "IndexWhole" : phase == 1 ? "IndexBuilding" : "SyncFailed");
    }
};

struct DeleteChat final : WaitCommand {
    int place = anyOf(4);
    void run(const Nothing&, WaitSystem& s) const override {
        const std::string chat = s.chatAt(place);
        s.model->deleteSession(chat);
        for (auto& q : s.questions) {
            if (q.chat == chat) {
                q.chatGone = true;
                if (q.fate == Fate::waiting) {
                    q.fate = Fate::deleted;
                }
            }
        }
        s.settle();
        s.check();
    }
    void show(std::ostream& os) const override { os << "DeleteChat(" << place << ")"; }
};

struct SignOut final : WaitCommand {
    void run(const Nothing&, WaitSystem& s) const override {
        if (!s.world.signedIn()) {
            return;
        }
        s.world.signOut();
        s.endWaiting(Fate::signedOut);
        s.settle();
        s.check();
    }
    void show(std::ostream& os) const override { os << "SignOut"; }
};

struct SignInAgain final : WaitCommand {
    void run(const Nothing&, WaitSystem& s) const override {
        s.world.signInAgain();
        s.endWaiting(Fate::otherAccount);
        s.settle();
        s.check();
    }
    void show(std::ostream& os) const override { os << "SignInAgain"; }
};

struct Quit final : WaitCommand {
    void run(const Nothing&, WaitSystem& s) const override {
        s.model->stopRunningTurns();
        s.endWaiting(Fate::stopped);
        s.settle();
        s.check();
    }
    void show(std::ostream& os) const override { os << "Quit"; }
};

// Over generated sequences of questions in several chats, reports of the index, deletions,
// sign-outs, sign-ins and quits: each question is asked exactly when the model says (once the
// index is whole, under its own account), or ends as the model says, and nothing watches the
// index once nothing waits.
TEST_F(HistoryIndexWaitTest, EveryGeneratedSequenceEndsEachWaitAsTheModelSays) {
    test::checkProperty(
        "HistoryIndexWaitTest/EveryGeneratedSequenceEndsEachWaitAsTheModelSays", 200, 30, [&] {
            runner = std::make_shared<test::FakeChatHelperRunner>();
            withStoredSessions({test::storedSession("one", clock.now(), 1),
                                test::storedSession("two", clock.now(), 1),
                                test::storedSession("three", clock.now(), 1)});
            WaitWorld world;
            WaitSystem system(
                world,
                [&](ChatViewModel::Dependencies deps) {
                    return loaded(ChatViewModel::make(std::move(deps)));
                },
                dependencies(), [&] { settle(); }, *runner);
            rc::state::check(Nothing{}, system,
                             rc::state::gen::execOneOfWithArgs<Ask, Ask, IndexReported, DeleteChat,
                                                               SignOut, SignInAgain, Quit>());
        });
}

}  // namespace
}  // namespace vask
