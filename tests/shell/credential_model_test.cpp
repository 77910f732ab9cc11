// The whole credential state machine against a small model, with generated sequences of keyring
// events and user actions (RapidCheck), each action run in a launch that may die after any of its
// writes. Checked after each step, at the next start: a sign-out is never undone, no token comes
// back after a sign-out, a sign-in is never lost, and Settings' and the chats' words are those the
// model names for the keyring's state.
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>
#include <rapidcheck/state.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "chat/chat_presenters.h"
#include "chat/chat_view_model.h"
#include "credential_model.h"
#include "foundation/account_storage.h"
#include "foundation/auth_mode_resolver.h"
#include "foundation/secret_storage_choice.h"
#include "platform/file_secret_backend.h"
#include "platform/in_memory_secret_backend.h"
#include "shell/settings_presenter.h"
#include "support/app_root_fixture.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/property_check.h"
#include "support/stub_http_server.h"
#include "support/temp_dir.h"
#include "support/watched_defaults.h"

namespace vask {
namespace {

constexpr const char* service = "svc";
using AfterWrite = std::function<void()>;

using test::Keyring;

// The keyring's items, kept in a file of their own so that what it took outlives a launch that
// dies, answering as its state says.
class ModelKeyring final : public SecretBackend {
  public:
    ModelKeyring(const std::filesystem::path& file, const Keyring& state)
        : items_(file), state_(state) {}

    ReadResult copyMatching(std::string_view svc, std::string_view account) override {
        if (const auto no = refusal()) {
            return {no->status, std::nullopt, no->reason};
        }
        return items_.copyMatching(svc, account);
    }
    Outcome update(std::string_view svc, std::string_view account, std::string_view data) override {
        return refusal() ? *refusal() : items_.update(svc, account, data);
    }
    Outcome add(std::string_view svc, std::string_view account, std::string_view data) override {
        return refusal() ? *refusal() : items_.add(svc, account, data);
    }
    Outcome remove(std::string_view svc, std::string_view account) override {
        return refusal() ? *refusal() : items_.remove(svc, account);
    }
    Outcome removeService(std::string_view svc) override {
        return refusal() ? *refusal() : items_.removeService(svc);
    }
    // The user typed the password before this is asked (the harness unlocked it).
    Outcome unlock(std::string_view) override { return refusal().value_or(success); }
    std::string_view kind() const override { return "model"; }

  private:
    std::optional<Outcome> refusal() const {
        switch (state_) {
            case Keyring::unlocked:
                return std::nullopt;
            case Keyring::locked:
                return Outcome(interactionNotAllowed, "the keyring is locked");
            case Keyring::hung:
                return Outcome(cancelled, "the Secret Service did not answer in time");
            case Keyring::gone:
                return Outcome(notAvailable, "no Secret Service");
        }
        return std::nullopt;
    }

    FileSecretBackend items_;
    const Keyring& state_;
};

// The system: a data folder, the keyring, and what the user's account may be after what ran
// (a launch that died leaves one of several), narrowed by what each start shows.
struct Harness {
    test::TempDir dir;
    test::FakeClock clock;
    Keyring keyring = Keyring::unlocked;
    test::AccountModel account;

    SecretStorageChoice::Keyring desktop() {
        return {
            .connect = [this](SecretBackend::Outcome& whyNot) -> std::shared_ptr<SecretBackend> {
                if (keyring == Keyring::hung) {
                    whyNot = {SecretBackend::cancelled, "did not answer in time"};
                    return nullptr;
                }
                if (keyring == Keyring::gone) {
                    whyNot = {SecretBackend::notAvailable, "no Secret Service"};
                    return nullptr;
                }
                return std::make_shared<ModelKeyring>(dir / "keyring.json", keyring);
            },
            .defaultKeyring =
                [this](std::string& whyNot) -> std::optional<LibsecretBackend::DefaultKeyring> {
                if (keyring == Keyring::unlocked) {
                    return LibsecretBackend::DefaultKeyring::unlocked;
                }
                if (keyring == Keyring::locked) {
                    return LibsecretBackend::DefaultKeyring::locked;
                }
                whyNot = "no answer";
                return std::nullopt;
            },
        };
    }
};

// One start of the application over the data folder: the storage chosen (settling the record
// into an unlocked keyring), the settings, the account's stores.
struct Launch {
    Launch(Harness& h, const AfterWrite& afterWrite)
        : defaults(h.dir / "settings.json", afterWrite),
          storage(SecretStorageChoice{.keyring = h.desktop(),
                                      .supportDirectory = [&h] { return h.dir.path(); },
                                      .defaults = defaults,
                                      .keptKey = "kept",
                                      .clock = h.clock,
                                      .afterWrite = afterWrite}
                      .choose()) {}

