// The credential state machine over the session bus, against the model of
// credential_model_test.cpp: Vask's own Secret Service client in launches of its credential stack
// (tests/shell/credential_launch.cpp), each of which may die after any of its writes, and a
// Secret Service stand-in (scripts/secret-service-standin.py) that is locked, unlocked outside
// Vask, hung, killed, started again and restarted, whose prompt is typed into, left by a daemon
// that goes with it open, or left by Vask quitting. Run by scripts/secret-service-test.sh on a
// private bus that starts no keyring of its own.
#include <gtest/gtest.h>
#include <poll.h>
#include <rapidcheck.h>
#include <rapidcheck/state.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "credential_model.h"
#include "platform/child_spawn.h"
#include "platform/environment.h"
#include "support/property_check.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using test::Keyring;
using Clock = std::chrono::steady_clock;

// Long enough for any launch on a busy machine; only a launch that waits for good reaches it.
constexpr auto patience = std::chrono::seconds(30);

// Reads a line from `fd`, waiting at most `patience`; nothing at its end or past the wait.
std::optional<std::string> readLine(int fd) {
    std::string line;
    const auto deadline = Clock::now() + patience;
    while (Clock::now() < deadline) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) {
            continue;
        }
        char c = 0;
        if (::read(fd, &c, 1) != 1) {
            return std::nullopt;
        }
        if (c == '\n') {
            return line;
        }
        line += c;
    }
    return std::nullopt;
}

// Waits for `pid` to end, at most `patience`; its wait status, or nothing while it runs on.
std::optional<int> reap(pid_t pid, std::chrono::steady_clock::duration wait = patience) {
    const auto deadline = Clock::now() + wait;
    do {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (Clock::now() < deadline);
    return std::nullopt;
}

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& extra) {
    auto env = processEnvironment();
    for (const auto& [name, value] : extra) {
        env[name] = value;
    }
    return environmentBlock(env);
}

// The stand-in daemon: started with its keyring locked or not, its items kept in a file beside
// the data folder so that they outlive it, driven through its standard input.
class Daemon {
  public:
    Daemon(const std::filesystem::path& store, bool locked) {
        auto in = Pipe::make();
        auto out = Pipe::make();
        std::vector<std::string> arguments{std::getenv("VASK_SECRET_SERVICE_STANDIN"),
                                           "--hide-locked", "--control", "--store", store.string()};
        if (locked) {
            arguments.emplace_back("--locked");
        }
        ChildSpawn spawn;
        spawn.program = "/usr/bin/python3";
        spawn.arguments = arguments;
        spawn.environment = environmentWith({});
        spawn.standard = {in.readEnd.get(), out.writeEnd.get(), 2};
        spawn.diesWithStarter = true;
        pid_ = spawnChild(spawn);
        commands_ = std::move(in.writeEnd);
        answers_ = std::move(out.readEnd);
        const auto ready = readLine(answers_.get());
        RC_ASSERT(ready == std::optional<std::string>("ready"));
    }
    ~Daemon() {
        ::kill(pid_, SIGCONT);
        ::kill(pid_, SIGKILL);
        reap(pid_);
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    struct State {
        bool locked = false;
        int open = 0;
        int shown = 0;
        int dismissed = 0;
    };
    State tell(const std::string& word) {
        const std::string line = word + "\n";
        RC_ASSERT(::write(commands_.get(), line.data(), line.size()) ==
                  static_cast<ssize_t>(line.size()));
        const auto answer = readLine(answers_.get());
        RC_ASSERT(answer.has_value());
        State state;
        int locked = 0;
        RC_ASSERT(std::sscanf(answer->c_str(), "locked=%d open=%d shown=%d dismissed=%d", &locked,
                              &state.open, &state.shown, &state.dismissed) == 4);
        state.locked = locked != 0;
        return state;
    }
    void hang() { ::kill(pid_, SIGSTOP); }
    void resume() { ::kill(pid_, SIGCONT); }

  private:
    pid_t pid_ = -1;
    UniqueFd commands_;
    UniqueFd answers_;
};

// A launch of the credential stack; what it printed and how it ended.
struct LaunchEnd {
    enum class How { done, killed, threw } how = How::done;
    std::string output;
};

class Launch {
  public:
    Launch(const std::filesystem::path& folder, const std::vector<std::string>& step, int killAt) {
        auto out = Pipe::make();
        std::vector<std::string> arguments{folder.string()};
        arguments.insert(arguments.end(), step.begin(), step.end());
        const bool verbose = std::getenv("VASK_MODEL_VERBOSE") != nullptr;
        ChildSpawn spawn;
        spawn.program = VASK_CREDENTIAL_LAUNCH;
        spawn.arguments = arguments;
        spawn.environment = environmentWith({{"VASK_KILL_AT", std::to_string(killAt)}});
        spawn.standard = {-1, out.writeEnd.get(), verbose ? 2 : -1};
        spawn.diesWithStarter = true;
        pid_ = spawnChild(spawn);
        output_ = std::move(out.readEnd);
    }
    ~Launch() {
        if (!ended_) {
            ::kill(pid_, SIGKILL);
            reap(pid_);
        }
    }
    Launch(const Launch&) = delete;
    Launch& operator=(const Launch&) = delete;

