#include "chat/held_questions.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "chat/chat_presenters.h"
#include "chat_fixture.h"
#include "support/property_check.h"

namespace vask {
namespace {

HeldQuestions::Held held(const std::string& text, const std::string& session,
                         std::uint64_t account) {
    ChatMessage question;
    question.id = Uuid::random();
    question.role = ChatRole::user;
    question.text = text;
    return {question, session, account};
}

std::vector<std::string> texts(const std::vector<HeldQuestions::Held>& list) {
    std::vector<std::string> out;
    for (const auto& each : list) {
        out.push_back(each.question.text);
    }
    return out;
}

// What an unlock that ends unanswered leaves held, and what a sign-out, a sign-in or a chat's
// move takes out: each question in one place, asked at most once, under its own account.
TEST(HeldQuestionsTest, HeldQuestionsFollowTheirUnlockTheirAccountAndTheirChat) {
    struct Case {
        const char* name;
        std::function<std::vector<std::string>(HeldQuestions&)> steps;
        std::vector<std::string> expected;
    };
    const auto a1 = held("a1", "chat-a", 1);
    const auto b1 = held("b1", "chat-b", 1);
    const auto a2 = held("a2", "chat-a", 2);
    const Case cases[] = {
        {"an unanswered unlock keeps them for the next, once each",
         [&](HeldQuestions& h) {
             h.startWaiting();
             h.hold(a1);
             h.hold(b1);
             h.unlockAnswered(false);
             h.startWaiting();
             // The row Unlock is pressed on is one of those kept: held once, not twice.
             h.hold(a1);
             return texts(h.letGo());
         },
         {"a1", "b1"}},
        {"a kept question held again keeps its account",
         [&](HeldQuestions& h) {
             h.keep({a1});
             auto again = a1;
             again.account = 7;
             h.hold(again);
             return texts(h.takeOtherAccounts(7));
         },
         {"a1"}},
        {"a sign-out takes every list's questions of the account gone",
         [&](HeldQuestions& h) {
             h.startWaiting();
             h.hold(a1);
             h.keep({b1});
             h.release({held("queued", "chat-a", 1)});
             h.hold(a2);
             return texts(h.takeOtherAccounts(2));
         },
         {"a1", "b1", "queued"}},
        {"nothing is taken from the account still signed in",
         [&](HeldQuestions& h) {
             h.hold(a2);
             h.keep({held("k2", "chat-b", 2)});
             return texts(h.takeOtherAccounts(2));
         },
         {}},
        {"a chat moved takes its own, from every list, and no other's",
         [&](HeldQuestions& h) {
             h.hold(a1);
             h.hold(b1);
             h.keep({a2});
             h.release({held("queued", "chat-a", 1)});
             auto all = texts(h.take("chat-a"));
             all.push_back(h.holds("chat-a") ? "chat-a still held" : "-");
             all.push_back(h.holds("chat-b") ? "chat-b held" : "-");
             return all;
         },
         {"a1", "a2", "queued", "-", "chat-b held"}},
        // Asked oldest first, in the order they were asked, however they came to be held.
        {"a refused one kept, a newer one held by Unlock first",
         [&](HeldQuestions& h) {
             auto older = held("older", "chat-a", 1);
             older.order = HeldQuestions::nextOrder();
             auto newer = held("newer", "chat-a", 1);
             newer.order = HeldQuestions::nextOrder();
             h.keep({older});
             h.startWaiting();
             h.hold(newer);
             return texts(h.letGo());
         },
         {"older", "newer"}},
        {"kept out of order, taken oldest first",
         [&](HeldQuestions& h) {
             h.keep({held("first", "chat-a", 1)});
             auto second = held("second", "chat-b", 1);
             h.keep({held("third", "chat-a", 1)});
             second.order = 1;
             h.keep({second});
             return texts(h.letGo());
         },
         {"second", "first", "third"}},
        // Whatever else waits: an unlock's answer, the keyring's own, questions to ask.
        {"the keyring opening lets go of every one waiting for it or for an unlock",
         [&](HeldQuestions& h) {
             h.startWaiting();
             h.hold(a1);
             auto handedOver = b1;
             handedOver.wait = HeldQuestions::Wait::keyring;
             h.put({handedOver});
             h.release({held("queued", "chat-a", 1)});
             auto all = texts(h.letGo());
             all.push_back(h.hasNext() ? "queued still to ask" : "-");
             return all;
         },
         {"a1", "b1", "queued still to ask"}},
        {"released behind those still to ask, in their place",
         [&](HeldQuestions& h) {
             auto early = held("early", "chat-a", 1);
             early.order = HeldQuestions::nextOrder();
             h.release({held("late", "chat-a", 1)});
             h.release({early});
             std::vector<std::string> asked;
             while (const auto next = h.next()) {
                 asked.push_back(next->question.text);
             }
             return asked;
         },
         {"early", "late"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HeldQuestions questions;
        EXPECT_EQ(c.steps(questions), c.expected);
    }
}

// --- The held questions of both chats, against the real view models -------------------------

// The keyring as the user meets it, the account, and the two chats (the popover's, which keeps
// no chat and hands a held one to the main window's, and the main window's, which saves its
// chats), driven through generated orders of questions, presses, unlocks, cancels, a keyring
// that locks, hangs, goes and comes back locked, sign-outs and sign-ins, questions that wait for
// the credentials, and restarts. After each step: every question asked is answered once under
// its own account, or held with one row that says what the keyring does now and whose button
// does what it says, or told it was not asked because its account went; once the keyring is
// open nothing stays held.
class HeldQuestionsModel : public test::ChatFixture {
  public:
    enum class Step {
        askMain,
        askPopover,
        pressMain,
        pressPopover,
        popoverNewChat,
        typePassword,
        cancelPrompt,
        unlockElsewhere,
        lock,
        hang,
        vanish,
        appearLocked,
        signOut,
        signIn,
        credentialsDue,
        credentialsArrive,
        restart,
    };

    enum class Keyring { open, locked, hung, absent };

    HeldQuestionsModel() {
        std::ofstream(storeFolder / "sessions.db") << "";
        store = std::make_shared<test::FakeSessionStore>(storeFolder / "sessions.db");
        runner->setScript(test::FakeChatHelperRunner::answering("answer"));
        start();
    }
    ~HeldQuestionsModel() override { quit(); }

    void TestBody() override {}

    // Runs `steps`, checking after each; the first broken rule, with the steps that led to it.
    std::optional<std::string> run(const std::vector<Step>& steps) {
        for (const auto step : steps) {
            trail_ += std::string(name(step)) + " ";
            take(step);
            if (auto broken = check()) {
                return trail_ + "\n" + *broken;
            }
        }
        return std::nullopt;
    }

    static std::string_view name(Step step) {
        static constexpr std::string_view names[] = {
            "askMain",        "askPopover",   "pressMain",      "pressPopover",
            "popoverNewChat", "typePassword", "cancelPrompt",   "unlockElsewhere",
            "lock",           "hang",         "vanish",         "appearLocked",
            "signOut",        "signIn",       "credentialsDue", "credentialsArrive",
            "restart"};
        return names[static_cast<int>(step)];
    }

  private:
    struct Asked {
        // The account (across runs) it was asked under.
        int account = 0;
        bool told = false;
    };

    AuthMode mode() const {
        if (signedOut_) {
            return AuthMode::none();
        }
        switch (keyring_) {
            case Keyring::open:
                return AuthMode::managed("token-" + std::to_string(account_), "access");
            case Keyring::locked:
                return AuthMode::keyringLocked();
            case Keyring::hung:
                return AuthMode::keyringNotAnswering();
            case Keyring::absent:
                return AuthMode::keyringNotAvailable();
        }
        return AuthMode::none();
    }

    std::shared_ptr<ChatViewModel> makeChat(bool persists) {
        auto deps = dependencies(persists);
        deps.authModeProvider = [this] { return mode(); };
        deps.authModeKnown = [this] { return !credentialsDue_ && !starting_; };
        deps.unlockKeyring = [this](auto done) {
            if (unlockWaiters_.empty()) {
                ++prompts_;
            }
            unlockWaiters_.push_back(std::move(done));
        };
        deps.askKeyringAgain = [this](auto done) {
            ++askedAgain_;
            if (!unlockWaiters_.empty()) {
                unlockWaiters_.push_back([done](const auto&) { done(); });
                return;
            }
            main.post([this, done] {
                arrived();
                done();
            });
        };
        deps.observeCredentials = [this](std::function<void()> changed) {
            auto id = std::make_shared<int>(nextObserver_++);
            observers_[*id] = std::move(changed);
            return Subscription([this, id] { observers_.erase(*id); });
        };
        deps.keyringUnlockUnderWay = [this] { return !unlockWaiters_.empty(); };
        deps.accountChanges = [this] { return steps_; };
        if (!persists) {
            deps.keeperOfHeldChats = [this] { return main_; };
        }
        return ChatViewModel::make(std::move(deps));
    }

    void start() {
        steps_ = 0;
        // The saved chats are read before the keyring's first answer is in.
        starting_ = true;
        main_ = makeChat(true);
        popover_ = makeChat(false);
        drain();
        starting_ = false;
        arrived();
        drain();
    }

    void quit() {
        if (!main_) {
            return;
        }
        // The popover first, as the shell quits them.
        popover_->stopRunningTurns();
        main_->stopRunningTurns();
        unlockWaiters_.clear();
        popover_.reset();
        main_.reset();
        drain();
    }

    // The keyring's answer reaches every chat, then those who waited for the unlock.
    void arrived() {
        auto observers = observers_;
        for (auto& [id, changed] : observers) {
            changed();
        }
    }
    void answerUnlock(std::optional<std::string> failure) {
        arrived();
        for (auto& waiter : std::exchange(unlockWaiters_, {})) {
            waiter(failure);
        }
    }

    void drain() {
        // A question waiting for the credentials holds the worker until they are known.
        while ((credentialsDue_ ? 0 : worker.runUntilIdle()) + main.runUntilIdle() > 0) {
        }
    }

    void ask(ChatViewModel& chat) {
        if (signedOut_) {
            return;
        }
        const std::string text = "question " + std::to_string(asked_.size() + 1);
        chat.inputText.set(text);
        chat.send();
        if (chat.inputText.get().empty()) {
            asked_[text] = {account_, false};
        } else {
            chat.inputText.set("");
        }
    }

    // The button the chat shows for its question, or below it.
    static std::optional<std::string_view> button(const ChatViewModel& chat) {
        const auto& shown = chat.state.get();
        if (shown.asFailed() != nullptr) {
            return chat_presentation::errorRowAction(shown, chat.keyringLocked.get());
        }
        if (chat_presentation::keyringRowText(shown, chat.keyringLocked.get(),
                                              chat.askingKeyring.get())) {
            return chat_presentation::keyringRowAction(chat.askingKeyring.get());
        }
        return std::nullopt;
    }

    void press(ChatViewModel& chat) {
        pressed_ = button(chat);
        if (!pressed_) {
            return;
        }
        promptsBefore_ = prompts_;
        askedAgainBefore_ = askedAgain_;
        chat.unlockKeyring();
    }

    void take(Step step) {
        pressed_.reset();
        // While the credentials are due (a resolution that hangs) the keyring answers nothing:
        // questions wait for it, and the user may sign out or in, or quit.
        if (credentialsDue_ && step != Step::askMain && step != Step::askPopover &&
            step != Step::popoverNewChat && step != Step::signOut && step != Step::signIn &&
            step != Step::credentialsArrive && step != Step::restart) {
            return;
        }
        switch (step) {
            case Step::askMain:
                ask(*main_);
                break;
            case Step::askPopover:
                ask(*popover_);
                break;
            case Step::pressMain:
                press(*main_);
                break;
            case Step::pressPopover:
                press(*popover_);
                break;
            case Step::popoverNewChat:
                popover_->startNewSession();
                break;
            case Step::typePassword:
            case Step::unlockElsewhere:
                // Typed into the prompt of an unlock under way, or another client's unlock.
                if (keyring_ == Keyring::locked &&
                    (step == Step::unlockElsewhere || !unlockWaiters_.empty())) {
                    keyring_ = Keyring::open;
                    if (!unlockWaiters_.empty()) {
                        answerUnlock(std::nullopt);
                    } else {
                        arrived();
                    }
                }
                break;
            case Step::cancelPrompt:
                if (!unlockWaiters_.empty()) {
                    answerUnlock("The unlock was cancelled.");
                }
                break;
            case Step::lock:
            case Step::hang:
            case Step::vanish:
            case Step::appearLocked:
                if (step == Step::appearLocked
                        ? keyring_ != Keyring::absent
                        : keyring_ == Keyring::absent && step != Step::vanish) {
                    break;
                }
                keyring_ = step == Step::lock     ? Keyring::locked
                           : step == Step::hang   ? Keyring::hung
                           : step == Step::vanish ? Keyring::absent
                                                  : Keyring::locked;
                if (!unlockWaiters_.empty() && keyring_ != Keyring::locked) {
                    // Its prompt ends with the daemon that hung or went.
                    answerUnlock("The keyring went away with its prompt open.");
                } else {
                    arrived();
                }
                break;
            case Step::signOut:
            case Step::signIn:
                if (signedOut_ == (step == Step::signOut)) {
                    break;
                }
                signedOut_ = step == Step::signOut;
                ++steps_;
                ++account_;
                if (!signedOut_) {
                    keyring_ = Keyring::open;
                }
                arrived();
                break;
            case Step::credentialsDue:
                credentialsDue_ = true;
                break;
            case Step::credentialsArrive:
                if (credentialsDue_) {
                    credentialsDue_ = false;
                    arrived();
                }
                break;
            case Step::restart:
                quit();
                credentialsDue_ = false;
                start();
                break;
        }
        drain();
    }

    // Where the question `text` stands in the chat that holds it: its row, if it has one.
    std::optional<ChatState> rowOf(const std::string& text) const {
        for (const auto* chat : {main_.get(), popover_.get()}) {
            for (const auto& session : chat->sessions.get()) {
                for (const auto& message : session->messages) {
                    if (message.role != ChatRole::user || message.text != text) {
                        continue;
                    }
                    if (chat->state.get().showsQuestion(message.id)) {
                        return chat->state.get();
                    }
                    if (const auto* ended = chat->endedTurn(message.id)) {
                        return *ended;
                    }
                }
            }
        }
        return std::nullopt;
    }

    std::optional<std::string> check() {
        using Problem = ChatState::CredentialProblem;
        std::map<std::string, std::vector<std::string>> tokens;
        for (const auto& input : runner->inputs()) {
            tokens[input.question].push_back(input.credentials.customerToken.value_or(""));
        }
        for (const auto& [text, sent] : tokens) {
            const auto asked = asked_.find(text);
            if (asked == asked_.end() || sent.size() != 1) {
                return text + " reached the helper " + std::to_string(sent.size()) + " times";
            }
            if (sent.front() != "token-" + std::to_string(asked->second.account)) {
                return text + " reached the helper under another account: '" + sent.front() + "'";
            }
        }
        const Problem now = keyring_ == Keyring::locked   ? Problem::keyringLocked
                            : keyring_ == Keyring::hung   ? Problem::keyringNotAnswering
                            : keyring_ == Keyring::absent ? Problem::keyringNotAvailable
                                                          : Problem::none;
        const bool unlocking = !unlockWaiters_.empty();
        for (auto& [text, asked] : asked_) {
            if (tokens.contains(text) || asked.told) {
                continue;
            }
            const auto row = rowOf(text);
            const auto* failed = row ? row->asFailed() : nullptr;
            if (failed != nullptr &&
                (failed->error == ChatViewModel::heldQuestionSignedOutText ||
                 failed->error == ChatViewModel::heldQuestionOtherAccountText)) {
                if (asked.account == account_ && !signedOut_) {
                    return text + " was said not asked under its own account";
                }
                asked.told = true;
                continue;
            }
            if (credentialsDue_) {
                continue;
            }
            if (failed == nullptr) {
                return text + " is neither asked nor held, nor said not asked";
            }
            if (failed->credentials == Problem::keyringUnlocking) {
                if (!unlocking) {
                    return text + " waits for an unlock no one asked for";
                }
                continue;
            }
            if (failed->credentials != now || now == Problem::none) {
                return text + " says '" + failed->error + "' while the keyring is " +
                       std::to_string(static_cast<int>(keyring_));
            }
        }
        for (const auto* chat : {main_.get(), popover_.get()}) {
            // The keyring row below the transcript never under a question that has its own.
            const auto transcript = chat->transcript();
            if (!transcript.empty() &&
                chat_presentation::keyringRowText(chat->state.get(), chat->keyringLocked.get(),
                                                  chat->askingKeyring.get())) {
                const auto* ended = chat->endedTurn(transcript.back().id);
                const auto* last = ended != nullptr ? ended->asFailed() : nullptr;
                if (last != nullptr && !ChatViewModel::heldText(last->credentials).empty()) {
                    return "a keyring row below '" + last->error + "'";
                }
            }
            const auto* failed = chat->state.get().asFailed();
            if (failed != nullptr && !ChatViewModel::heldText(failed->credentials).empty()) {
                if (chat_presentation::keyringRowText(chat->state.get(), chat->keyringLocked.get(),
                                                      chat->askingKeyring.get())) {
                    return std::string("a second keyring row beside the question's own");
                }
                if (failed->credentials != Problem::keyringUnlocking && !button(*chat)) {
                    return "'" + failed->error + "' has no button";
                }
            }
        }
        if (pressed_ && !credentialsDue_) {
            const bool unlock = *pressed_ == chat_presentation::unlockKeyringAction;
            // The prompt stays open until the user answers it.
            if (unlock && unlockWaiters_.empty()) {
                return std::string("Unlock Keyring opened no prompt");
            }
            if (!unlock && askedAgain_ == askedAgainBefore_) {
                return std::string("Try Again asked nothing");
            }
            if (!unlock && prompts_ != promptsBefore_) {
                return std::string("Try Again opened a prompt");
            }
        }
        return std::nullopt;
    }

    std::shared_ptr<ChatViewModel> main_;
    std::shared_ptr<ChatViewModel> popover_;
    std::map<int, std::function<void()>> observers_;
    int nextObserver_ = 0;
    std::vector<std::function<void(std::optional<std::string>)>> unlockWaiters_;
    int prompts_ = 0;
    int askedAgain_ = 0;
    Keyring keyring_ = Keyring::locked;
    bool signedOut_ = false;
    // The user's steps in this run (what the chats count), and the account across runs.
    std::uint64_t steps_ = 0;
    int account_ = 1;
    bool credentialsDue_ = false;
    bool starting_ = false;
    std::map<std::string, Asked> asked_;
    std::optional<std::string_view> pressed_;
    int promptsBefore_ = 0;
    int askedAgainBefore_ = 0;
    std::string trail_;
};

TEST(HeldQuestionsModelTest, EachQuestionIsAskedOnceOrSaysWhyThroughEveryKeyringChange) {
    using S = HeldQuestionsModel::Step;
    struct Case {
        const char* name;
        std::vector<S> steps;
    };
    const Case cases[] = {
        {"a refused popover question handed over during the main window's unlock",
         {S::askPopover, S::askMain, S::pressMain, S::popoverNewChat, S::typePassword}},
        {"a keyring that appears locked after being absent",
         {S::vanish, S::askMain, S::appearLocked, S::pressMain, S::typePassword}},
        {"a hang after a refusal",
         {S::askMain, S::pressMain, S::hang, S::pressMain, S::unlockElsewhere}},
        {"a sign-out while a question waits for the credentials",
         {S::unlockElsewhere, S::credentialsDue, S::askMain, S::signOut, S::credentialsArrive}},
        {"a restart with questions held",
         {S::askMain, S::askPopover, S::restart, S::pressMain, S::typePassword}},
        {"a restart while a question waits for the credentials",
         {S::unlockElsewhere, S::credentialsDue, S::askMain, S::restart}},
        {"a restart after a sign-in elsewhere", {S::askMain, S::restart, S::signOut, S::signIn}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HeldQuestionsModel model;
        EXPECT_EQ(model.run(c.steps), std::nullopt);
    }
}

TEST(HeldQuestionsModelTest, GeneratedOrdersOfQuestionsAndKeyringChanges) {
    test::checkProperty("held questions", 400, 60, [] {
        using S = HeldQuestionsModel::Step;
        // The user's own steps more often than the keyring's.
        const auto steps = *rc::gen::container<std::vector<S>>(rc::gen::weightedElement<S>({
            {4, S::askMain},
            {4, S::askPopover},
            {4, S::pressMain},
            {4, S::pressPopover},
            {3, S::popoverNewChat},
            {3, S::typePassword},
            {1, S::cancelPrompt},
            {1, S::unlockElsewhere},
            {1, S::lock},
            {1, S::hang},
            {1, S::vanish},
            {1, S::appearLocked},
            {1, S::signOut},
            {1, S::signIn},
            {1, S::credentialsDue},
            {2, S::credentialsArrive},
            {1, S::restart},
        }));
        HeldQuestionsModel model;
        if (const auto broken = model.run(steps)) {
            RC_FAIL(*broken);
        }
    });
}

}  // namespace
}  // namespace vask