    AccountStorage account() { return {tokens, cloud, keys, &keychain, &record}; }
    AuthMode resolve() {
        return AuthModeResolver{tokens, cloud, keys, {}, false, StructuredLogger("auth-mode"),
                                &record}
            .resolve();
    }

    test::WatchedDefaults defaults;
    std::shared_ptr<SecretBackend> storage;
    KeychainStore keychain{service, storage};
    CloudAuthStore cloud{keychain};
    CustomerTokenStore tokens{keychain};
    APIKeyStore keys{keychain};
    SignInRecord record{defaults, "account.signedIn"};
};

enum class Ended { killed, done, threw };

// Runs `step` in a launch that dies right after its `killAt`-th write (a forked one), or in one
// of this process's own that does not die (0).
Ended inLaunch(Harness& h, int killAt, const std::function<void(Launch&)>& step) {
    if (killAt == 0) {
        try {
            Launch launch(h, {});
            step(launch);
        } catch (...) {
            return Ended::threw;
        }
        return Ended::done;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        int writes = 0;
        try {
            Launch launch(h, [&] {
                if (++writes == killAt) {
                    ::_exit(0);
                }
            });
            step(launch);
        } catch (...) {
            ::_exit(2);
        }
        ::_exit(1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    RC_ASSERT(WIFEXITED(status));
    return WEXITSTATUS(status) == 0   ? Ended::killed
           : WEXITSTATUS(status) == 1 ? Ended::done
                                      : Ended::threw;
}

// What the next start shows, checked against the model, which it then narrows.
void checkNextStart(Harness& h) {
    Launch launch(h, {});
    h.account.checkStart(h.keyring, test::StartShown::of(launch.resolve()));
}

using Model = test::SequenceModel;
using Command = rc::state::Command<Model, Harness>;

struct SignIn final : Command {
    int killAt = test::killPoint();
    void apply(Model& m) const override { ++m.signIns; }
    void run(const Model& m, Harness& h) const override {
        const std::string token = m.nextToken();
        const auto ended = inLaunch(
            h, killAt, [&](Launch& l) { l.account().store(test::StartShown::accountOf(token)); });
        h.account.signedIn(token, ended == Ended::done);
        checkNextStart(h);
    }
    void show(std::ostream& os) const override { os << "SignIn(killAt=" << killAt << ")"; }
};

struct SignOut final : Command {
    int killAt = test::killPoint();
    void run(const Model&, Harness& h) const override {
        const auto ended = inLaunch(h, killAt, [](Launch& l) { l.account().remove(); });
        h.account.signedOut(ended == Ended::done);
        checkNextStart(h);
    }
    void show(std::ostream& os) const override { os << "SignOut(killAt=" << killAt << ")"; }
};

// Unlock pressed, and the password typed into the keyring's prompt.
struct Unlock final : Command {
    int killAt = test::killPoint();
    void checkPreconditions(const Model& m) const override { RC_PRE(m.keyring == Keyring::locked); }
    void apply(Model& m) const override { m.keyring = Keyring::unlocked; }
    void run(const Model&, Harness& h) const override {
        h.keyring = Keyring::unlocked;
        inLaunch(h, killAt, [](Launch& l) { l.storage->unlock(service); });
        checkNextStart(h);
    }
    void show(std::ostream& os) const override { os << "Unlock(killAt=" << killAt << ")"; }
};

// A start (or Try Again: the credentials read afresh), which settles the record into an unlocked
// keyring.
struct Restart final : Command {
    int killAt = test::killPoint();
    void run(const Model&, Harness& h) const override {
        inLaunch(h, killAt, [](Launch& l) { l.resolve(); });
        checkNextStart(h);
    }
    void show(std::ostream& os) const override { os << "Restart(killAt=" << killAt << ")"; }
};

// The keyring changes on its own: locked, unlocked outside Vask, hung, gone, appearing (locked
// or not), or restarted (a new daemon, locked).
struct KeyringChange final : Command {
    Keyring to =
        *rc::gen::element(Keyring::unlocked, Keyring::locked, Keyring::hung, Keyring::gone);
    void checkPreconditions(const Model& m) const override { RC_PRE(m.keyring != to); }
    void apply(Model& m) const override { m.keyring = to; }
    void run(const Model&, Harness& h) const override {
        h.keyring = to;
        checkNextStart(h);
    }
    void show(std::ostream& os) const override { os << "Keyring(" << nameOf(to) << ")"; }
};

// The settings file damaged (cut short by a crash elsewhere, edited by hand).
struct DamageSettings final : Command {
    void run(const Model&, Harness& h) const override {
        std::ofstream(h.dir / "settings.json", std::ios::trunc) << "{\"account.signedIn\": tr";
        h.account.recordUnknown = true;
        checkNextStart(h);
    }
    void show(std::ostream& os) const override { os << "DamageSettings"; }
};

TEST(CredentialModelTest, EveryGeneratedSequenceKeepsWhatTheUserDid) {
    test::checkProperty(
        "CredentialModelTest/EveryGeneratedSequenceKeepsWhatTheUserDid", 250, 30, [] {
            test::LogCapture quiet;
            Harness harness;
            rc::state::check(Model{}, harness,
                             rc::state::gen::execOneOfWithArgs<SignIn, SignOut, Unlock, Restart,
                                                               KeyringChange, DamageSettings>());
        });
}

// The unlock and the two chats against a model: one running application (a root on manual
// executors), signed in behind a keyring locked at start whose unlock waits on its prompt. The
// generated sequences ask in either chat, press Unlock in either, type the password, start a new
// chat in the popover, unlock the keyring elsewhere (with Vask's prompt open or not), and restart
// the keyring's daemon (with its prompt open or not: the new one is locked). Checked once each
// step has settled: the keyring's prompt is open exactly when the model says an unlock is under
// way, and with none under way no chat waits for one or says so; every chat says locked exactly
// while the keyring is; every question the keyring held back or refused goes out once it opens,
// however it opens and wherever its chat went, none is dropped, and none is left saying the
// keyring holds it back.

// The desktop's keyring as its prompt shows it: locked until the password is typed into the
// prompt an unlock opened; a daemon that goes ends the prompt it showed as not answered (as
// LibsecretBackend's wait for the prompt does), and the one that takes its place is locked.
class PromptedKeyring final : public SecretBackend {
  public:
    ReadResult copyMatching(std::string_view svc, std::string_view account) override {
        {
            std::lock_guard lock(mutex_);
            if (locked_) {
                return interactionNotAllowed;
            }
        }
        return items_.copyMatching(svc, account);
    }
    Outcome update(std::string_view svc, std::string_view account, std::string_view data) override {
        return items_.update(svc, account, data);
    }
    Outcome add(std::string_view svc, std::string_view account, std::string_view data) override {
        return items_.add(svc, account, data);
    }
    Outcome remove(std::string_view svc, std::string_view account) override {
        return items_.remove(svc, account);
    }
    Outcome unlock(std::string_view) override {
        std::unique_lock lock(mutex_);
        if (closed_) {
            return {cancelled, "Vask is quitting"};
        }
        if (!locked_) {
            return success;
        }
        const int daemon = daemon_;
        promptOpen_ = true;
        ++prompts_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !promptOpen_ || daemon_ != daemon; });
        if (daemon_ != daemon) {
            return {cancelled, "the keyring went away with its prompt open"};
        }
        if (locked_) {
            return {interactionNotAllowed, "the keyring stayed locked"};
        }
        return success;
    }
    void askAgain() override {
        std::lock_guard lock(mutex_);
        ++asked_;
    }
    std::string_view kind() const override { return "prompted"; }

    // The password typed into the open prompt.
    void type() {
        std::lock_guard lock(mutex_);
        if (promptOpen_) {
            promptOpen_ = false;
            locked_ = false;
            changed_.notify_all();
        }
    }
    // The prompt's Cancel pressed: the keyring stays locked.
    void cancel() {
        std::lock_guard lock(mutex_);
        promptOpen_ = false;
        changed_.notify_all();
    }
    // Unlocked by another client with Vask's prompt open: the unlock sees the keyring's Locked
    // turn false and ends as answered (LibsecretBackend follows the collection's properties).
    void unlockElsewhere() {
        std::lock_guard lock(mutex_);
        locked_ = false;
        promptOpen_ = false;
        changed_.notify_all();
    }
    // The daemon restarted: its prompt ends, and the new one is locked.
    void restart() {
        std::lock_guard lock(mutex_);
        ++daemon_;
        promptOpen_ = false;
        locked_ = true;
        changed_.notify_all();
    }
    // Vask quits: whatever it asks from here on is given up.
    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        ++daemon_;
        promptOpen_ = false;
        changed_.notify_all();
    }
    void setLocked(bool locked) {
        std::lock_guard lock(mutex_);
        locked_ = locked;
    }
    bool promptOpen() const {
        std::lock_guard lock(mutex_);
        return promptOpen_;
    }
    int prompts() const {
        std::lock_guard lock(mutex_);
        return prompts_;
    }
    int asked() const {
        std::lock_guard lock(mutex_);
        return asked_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool locked_ = false;
    bool promptOpen_ = false;
    bool closed_ = false;
    int daemon_ = 0;
    int prompts_ = 0;
    int asked_ = 0;
    InMemorySecretBackend items_;
};

enum class Chat { main, popover };

const char* nameOf(Chat chat) {
    return chat == Chat::main ? "main" : "popover";
}

// What the sequences see: the keyring, its prompt, the account, and the questions of each chat.
struct UnlockModel {
    bool locked = true;
    bool prompt = false;
    bool signedIn = true;
    // Questions the keyring holds back (an unlock under way holds them, or it refused them with
    // none under way), by the chat that asks them once it answers, however it answers.
    int held[2] = {0, 0};
    // Questions that must have gone out signed in, all that may have gone out (signed in or
    // not), and all asked.
    int mustGoOut = 0;
    int mayGoOut = 0;
    int asked = 0;
    // Held questions told they were not asked: their account went.
    int notAsked = 0;