    void quit() { ::kill(pid_, SIGTERM); }
    // Its end, waited for at most `patience`: nothing while it runs on.
    std::optional<LaunchEnd> end() {
        const auto status = reap(pid_);
        if (!status) {
            return std::nullopt;
        }
        ended_ = true;
        LaunchEnd end;
        char buffer[4096];
        for (ssize_t n; (n = ::read(output_.get(), buffer, sizeof buffer)) > 0;) {
            end.output.append(buffer, static_cast<size_t>(n));
        }
        RC_ASSERT(WIFEXITED(*status));
        const int code = WEXITSTATUS(*status);
        RC_ASSERT(code == 0 || code == 2 || code == 3);
        end.how = code == 0   ? LaunchEnd::How::done
                  : code == 3 ? LaunchEnd::How::killed
                              : LaunchEnd::How::threw;
        return end;
    }
    // Whether it ended, leaving it to be reaped by end().
    bool exited() const {
        siginfo_t info{};
        return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == pid_;
    }

  private:
    pid_t pid_ = -1;
    UniqueFd output_;
    bool ended_ = false;
};

// The data folder, the daemon (none while gone) and the model of the user's account.
struct Harness {
    test::TempDir dir;
    Keyring keyring = Keyring::unlocked;
    std::optional<Daemon> daemon;
    test::AccountModel account;
    // Prompts the stand-in showed since it started (a restart keeps the count): each one an
    // Unlock the user pressed.
    int promptsAsked = 0;

    Harness() { start(false); }

    std::filesystem::path folder() const { return dir.path(); }
    void start(bool locked) {
        daemon.emplace(dir / "keyring.json", locked);
        promptsAsked = 0;
    }

    // Runs a launch to its end.
    LaunchEnd run(const std::vector<std::string>& step, int killAt) {
        Launch launch(folder(), step, killAt);
        const auto end = launch.end();
        RC_ASSERT(end.has_value());
        return *end;
    }