    // The unlock ended unanswered (cancelled, its daemon gone): what it held stays held, each
    // row saying locked, with Unlock.
    void unlockEndedUnanswered() { prompt = false; }
    // The keyring answered (the password typed, or unlocked elsewhere, with Vask's prompt open
    // or not): what was held goes out.
    void unlocked() {
        locked = false;
        prompt = false;
        mustGoOut += held[0] + held[1];
        mayGoOut += held[0] + held[1];
        held[0] = held[1] = 0;
    }
    // The account changed (signed out, or in again): nothing held goes out, each says so.
    void accountChanged(bool nowSignedIn) {
        notAsked += held[0] + held[1];
        held[0] = held[1] = 0;
        signedIn = nowSignedIn;
    }
};

// The running application: its root, both chats, the keyring and the bus's word of it.
struct UnlockSystem {
    explicit UnlockSystem(const std::string& relay)
        : f({.extra = {{"VASK_RLM_HELPER_CMD", "/bin/true"},
                       {"VASK_RELAY_BASE_URL", relay},
                       {"VASK_CLOUD_BASE_URL", relay}},
             .secrets = keyring,
             .watchKeyring = [this](std::function<void(bool)> changed) {
                 presence = std::move(changed);
                 return Subscription([this] { presence = nullptr; });
             }}) {
        f.signIn();
        keyring->setLocked(true);
        f.restart();
        chats[0] = f.root->chatViewModel();
        chats[1] = f.root->popoverChatViewModel();
        f.drain();
        askedBefore = keyring->asked();
        arrivals = f.root->observeAuthModeArrivals([this] { ++arrived; });
    }
    ~UnlockSystem() {
        // An unlock still waiting on the prompt ends before the root goes.
        keyring->close();
        f.drain();
        arrivals.cancel();
    }
    UnlockSystem(const UnlockSystem&) = delete;
    UnlockSystem& operator=(const UnlockSystem&) = delete;

    ChatViewModel& chat(Chat which) { return *chats[which == Chat::main ? 0 : 1]; }

    // Every question to the keyring answered and its answer run, or waiting on the open prompt
    // (each starts by asking a keyring that did not answer once more, and ends by telling the
    // mode that arrived).
    void settle() {
        const bool settled = f.main.runUntil([&] {
            f.worker.runUntilIdle();
            return arrived + (keyring->promptOpen() ? 1 : 0) >= keyring->asked() - askedBefore;
        });
        RC_ASSERT(settled);
        f.drain();
    }
    // A sign-in or sign-out, told to every view by an arrival of its own, not by a question to
    // the keyring: waits for it and for any question the step asked, and counts it out of
    // settle()'s reckoning.
    void accountStep(const std::function<void()>& step) {
        const int before = arrived;
        const int askedAtStart = keyring->asked();
        step();
        const bool told = f.main.runUntil([&] {
            f.worker.runUntilIdle();
            return arrived - before >= 1 + (keyring->asked() - askedAtStart);
        });
        RC_ASSERT(told);
        f.drain();
        askedBefore -= 1;
    }
    long wentOut() const { return test::questionsSentSignedIn(log); }
    long wentOutAtAll() const { return static_cast<long>(log->events("chat_send_started").size()); }