    // What the next start shows, checked against the model, which it then narrows; and no
    // prompt shown that the user did not ask for, none left open.
    void checkNextStart() {
        const auto end = run({"start"}, 0);
        RC_ASSERT(end.how == LaunchEnd::How::done);
        std::istringstream lines(end.output);
        std::string mode;
        std::string tryAgain;
        test::StartShown shown;
        std::getline(lines, mode);
        std::getline(lines, shown.token);
        std::getline(lines, shown.settings);
        std::getline(lines, shown.chat);
        std::getline(lines, tryAgain);
        using Mode = test::StartShown::Mode;
        const std::map<std::string, Mode> modes{{"managed", Mode::managed},
                                                {"none", Mode::none},
                                                {"locked", Mode::locked},
                                                {"notAvailable", Mode::notAvailable},
                                                {"notAnswering", Mode::notAnswering}};
        RC_ASSERT(modes.count(mode) == 1u);
        shown.mode = modes.at(mode);
        shown.tryAgain = tryAgain == "tryAgain";
        account.checkStart(keyring, shown);
        if (daemon && keyring != Keyring::hung) {
            const auto state = daemon->tell("state");
            RC_ASSERT(state.shown == promptsAsked);
            RC_ASSERT(state.open == 0);
        }
    }
};

using Model = test::SequenceModel;
using Command = rc::state::Command<Model, Harness>;

struct SignIn final : Command {
    int killAt = test::killPoint();
    void apply(Model& m) const override { ++m.signIns; }
    void run(const Model& m, Harness& h) const override {
        const std::string token = m.nextToken();
        const auto end = h.run({"sign-in", token}, killAt);
        h.account.signedIn(token, end.how == LaunchEnd::How::done);
        h.checkNextStart();
    }
    void show(std::ostream& os) const override { os << "SignIn(killAt=" << killAt << ")"; }
};

struct SignOut final : Command {
    int killAt = test::killPoint();
    void run(const Model&, Harness& h) const override {
        const auto end = h.run({"sign-out"}, killAt);
        h.account.signedOut(end.how == LaunchEnd::How::done);
        h.checkNextStart();
    }
    void show(std::ostream& os) const override { os << "SignOut(killAt=" << killAt << ")"; }
};

// A start, or Try Again: the credentials read afresh.
struct Restart final : Command {
    int killAt = test::killPoint();
    void run(const Model&, Harness& h) const override {
        h.run({"start"}, killAt);
        h.checkNextStart();
    }
    void show(std::ostream& os) const override { os << "Restart(killAt=" << killAt << ")"; }
};

// How an unlock's prompt ends: the password typed, its daemon gone or restarted, the keyring
// unlocked by another client, Vask quitting, or Vask quitting beside a service that stopped
// answering (which is then restarted, locked).
enum class PromptEnd {
    typed,
    daemonGone,
    daemonRestarted,
    unlockedElsewhere,
    quit,
    quitBesideHung
};

const char* nameOf(PromptEnd end) {
    switch (end) {
        case PromptEnd::typed:
            return "typed";
        case PromptEnd::daemonGone:
            return "daemonGone";
        case PromptEnd::daemonRestarted:
            return "daemonRestarted";
        case PromptEnd::unlockedElsewhere:
            return "unlockedElsewhere";
        case PromptEnd::quit:
            return "quit";
        case PromptEnd::quitBesideHung:
            return "quitBesideHung";
    }
    return "?";
}

// Unlock pressed: the keyring's prompt shows, and then the password is typed into it, its daemon
// goes or is restarted (a new one, locked), or Vask quits.
struct Unlock final : Command {
    int killAt = test::killPoint();
    PromptEnd end =
        *rc::gen::element(PromptEnd::typed, PromptEnd::daemonGone, PromptEnd::daemonRestarted,
                          PromptEnd::unlockedElsewhere, PromptEnd::quit, PromptEnd::quitBesideHung);
    void checkPreconditions(const Model& m) const override { RC_PRE(m.keyring == Keyring::locked); }
    void apply(Model& m) const override {
        m.keyring = end == PromptEnd::typed || end == PromptEnd::unlockedElsewhere
                        ? Keyring::unlocked
                    : end == PromptEnd::daemonGone ? Keyring::gone
                                                   : Keyring::locked;
    }
    void run(const Model&, Harness& h) const override {
        Launch launch(h.folder(), {"unlock"}, killAt);
        // The prompt shows, unless the launch died at a write before it asked.
        bool shown = false;
        const auto deadline = Clock::now() + patience;
        while (!shown && !launch.exited() && Clock::now() < deadline) {
            shown = h.daemon->tell("state").shown > h.promptsAsked;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        shown = shown || h.daemon->tell("state").shown > h.promptsAsked;
        RC_ASSERT(shown || launch.exited());
        h.promptsAsked += shown ? 1 : 0;
        int dismissedBefore = 0;
        const auto ending = Clock::now();
        switch (end) {
            case PromptEnd::typed:
                h.daemon->tell("type");
                h.keyring = Keyring::unlocked;
                break;
            case PromptEnd::daemonGone:
                h.daemon.reset();
                h.keyring = Keyring::gone;
                break;
            case PromptEnd::daemonRestarted:
                h.daemon->tell("restart");
                h.keyring = Keyring::locked;
                break;
            case PromptEnd::unlockedElsewhere:
                dismissedBefore = h.daemon->tell("state").dismissed;
                h.daemon->tell("unlock");
                h.keyring = Keyring::unlocked;
                break;
            case PromptEnd::quit:
                dismissedBefore = h.daemon->tell("state").dismissed;
                launch.quit();
                break;
            case PromptEnd::quitBesideHung:
                h.daemon->hang();
                launch.quit();
                break;
        }
        const auto ended = launch.end();
        const auto took = Clock::now() - ending;
        // However the prompt ended, the unlock that waited for it ends too.
        RC_ASSERT(ended.has_value());
        if (end == PromptEnd::quitBesideHung) {
            // Within the dismissal's own limit: the quit never waits one out.
            RC_ASSERT(took < std::chrono::seconds(1));
            h.daemon->resume();
            h.daemon->tell("restart");
            h.keyring = Keyring::locked;
        }
        if (shown && ended->how == LaunchEnd::How::done) {
            const bool answered = end == PromptEnd::typed || end == PromptEnd::unlockedElsewhere;
            RC_ASSERT(ended->output ==
                      std::string(answered ? "unlock=success\n" : "unlock=cancelled\n"));
        }
        if (shown && end == PromptEnd::unlockedElsewhere) {
            // Seen by its own signals, not by the user coming back to Vask: Vask's prompt, with
            // nothing left to type into it, is dismissed.
            RC_ASSERT(took < std::chrono::seconds(5));
            const auto after = h.daemon->tell("state");
            RC_ASSERT(after.dismissed == dismissedBefore + 1);
            RC_ASSERT(after.open == 0);
        }
        if (shown && end == PromptEnd::quit) {
            // Vask's own prompt goes with it.
            const auto after = h.daemon->tell("state");
            RC_ASSERT(after.dismissed == dismissedBefore + 1);
            RC_ASSERT(after.open == 0);
            // Shown: counted as asked; dismissed, so not open.
        }
        h.checkNextStart();
    }
    void show(std::ostream& os) const override {
        os << "Unlock(killAt=" << killAt << ", " << nameOf(end) << ")";
    }
};

// The keyring changes on its own: locked, unlocked outside Vask, hung, gone, or appearing
// (locked or not).
struct KeyringChange final : Command {
    Keyring to = *rc::gen::weightedElement<Keyring>(
        {{3, Keyring::unlocked}, {3, Keyring::locked}, {1, Keyring::hung}, {2, Keyring::gone}});
    void checkPreconditions(const Model& m) const override { RC_PRE(m.keyring != to); }
    void apply(Model& m) const override { m.keyring = to; }
    void run(const Model&, Harness& h) const override {
        if (h.keyring == Keyring::hung) {
            h.daemon->resume();
        }
        switch (to) {
            case Keyring::unlocked:
            case Keyring::locked:
                if (!h.daemon) {
                    h.start(to == Keyring::locked);
                } else {
                    h.daemon->tell(to == Keyring::locked ? "lock" : "unlock");
                }
                break;
            case Keyring::hung:
                if (!h.daemon) {
                    h.start(false);
                }
                h.daemon->hang();
                break;
            case Keyring::gone:
                h.daemon.reset();
                break;
        }
        h.keyring = to;
        h.checkNextStart();
    }
    void show(std::ostream& os) const override { os << "Keyring(" << nameOf(to) << ")"; }
};

// The daemon restarted with no prompt open: a new one, locked.
struct DaemonRestarted final : Command {
    void checkPreconditions(const Model& m) const override {
        RC_PRE(m.keyring == Keyring::unlocked || m.keyring == Keyring::locked);
    }
    void apply(Model& m) const override { m.keyring = Keyring::locked; }
    void run(const Model&, Harness& h) const override {
        h.daemon->tell("restart");
        h.keyring = Keyring::locked;
        h.checkNextStart();
    }
    void show(std::ostream& os) const override { os << "DaemonRestarted"; }
};

TEST(SecretServiceModelTest, EveryGeneratedSequenceOverTheBusKeepsWhatTheUserDid) {
    if (std::getenv("VASK_SECRET_SERVICE_STANDIN") == nullptr) {
        GTEST_SKIP() << "run scripts/secret-service-test.sh";
    }
    test::checkProperty(
        "SecretServiceModelTest/EveryGeneratedSequenceOverTheBusKeepsWhatTheUserDid", 30, 12, [] {
            Harness harness;
            rc::state::check(Model{}, harness,
                             rc::state::gen::execOneOfWithArgs<SignIn, SignOut, Restart, Unlock,
                                                               KeyringChange, DaemonRestarted>());
        });
}

// Sequences shrunk from faults the property found once, run as they are.
TEST(SecretServiceModelTest, SequencesThatFoundFaultsHold) {
    if (std::getenv("VASK_SECRET_SERVICE_STANDIN") == nullptr) {
        GTEST_SKIP() << "run scripts/secret-service-test.sh";
    }
    test::checkProperty("SecretServiceModelTest/SequencesThatFoundFaultsHold", 1, 0, [] {
        const auto unlock = [](int killAt, PromptEnd end) {
            auto command = std::make_shared<Unlock>();
            command->killAt = killAt;
            command->end = end;
            return command;
        };
        using Steps = std::vector<std::shared_ptr<const Command>>;
        const Steps rows[] = {
            // The daemon gone with the prompt open: the unlock never ended.
            {std::make_shared<DaemonRestarted>(), unlock(0, PromptEnd::daemonGone)},
            // The quit with the prompt open: the prompt left on the screen.
            {std::make_shared<DaemonRestarted>(), unlock(1, PromptEnd::quit)},
            // Unlocked by another client with Vask's prompt open: not seen until typed into.
            {std::make_shared<DaemonRestarted>(), unlock(0, PromptEnd::unlockedElsewhere)},
            // A quit beside a service that stopped answering: the dismissal's limit waited out.
            {std::make_shared<DaemonRestarted>(), unlock(0, PromptEnd::quitBesideHung)},
        };
        for (const auto& steps : rows) {
            Harness harness;
            rc::state::runAll(steps, Model{}, harness);
        }
    });
}

}  // namespace
}  // namespace vask