    test::LogCapture log;
    std::shared_ptr<PromptedKeyring> keyring = std::make_shared<PromptedKeyring>();
    std::function<void(bool)> presence;
    test::AppRootFixture f;
    std::shared_ptr<ChatViewModel> chats[2];
    int askedBefore = 0;
    int arrived = 0;
    Subscription arrivals;
};

// The application against the model, after a step has settled.
void checkAgainstModel(const UnlockModel& m, UnlockSystem& s) {
    RC_ASSERT(s.keyring->promptOpen() == m.prompt);
    RC_ASSERT(s.f.root->keyringUnlockUnderWay() == m.prompt);
    const auto waits = [](const ChatState* ended) {
        const auto* failed = ended != nullptr ? ended->asFailed() : nullptr;
        return failed != nullptr && failed->error == ChatViewModel::keyringUnlockingText;
    };
    for (const Chat which : {Chat::main, Chat::popover}) {
        auto& chat = s.chat(which);
        RC_ASSERT(chat.keyringLocked.get() == (m.locked && m.signedIn));
        // One notice per question: a chat whose last question says what the keyring holds it
        // back for shows no second keyring row beneath it.
        const auto shown = chat.displayMessages();
        if (!shown.empty()) {
            const auto* ended = chat.endedTurn(shown.back().id);
            const auto* failed = ended != nullptr ? ended->asFailed() : nullptr;
            using Problem = ChatState::CredentialProblem;
            if (failed != nullptr && (failed->credentials == Problem::keyringLocked ||
                                      failed->credentials == Problem::keyringUnlocking)) {
                RC_ASSERT(!chat_presentation::keyringRowText(
                    chat.state.get(), chat.keyringLocked.get(), chat.askingKeyring.get()));
            }
        }
        if (!m.locked && m.signedIn) {
            // The keyring open: no question of any chat is left saying it holds it back.
            const auto heldBack = [](const ChatState* ended) {
                const auto* failed = ended != nullptr ? ended->asFailed() : nullptr;
                return failed != nullptr && !ChatViewModel::heldText(failed->credentials).empty();
            };
            const auto state = chat.state.get();
            RC_ASSERT(!heldBack(&state));
            for (const auto& session : chat.sessions.get()) {
                for (const auto& message : session->messages) {
                    RC_ASSERT(!heldBack(chat.endedTurn(message.id)));
                }
            }
        }
        if (!m.prompt) {
            // No unlock under way: none waited for, nor named, under any question of any chat
            // (one handed to the main window too).
            RC_ASSERT(!chat.askingKeyring.get());
            const auto state = chat.state.get();
            RC_ASSERT(!waits(&state));
            for (const auto& session : chat.sessions.get()) {
                for (const auto& message : session->messages) {
                    RC_ASSERT(!waits(chat.endedTurn(message.id)));
                }
            }
        }
    }
    const long out = s.wentOut();
    RC_ASSERT(out >= m.mustGoOut);
    RC_ASSERT(out <= m.asked);
    // Nothing held goes out after its account went, and nothing twice.
    RC_ASSERT(s.wentOutAtAll() <= m.mayGoOut);
    RC_ASSERT(s.log->events("held_question_dropped").empty());
    RC_ASSERT(static_cast<long>(s.log->events("held_question_not_asked_account_changed").size()) ==
              m.notAsked);
}

// A step of the unlock model, whose run checks the system against the model it leaves.
struct UnlockCommand : rc::state::Command<UnlockModel, UnlockSystem> {
    UnlockModel applied(const UnlockModel& m) const {
        UnlockModel next = m;
        apply(next);
        return next;
    }
};

Chat anyChat() {
    return *rc::gen::element(Chat::main, Chat::popover);
}
int indexOf(Chat chat) {
    return chat == Chat::main ? 0 : 1;
}

struct Ask final : UnlockCommand {
    Chat in = anyChat();
    void apply(UnlockModel& m) const override {
        const int c = indexOf(in);
        ++m.asked;
        if (!m.signedIn) {
            // Asked signed out: it goes out without credentials, and is refused.
            ++m.mayGoOut;
        } else if (!m.locked) {
            ++m.mustGoOut;
            ++m.mayGoOut;
        } else {
            // Held for the unlock under way, or refused ("locked", with Unlock) with none.
            ++m.held[c];
        }
    }
    void run(const UnlockModel& m, UnlockSystem& s) const override {
        auto& chat = s.chat(in);
        chat.inputText.set("question " + std::to_string(m.asked + 1));
        chat.send();
        s.settle();
        checkAgainstModel(applied(m), s);
    }
    void show(std::ostream& os) const override { os << "Ask(" << nameOf(in) << ")"; }
};

struct PressUnlock final : UnlockCommand {
    Chat in = anyChat();
    void checkPreconditions(const UnlockModel& m) const override { RC_PRE(m.locked && m.signedIn); }
    void apply(UnlockModel& m) const override { m.prompt = true; }
    void run(const UnlockModel& m, UnlockSystem& s) const override {
        const int prompts = s.keyring->prompts();
        s.chat(in).unlockKeyring();
        if (!m.prompt) {
            // The unlock's question runs on a thread of its own until the prompt shows.
            // (A prompt that never opens fails the step after a while.)
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (s.keyring->prompts() == prompts && std::chrono::steady_clock::now() < giveUp) {
                // An unlock pressed while the keyring is asked again is asked after its answer.
                s.f.drain();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            RC_ASSERT(s.keyring->prompts() > prompts);
        }
        s.settle();
        checkAgainstModel(applied(m), s);
    }
    void show(std::ostream& os) const override { os << "Unlock(" << nameOf(in) << ")"; }
};

struct TypePassword final : UnlockCommand {
    void checkPreconditions(const UnlockModel& m) const override { RC_PRE(m.prompt); }
    void apply(UnlockModel& m) const override { m.unlocked(); }
    void run(const UnlockModel& m, UnlockSystem& s) const override {
        s.keyring->type();
        s.settle();
        checkAgainstModel(applied(m), s);
    }
    void show(std::ostream& os) const override { os << "TypePassword"; }
};

// The popover leaves its chat for a new one.
struct NewPopoverChat final : UnlockCommand {
    void apply(UnlockModel& m) const override {
        // What it holds is asked where its chat is kept.
        m.held[0] += m.held[1];
        m.held[1] = 0;
    }
    void run(const UnlockModel& m, UnlockSystem& s) const override {
        const std::string left = s.chat(Chat::popover).currentSessionID.get();
        s.chat(Chat::popover).startNewSession();
        s.settle();
        if (m.held[1] > 0) {
            // Kept where the main window keeps its chats, and asked there once the keyring answers.
            const auto kept = s.chat(Chat::main).savedSessions();
            RC_ASSERT(std::any_of(kept.begin(), kept.end(),
                                  [&](const auto& session) { return session->id == left; }));
        }
        checkAgainstModel(applied(m), s);
    }
    void show(std::ostream& os) const override { os << "NewPopoverChat"; }
};

// The keyring's daemon goes (crashed, or the session's keyring restarted), with its prompt open
// or not, and the bus starts a new one, locked. Credentials read before stay read.
struct DaemonRestarted final : UnlockCommand {
    void apply(UnlockModel& m) const override {
        // Credentials read before stay read: only a keyring that held them back is followed.
        if (m.prompt) {
            m.unlockEndedUnanswered();
        }
    }
    void run(const UnlockModel& m, UnlockSystem& s) const override {
        s.keyring->restart();
        if (s.presence) {
            s.presence(false);
            s.presence(true);
        }
        s.settle();
        checkAgainstModel(applied(m), s);
    }
    void show(std::ostream& os) const override { os << "DaemonRestarted"; }
};

// The prompt's Cancel pressed: the keyring stays locked.
struct CancelPrompt final : UnlockCommand {
    void checkPreconditions(const UnlockModel& m) const override { RC_PRE(m.prompt); }
    void apply(UnlockModel& m) const override { m.unlockEndedUnanswered(); }
    void run(const UnlockModel& m, UnlockSystem& s) const override {
        s.keyring->cancel();
        s.settle();
        checkAgainstModel(applied(m), s);
    }
    void show(std::ostream& os) const override { os << "CancelPrompt"; }
};

// Another client unlocks the keyring while Vask's prompt is open.
struct UnlockElsewhere final : UnlockCommand {
    void checkPreconditions(const UnlockModel& m) const override { RC_PRE(m.prompt); }
    void apply(UnlockModel& m) const override { m.unlocked(); }
    void run(const UnlockModel& m, UnlockSystem& s) const override {
        s.keyring->unlockElsewhere();
        s.settle();
        checkAgainstModel(applied(m), s);
    }
    void show(std::ostream& os) const override { os << "UnlockElsewhere"; }
};

// Another client unlocks the keyring with no prompt of Vask's open (a login keyring locked at
// start, unlocked in the desktop's own tool): Vask follows it when it next asks the keyring.
struct OpenedElsewhere final : UnlockCommand {
    void checkPreconditions(const UnlockModel& m) const override {
        RC_PRE(m.locked && !m.prompt);
    }
    void apply(UnlockModel& m) const override { m.unlocked(); }
    void run(const UnlockModel& m, UnlockSystem& s) const override {
        s.keyring->setLocked(false);
        // Vask's next question to the keyring while it holds the account back (the root's, by
        // the clock or as Vask becomes active), asked at once: this keyring answers on the main
        // thread, where the root starts no follow-up of its own. One asked before the unlock
        // (the keyring's coming back after a restart) may still be under way: its answer is
        // followed by the next question.
        for (int question = 0; question < 3; ++question) {
            bool answered = false;
            s.f.root->askKeyringAgain([&] { answered = true; });
            RC_ASSERT(s.f.main.runUntil([&] {
                s.f.worker.runUntilIdle();
                return answered;
            }));
            s.settle();
            if (!s.chat(Chat::main).keyringLocked.get()) {
                break;
            }
        }
        checkAgainstModel(applied(m), s);
    }
    void show(std::ostream& os) const override { os << "OpenedElsewhere"; }
};

// Sign Out pressed in Settings (the keyring's prompt, if open, stays open).
struct SignOutInSettings final : UnlockCommand {
    void checkPreconditions(const UnlockModel& m) const override { RC_PRE(m.signedIn); }
    void apply(UnlockModel& m) const override { m.accountChanged(false); }
    void run(const UnlockModel& m, UnlockSystem& s) const override {
        bool done = false;
        s.accountStep(
            [&] { s.f.root->sharedGoogleSignInViewModel()->signOut([&] { done = true; }); });
        RC_ASSERT(s.f.main.runUntil([&] {
            s.f.worker.runUntilIdle();
            return done;
        }));
        s.settle();
        checkAgainstModel(applied(m), s);
    }
    void show(std::ostream& os) const override { os << "SignOut"; }
};

// A sign-in (to another account), stored as a sign-in stores it.
struct SignInAgain final : UnlockCommand {
    void apply(UnlockModel& m) const override {
        m.accountChanged(true);
        // The new account's credentials are kept in memory once stored: nothing holds it back.
        m.locked = false;
    }
    void run(const UnlockModel& m, UnlockSystem& s) const override {
        s.accountStep([&] {
            s.f.root->signInRecord().noteSignedIn();
            s.f.saveAccount("user-" + std::to_string(m.notAsked + 2));
            s.f.root->resetAuthMode();
        });
        s.settle();
        checkAgainstModel(applied(m), s);
    }
    void show(std::ostream& os) const override { os << "SignIn"; }
};

TEST(CredentialModelTest, EveryGeneratedUnlockAsksWhatItHeld) {
    test::StubHttpServer relay;
    const auto base = relay.baseURL().absoluteString();
    test::checkProperty("CredentialModelTest/EveryGeneratedUnlockAsksWhatItHeld", 200, 20, [&] {
        UnlockSystem system(base);
        rc::state::check(
            UnlockModel{}, system,
            rc::state::gen::execOneOfWithArgs<Ask, PressUnlock, TypePassword, NewPopoverChat,
                                              DaemonRestarted, CancelPrompt, UnlockElsewhere,
                                              OpenedElsewhere, SignOutInSettings, SignInAgain>());
    });
}

// Sequences shrunk from faults the property found once, run as they are.
TEST(CredentialModelTest, UnlockSequencesThatFoundFaultsHold) {
    test::StubHttpServer relay;
    const auto base = relay.baseURL().absoluteString();
    test::checkProperty("CredentialModelTest/UnlockSequencesThatFoundFaultsHold", 1, 0, [&] {
        const auto unlock = [](Chat in) {
            auto command = std::make_shared<PressUnlock>();
            command->in = in;
            return command;
        };
        const auto ask = [](Chat in) {
            auto command = std::make_shared<Ask>();
            command->in = in;
            return command;
        };
        using Steps = std::vector<std::shared_ptr<const UnlockCommand>>;
        const Steps rows[] = {
            // The popover's question held behind an unlock under way, its chat left.
            {unlock(Chat::main), ask(Chat::popover), std::make_shared<NewPopoverChat>()},
            // ... and behind its own Unlock, then the password typed.
            {ask(Chat::popover), unlock(Chat::popover), std::make_shared<NewPopoverChat>(),
             std::make_shared<TypePassword>()},
            // Questions held in both chats, Sign Out with the prompt open, then the password.
            {ask(Chat::popover), unlock(Chat::popover), ask(Chat::main),
             std::make_shared<SignOutInSettings>(), std::make_shared<TypePassword>()},
            // A question the cancelled unlock left held, then Sign Out.
            {ask(Chat::popover), unlock(Chat::popover), std::make_shared<CancelPrompt>(),
             std::make_shared<SignOutInSettings>()},
            // Held, signed in again with the prompt open, then the password.
            {unlock(Chat::main), ask(Chat::main), std::make_shared<SignInAgain>(),
             std::make_shared<TypePassword>()},
            // The popover's held question handed to the main window with its new chat, then the
            // prompt cancelled (or its daemon gone), then Unlock and the password: asked once.
            {ask(Chat::popover), unlock(Chat::popover), std::make_shared<NewPopoverChat>(),
             std::make_shared<CancelPrompt>(), unlock(Chat::main),
             std::make_shared<TypePassword>()},
            {ask(Chat::popover), unlock(Chat::popover), ask(Chat::main),
             std::make_shared<NewPopoverChat>(), std::make_shared<DaemonRestarted>(),
             unlock(Chat::main), std::make_shared<TypePassword>()},
            // Unlocked by another client with Vask's prompt open.
            {ask(Chat::main), unlock(Chat::main), ask(Chat::popover),
             std::make_shared<UnlockElsewhere>()},
            // Refused in both chats with no unlock under way, then unlocked by another client.
            {ask(Chat::main), ask(Chat::popover), std::make_shared<OpenedElsewhere>()},
            // One held by a cancelled prompt and a newer one refused, then unlocked elsewhere,
            // or by the chat's own Unlock: both asked.
            {ask(Chat::main), unlock(Chat::main), std::make_shared<CancelPrompt>(),
             ask(Chat::main), std::make_shared<OpenedElsewhere>()},
            {ask(Chat::main), unlock(Chat::main), std::make_shared<CancelPrompt>(),
             ask(Chat::main), unlock(Chat::main), std::make_shared<TypePassword>()},
        };
        for (const auto& steps : rows) {
            UnlockSystem system(base);
            rc::state::runAll(steps, UnlockModel{}, system);
        }
    });
}

}  // namespace
}  // namespace vask
