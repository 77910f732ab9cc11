#include "platform/child_spawn.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <optional>
#include <sstream>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "support/eventually.h"
#include "support/process_state.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

struct Ran {
    std::string output;
    int status = -1;
};

// Runs `spawn` with its standard output into a pipe, and waits for it.
Ran run(ChildSpawn spawn) {
    std::array<int, 2> fds{};
    EXPECT_EQ(::pipe2(fds.data(), O_CLOEXEC), 0);
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    spawn.standard[1] = writeEnd.get();
    const pid_t pid = spawnChild(spawn);
    writeEnd.reset();
    Ran ran;
    std::array<char, 4096> chunk{};
    for (ssize_t n = 0; (n = ::read(readEnd.get(), chunk.data(), chunk.size())) != 0;) {
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            break;
        }
        ran.output.append(chunk.data(), static_cast<std::size_t>(n));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (spawn.groupWatch != nullptr) {
        spawn.groupWatch->end();
    }
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return ran;
}

ChildSpawn shell(const std::string& script) {
    ChildSpawn spawn;
    spawn.program = "/bin/sh";
    spawn.arguments = {"-c", script};
    spawn.environment = {"PATH=/usr/bin:/bin"};
    return spawn;
}

TEST(ChildSpawnTest, AChildGetsWhatIsNamedAndNothingElse) {
    // A descriptor this process leaves open to children, as a library might, far up.
    const UniqueFd stray(::fcntl(STDERR_FILENO, F_DUPFD, 200));
    ASSERT_GE(stray.get(), 200);
    const auto strayPath = "/proc/self/fd/" + std::to_string(stray.get());

    ChildSpawn env;
    env.program = "/usr/bin/env";
    env.environment = {"HOME=/home/someone", "LANG=C.UTF-8"};
    ChildSpawn searched = env;
    searched.program = "env";
    searched.searchPath = true;
    ChildSpawn elsewhere = shell("pwd");
    elsewhere.workingFolder = "/tmp";
    ChildSpawn withheld = env;
    withheld.environment.insert(withheld.environment.begin(), "APP_TOKEN=t");
    withheld.withheld = [](std::string_view name) { return name == "APP_TOKEN"; };
    ChildSpawn group = shell("cut -d' ' -f5 /proc/$$/stat; echo $$");
    group.ownProcessGroup = true;

    struct Case {
        std::string name;
        ChildSpawn spawn;
        std::string output;
    };
    const std::vector<Case> cases = {
        {"exactly the environment given", env, "HOME=/home/someone\nLANG=C.UTF-8\n"},
        {"a program found on this process's PATH", searched, "HOME=/home/someone\nLANG=C.UTF-8\n"},
        {"but for what is withheld", withheld, "HOME=/home/someone\nLANG=C.UTF-8\n"},
        {"no descriptor above 2",
         shell("for fd in 3 4 5 6 7 8 9 " + std::to_string(stray.get()) +
               "; do [ -e /proc/self/fd/$fd ] && echo $fd; done; true"),
         ""},
        {"standard input from /dev/null", shell("cat; echo end"), "end\n"},
        {"working folder / by default", shell("pwd"), "/\n"},
        {"another working folder when asked", elsewhere, "/tmp\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto ran = run(c.spawn);
        EXPECT_EQ(ran.status, 0);
        EXPECT_EQ(ran.output, c.output);
    }
    // Its own group, led by itself.
    const auto ran = run(group);
    const auto newline = ran.output.find('\n');
    ASSERT_NE(newline, std::string::npos);
    EXPECT_EQ(ran.output.substr(0, newline) + "\n", ran.output.substr(newline + 1));
}

TEST(ChildSpawnTest, AProgramThatCannotRunIsAnErrorWithItsCause) {
    ChildSpawn missing;
    missing.program = "/nonexistent/program";
    try {
        spawnChild(missing);
        FAIL() << "a missing program was started";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ENOENT);
    }
    ChildSpawn notOnPath = missing;
    notOnPath.program = "vask-no-such-program";
    notOnPath.searchPath = true;
    EXPECT_THROW(spawnChild(notOnPath), std::system_error);
}

TEST(ChildSpawnTest, TheChildStartsWithEverySignalAtItsDefaultAndNoneBlocked) {
    // Signals the application ignores would otherwise stay ignored in the child across exec.
    const std::vector<int> ignored = {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE, SIGTERM};
    std::vector<struct sigaction> saved(ignored.size());
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (std::size_t i = 0; i < ignored.size(); ++i) {
        sigaction(ignored[i], &ignore, &saved[i]);
    }
    ChildSpawn plain = shell("grep -E '^Sig(Ign|Blk):' /proc/self/status");
    ChildSpawn watched = plain;
    watched.ownProcessGroup = true;
    watched.diesWithStarter = true;
    ProcessGroupWatch watch;
    watched.groupWatch = &watch;
    for (const auto& spawn : {plain, watched}) {
        const auto ran = run(spawn);
        std::istringstream lines(ran.output);
        for (std::string line; std::getline(lines, line);) {
            SCOPED_TRACE(line);
            auto mask = std::stoull(line.substr(8), nullptr, 16);
            // glibc keeps the signals between 32 and SIGRTMIN for itself, ignored everywhere.
            for (int sig = 32; sig < SIGRTMIN; ++sig) {
                mask &= ~(1ULL << (sig - 1));
            }
            EXPECT_EQ(mask, 0U);
        }
        EXPECT_EQ(std::count(ran.output.begin(), ran.output.end(), '\n'), 2) << ran.output;
    }
    watch.end();
    for (std::size_t i = 0; i < ignored.size(); ++i) {
        sigaction(ignored[i], &saved[i], nullptr);
    }
}

// The exit status of `pid` once it has ended; nothing when it still runs a minute later (it is
// killed and reaped then, so that no test leaves it behind).
std::optional<int> statusOf(pid_t pid) {
    int status = 0;
    if (test::eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) {
        return status;
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return std::nullopt;
}

TEST(ChildSpawnTest, TheChildIsKilledWhenTheThreadThatStartedItEndsWhenAsked) {
    // The application's death ends every thread; a helper left running would be an orphan.
    ChildSpawn spawn;
    spawn.program = "/bin/sleep";
    spawn.arguments = {"600"};
    spawn.diesWithStarter = true;
    pid_t pid = -1;
    std::thread([&] { pid = spawnChild(spawn); }).join();
    ASSERT_GT(pid, 0);
    const auto status = statusOf(pid);
    ASSERT_TRUE(status.has_value()) << "the child outlived the thread that started it";
    EXPECT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGKILL);
}

std::vector<int> descriptorsOf(pid_t pid) {
    std::vector<int> fds;
    std::error_code error;
    for (std::filesystem::directory_iterator fd("/proc/" + std::to_string(pid) + "/fd", error);
         !error && fd != std::filesystem::directory_iterator(); fd.increment(error)) {
        fds.push_back(std::stoi(fd->path().filename().string()));
    }
    std::sort(fds.begin(), fds.end());
    return fds;
}

TEST(ChildSpawnTest, PassedDescriptorsFollowTheStandardOnesAndNothingElseFollows) {
    auto events = Pipe::make();
    auto more = Pipe::make();
    // A descriptor made without O_CLOEXEC, as some libraries do.
    const UniqueFd leaked(::open("/dev/null", O_RDONLY));
    ASSERT_TRUE(leaked.isOpen());
    ChildSpawn spawn = shell("ls /proc/self/fd; echo one >&3; echo two >&4");
    spawn.passed = {events.writeEnd.get(), more.writeEnd.get()};
    const auto ran = run(spawn);
    events.writeEnd.reset();
    more.writeEnd.reset();
    // ls's own directory descriptor shows up as the one after them.
    std::vector<int> descriptors;
    std::istringstream lines(ran.output);
    for (std::string line; std::getline(lines, line);) {
        descriptors.push_back(std::stoi(line));
    }
    ASSERT_GE(descriptors.size(), 5U) << ran.output;
    EXPECT_EQ(std::vector<int>(descriptors.begin(), descriptors.begin() + 5),
              (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_LE(descriptors.size(), 6U) << ran.output;
    std::array<char, 16> got{};
    EXPECT_EQ(::read(events.readEnd.get(), got.data(), got.size()), 4);
    EXPECT_EQ(std::string_view(got.data(), 4), "one\n");
    EXPECT_EQ(::read(more.readEnd.get(), got.data(), got.size()), 4);
    EXPECT_EQ(std::string_view(got.data(), 4), "two\n");
}

// While a child waits for its group's watch, it holds only what it is given and the spawn's own
// two (its report and the word to go on): a pipe of another thread held there would keep that
// pipe's reader waiting, or make the pipe look held by the child.
TEST(ChildSpawnTest, AChildHoldsNothingOfThisProcessWhileItWaitsToRun) {
    auto unrelated = Pipe::make();
    ChildSpawn spawn = shell("exit 0");
    spawn.ownProcessGroup = true;
    ProcessGroupWatch watch;
    spawn.groupWatch = &watch;
    std::vector<int> held;
    spawn.whileHeld = [&](pid_t pid) {
        test::eventually([&] { return (held = descriptorsOf(pid)).size() <= 5; });
    };
    EXPECT_EQ(run(spawn).status, 0);
    EXPECT_EQ(held, (std::vector<int>{0, 1, 2, 3, 4}));
}

// A child that dies before it runs the program (killed while it waits for its group's watch)
// fails that spawn with a clear error, and nothing else: not this process (its word to the child
// meets a closed socket), not another child, and it is reaped.
TEST(ChildSpawnTest, ASpawnWhoseChildDiesBeforeExecFailsThatSpawnAndNothingElse) {
    ChildSpawn other;
    other.program = "/bin/sleep";
    other.arguments = {"600"};
    ChildProcess bystander(other);
    ChildSpawn spawn = shell("exit 0");
    spawn.ownProcessGroup = true;
    spawn.diesWithStarter = true;
    ProcessGroupWatch watch;
    spawn.groupWatch = &watch;
    pid_t killed = -1;
    spawn.whileHeld = [&](pid_t pid) {
        killed = pid;
        ::kill(pid, SIGKILL);
        siginfo_t info{};
        ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    };
    try {
        spawnChild(spawn);
        ADD_FAILURE() << "a child that died before exec was taken as started";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), EPIPE) << error.what();
    }
    ASSERT_GT(killed, 0);
    EXPECT_EQ(::waitpid(killed, nullptr, WNOHANG), -1) << "the dead child was left unreaped";
    EXPECT_FALSE(bystander.reapIfEnded());
    // The next spawn goes as ever.
    spawn.whileHeld = {};
    EXPECT_EQ(run(spawn).status, 0);
}

// Under a keeper, what the child starts ends with it, in a session of its own or not, and the
// child's own end is told as it comes; what runs beside it is left alone.
TEST(ChildSpawnTest, AKeptChildTakesWhatItStartedAlongAndOnlyThat) {
    test::TempDir dir;
    const auto pids = (dir / "pids").string();
    ChildSpawn beside;
    beside.program = "/bin/sleep";
    beside.arguments = {"600"};
    ChildProcess bystander(beside);
    auto output = Pipe::make();
    ChildSpawn spawn =
        shell("sleep 600 & echo $! > '" + pids + ".1'; setsid sh -c 'echo $$ > " + pids +
              ".2; exec sleep 600' & while [ ! -s '" + pids + ".2' ]; do sleep 0.01; done; exit 7");
    spawn.standard[1] = output.writeEnd.get();
    std::vector<pid_t> started;
    {
        ChildProcess child(spawn, ChildProcess::Descendants::ended);
        output.writeEnd.reset();
        const auto status = child.waitUntil(std::chrono::steady_clock::time_point::max(), -1);
        ASSERT_TRUE(status);
        EXPECT_EQ(WEXITSTATUS(*status), 7);
        for (const auto* suffix : {".1", ".2"}) {
            pid_t pid = 0;
            std::ifstream(pids + suffix) >> pid;
            ASSERT_GT(pid, 0);
            EXPECT_FALSE(test::processGone(pid)) << "ended before its time";
            started.push_back(pid);
        }
    }
    for (const pid_t pid : started) {
        EXPECT_TRUE(test::processGone(pid)) << pid << " outlived the kept child";
    }
    // The output's last holders are gone with them.
    std::array<char, 8> byte{};
    EXPECT_EQ(::read(output.readEnd.get(), byte.data(), byte.size()), 0);
    EXPECT_FALSE(bystander.reapIfEnded());
}

// The pid a script wrote to `file` whole (to a temporary name, then moved); -1 while it has not.
pid_t pidIn(const std::string& file) {
    pid_t pid = -1;
    std::ifstream(file) >> pid;
    return pid;
}

// What writes the shell's `pid` to `file` whole.
std::string writePid(const std::string& pid, const std::string& file) {
    return "echo " + pid + " > '" + file + ".tmp' && mv '" + file + ".tmp' '" + file + "'";
}

// Names the file a kept child's descendant writes its pid to, for the test binary started again
// by the test below as the process that gets killed.
constexpr const char* keptVictimVariable = "VASK_TEST_KEPT_VICTIM";

TEST(ChildSpawnTest, KeptVictimStartsAChildAndWaits) {
    const char* pidFile = std::getenv(keptVictimVariable);
    if (pidFile == nullptr) {
        GTEST_SKIP() << "runs only when started by AKilledVaskTakesWhatAKeptChildStartedAlong";
    }
    ChildSpawn spawn =
        shell(std::string("setsid sh -c 'echo $$ > ") + pidFile + ".tmp; mv " + pidFile + ".tmp " +
              pidFile + "; exec sleep 600' &" + " exec sleep 600");
    ChildProcess child(spawn, ChildProcess::Descendants::ended);
    for (;;) {
        ::pause();
    }
}

// However Vask ends (a kill -9 included), what a kept child started ends with it: the keeper's
// stop socket ends with Vask.
TEST(ChildSpawnTest, AKilledVaskTakesWhatAKeptChildStartedAlong) {
    test::TempDir dir;
    const auto pidFile = (dir / "descendant").string();
    ChildSpawn victim;
    victim.program = "/proc/self/exe";
    victim.arguments = {"--gtest_filter=ChildSpawnTest.KeptVictimStartsAChildAndWaits"};
    victim.environment = currentEnvironment();
    victim.environment.push_back(std::string(keptVictimVariable) + "=" + pidFile);
    const pid_t vask = spawnChild(victim);
    pid_t descendant = -1;
    const bool started = test::eventually([&] {
        std::ifstream in(pidFile);
        return static_cast<bool>(in >> descendant);
    });
    ::kill(vask, SIGKILL);
    ::waitpid(vask, nullptr, 0);
    ASSERT_TRUE(started);
    EXPECT_TRUE(test::eventually([&] { return test::processGone(descendant); }))
        << "the kept child's descendant outlived the killed Vask";
    ::kill(descendant, SIGKILL);
}


// Name the files a kept child of the test binary, started again by the test below, writes pids
// to, and whether the child stops its keeper itself.
constexpr const char* stoppedKeeperVictimVariable = "VASK_TEST_STOPPED_KEEPER_VICTIM";
constexpr const char* childStopsKeeperVariable = "VASK_TEST_CHILD_STOPS_KEEPER";

TEST(ChildSpawnTest, StoppedKeeperVictimStartsAChildAndWaits) {
    const char* pids = std::getenv(stoppedKeeperVictimVariable);
    if (pids == nullptr) {
        GTEST_SKIP() << "runs only when started by AKilledVaskTakesAlongWhatTheChildOfAStopped...";
    }
    const std::string p = pids;
    // A descendant in the child's group, one in a session of its own, the child, its keeper.
    ChildSpawn spawn = shell(
        "sleep 600 & " + writePid("$!", p + "1") + "; setsid sh -c \"" +
        writePid("\\$\\$", p + "2") + "; exec sleep 600\" & while [ ! -s '" + p +
        "2' ]; do sleep 0.01; done; " + writePid("$PPID", p + "k") + "; " +
        (std::getenv(childStopsKeeperVariable) != nullptr ? "kill -STOP $PPID; " : "") +
        writePid("$$", p + "0") + "; exec sleep 600");
    spawn.ownProcessGroup = true;
    ChildProcess child(spawn, ChildProcess::Descendants::ended);
    for (;;) {
        ::pause();
    }
}

// Whether `pid` is stopped (or a tracee held), as /proc tells.
bool processStopped(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && line.size() > close + 2 &&
           (line[close + 2] == 'T' || line[close + 2] == 't');
}

// A keeper stopped (by its child, which knows its parent, or by anyone) when Vask is killed
// still ends everything the child started, and itself: nothing of the child's tree is left.
TEST(ChildSpawnTest, AKilledVaskTakesAlongWhatTheChildOfAStoppedKeeperStarted) {
    for (const bool childStopsKeeper : {true, false}) {
        SCOPED_TRACE(childStopsKeeper ? "the child stops its keeper" : "the keeper stopped");
        test::TempDir dir;
        const auto pids = (dir / "pid").string();
        ChildSpawn victim;
        victim.program = "/proc/self/exe";
        victim.arguments = {
            "--gtest_filter=ChildSpawnTest.StoppedKeeperVictimStartsAChildAndWaits"};
        victim.environment = currentEnvironment();
        victim.environment.push_back(std::string(stoppedKeeperVictimVariable) + "=" + pids);
        if (childStopsKeeper) {
            victim.environment.push_back(std::string(childStopsKeeperVariable) + "=1");
        }
        const pid_t vask = spawnChild(victim);
        const bool started = test::eventually([&] { return pidIn(pids + "0") > 0; });
        std::vector<pid_t> tree;
        for (const auto* n : {"k", "0", "1", "2"}) {
            tree.push_back(pidIn(pids + n));
        }
        if (started && !childStopsKeeper) {
            ::kill(tree.front(), SIGSTOP);
        }
        const bool stopped = started && test::eventually([&] { return processStopped(tree[0]); });
        ::kill(vask, SIGKILL);
        ::waitpid(vask, nullptr, 0);
        ASSERT_TRUE(started);
        EXPECT_TRUE(stopped);
        EXPECT_TRUE(test::eventually([&] {
            return std::all_of(tree.begin(), tree.end(),
                               [](pid_t pid) { return test::processGone(pid); });
        })) << "the stopped keeper or what its child started outlived the killed Vask";
        for (const pid_t pid : tree) {
            ::kill(pid, SIGKILL);
        }
    }
}

// No process without CAP_SYS_PTRACE can hold a keeper in a ptrace stop, which Vask's death
// would not end: a process of the same user is refused. Run as a user without capabilities
// (root's own would let any tracer in).
TEST(ChildSpawnTest, AKeeperCannotBeTracedByAProcessOfItsUser) {
    const pid_t vask = ::fork();
    if (vask == 0) {
        constexpr uid_t nobody = 65534;
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 ||
                                 ::setuid(nobody) != 0)) {
            ::_exit(2);
        }
        // A change of user leaves a process undumpable; Vask is not.
        ::prctl(PR_SET_DUMPABLE, 1);
        ChildSpawn spawn;
        spawn.program = "/bin/sleep";
        spawn.arguments = {"600"};
        const ChildProcess child(spawn, ChildProcess::Descendants::ended);
        const pid_t keeper = child.pid();
        const pid_t tracer = ::fork();
        if (tracer == 0) {
            if (::ptrace(PTRACE_SEIZE, keeper, nullptr, nullptr) == 0) {
                ::_exit(1);
            }
            ::_exit(errno == EPERM ? 0 : 3);
        }
        int status = 0;
        ::waitpid(tracer, &status, 0);
        ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 4);
    }
    ASSERT_GT(vask, 0);
    int status = 0;
    ::waitpid(vask, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the keeper was traced; 2: no other user; 3: other";
}

// Whether every one of `pids` has ended within a second: the bound is the promise, not a speed.
bool goneWithinASecond(const std::vector<pid_t>& pids) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    const auto allGone = [&] {
        return std::all_of(pids.begin(), pids.end(),
                           [](pid_t pid) { return test::processGone(pid); });
    };
    while (!allGone() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return allGone();
}

// A keeper that goes without finishing its work (killed by its own child, which knows its parent,
// or from outside) takes the child along, and the child's group is ended here: the end is told
// as unknown, and a second later nothing of the group lives. A child in no group of its own dies
// with its keeper all the same.
TEST(ChildSpawnTest, WhatAKeptChildStartedEndsWithAKeeperThatDies) {
    struct Case {
        std::string name;
        bool childKillsKeeper;
        bool ownGroup;
    };
    const std::vector<Case> cases = {
        {"the child kills its keeper", true, true},
        {"the keeper killed from outside", false, true},
        {"a child in this process's group, its keeper killed", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const auto pids = (dir / "pid").string();
        ChildSpawn spawn =
            shell("sleep 600 & " + writePid("$!", pids + "1") + "; sh -c \"sleep 600 & " +
                  writePid("\\$!", pids + "2") + "; wait\" & while [ ! -s '" + pids +
                  "2' ]; do sleep 0.01; done; " + writePid("$$", pids + "0") + "; " +
                  (c.childKillsKeeper ? "kill -KILL $PPID; " : "") + "exec sleep 600");
        spawn.ownProcessGroup = c.ownGroup;
        ChildProcess child(spawn, ChildProcess::Descendants::ended);
        ASSERT_TRUE(test::eventually([&] { return pidIn(pids + "0") > 0; }));
        if (!c.childKillsKeeper) {
            ::kill(child.pid(), SIGKILL);
        }
        const auto status = child.waitUntil(std::chrono::steady_clock::time_point::max(), -1);
        ASSERT_TRUE(status);
        EXPECT_EQ(*status, W_EXITCODE(255, 0));
        std::vector<pid_t> started;
        for (const auto* n : {"0", "1", "2"}) {
            started.push_back(pidIn(pids + n));
            ASSERT_GT(started.back(), 0);
        }
        // Out of its group only the child itself is reached.
        const std::vector<pid_t> reached =
            c.ownGroup ? started : std::vector<pid_t>{started.front()};
        EXPECT_TRUE(goneWithinASecond(reached)) << "the kept child's group outlived its keeper";
        for (const pid_t pid : started) {
            ::kill(pid, SIGKILL);
        }
    }
}

// However a spawn starts its child, one that succeeds leaves errno as it found it (a child that
// shares this thread's memory until its exec writes its own failures there).
TEST(ChildSpawnTest, ASpawnThatSucceedsLeavesErrnoAsItFoundIt) {
    ChildSpawn plain = shell("exit 0");
    ChildSpawn watched = plain;
    watched.ownProcessGroup = true;
    ProcessGroupWatch watch;
    watched.groupWatch = &watch;
    for (const auto& spawn : {plain, watched}) {
        errno = EDOM;
        const pid_t pid = spawnChild(spawn);
        EXPECT_EQ(errno, EDOM);
        ::waitpid(pid, nullptr, 0);
        watch.end();
    }
    for (const auto descendants :
         {ChildProcess::Descendants::left, ChildProcess::Descendants::ended}) {
        errno = EDOM;
        const ChildProcess child(plain, descendants);
        EXPECT_EQ(errno, EDOM);
    }
}

TEST(ChildSpawnTest, AKeptChildThatCannotRunIsAnErrorWithItsCause) {
    ChildSpawn missing;
    missing.program = "/nonexistent/program";
    try {
        ChildProcess child(missing, ChildProcess::Descendants::ended);
        FAIL() << "a missing program was started";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ENOENT);
    }
}

// Writes the calling process's pid to `file` whole (in a keeper, where nothing of the test's
// descriptors is left).
void writeOwnPid(const std::string& file) {
    const auto text = std::to_string(::getpid());
    const auto temporary = file + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        [[maybe_unused]] const auto written = ::write(fd, text.data(), text.size());
        ::close(fd);
        ::rename(temporary.c_str(), file.c_str());
    }
}

// The start of a kept child ends, however its keeper is held before it lets go of the start's
// report (stopped by the command, which knows its parent, at that moment): a keeper stopped
// once is continued and the child runs; one stopped again and again ends the start at its
// deadline or its stop, the keeper and the child ended with it. A start that waited without end
// would hold the search, and a quit behind it, for good.
TEST(ChildSpawnTest, AKeptChildsStartEndsWhateverHoldsItsKeeper) {
    struct Case {
        std::string name;
        bool stopsForGood;
        bool stopped;
        std::optional<std::errc> ended;
    };
    const std::vector<Case> cases = {
        {"a keeper stopped once", false, false, std::nullopt},
        {"a keeper stopped again and again, until the deadline", true, false,
         std::errc::timed_out},
        {"a keeper stopped again and again, until the stop", true, true,
         std::errc::operation_canceled},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const auto keeperFile = (dir / "keeper").string();
        const auto ranFile = (dir / "ran").string();
        ChildSpawn spawn = shell(writePid("$$", ranFile) + "; exec sleep 600");
        spawn.ownProcessGroup = true;
        spawn.whileKeeperStarts = [keeperFile, forGood = c.stopsForGood] {
            writeOwnPid(keeperFile);
            do {
                ::raise(SIGSTOP);
            } while (forGood);
        };
        std::stop_source stop;
        ChildProcess::StartBound bound;
        bound.stop = stop.get_token();
        if (c.ended == std::errc::timed_out) {
            bound.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        }
        auto started = std::async(std::launch::async, [&]() -> std::optional<std::errc> {
            try {
                ChildProcess child(spawn, ChildProcess::Descendants::ended,
                                   std::chrono::milliseconds(500), bound);
                if (!test::eventually([&] { return pidIn(ranFile) > 0; })) {
                    return std::errc::no_child_process;
                }
                return std::nullopt;
            } catch (const std::system_error& error) {
                return std::errc(error.code().value());
            }
        });
        if (c.stopped) {
            ASSERT_TRUE(test::eventually([&] { return pidIn(keeperFile) > 0; }));
            stop.request_stop();
        }
        if (started.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            // The start waits for good: the keeper is killed so that the test ends.
            ::kill(pidIn(keeperFile), SIGKILL);
            FAIL() << "the start did not end";
        }
        EXPECT_EQ(started.get(), c.ended);
        const pid_t keeper = pidIn(keeperFile);
        ASSERT_GT(keeper, 0);
        EXPECT_TRUE(test::processGone(keeper));
        if (const pid_t ran = pidIn(ranFile); ran > 0) {
            EXPECT_TRUE(goneWithinASecond({ran})) << "the child outlived its start's end";
        }
    }
}

// The group's watch outlives every signal but SIGKILL, glibc's own two (32 and 33, which a
// shell's `trap` cannot ignore and whose default ends it) included, and none stops it: a helper
// that signals it has no way to keep it from ending the helper's group once Vask is gone.
TEST(ChildSpawnTest, AGroupsWatchIgnoresEverySignalItCan) {
    ChildSpawn spawn;
    spawn.program = "/bin/sleep";
    spawn.arguments = {"600"};
    spawn.ownProcessGroup = true;
    ProcessGroupWatch watch;
    spawn.groupWatch = &watch;
    const pid_t helper = spawnChild(spawn);
    pid_t watcher = -1;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream children(task.path() / "children");
        for (pid_t child = 0; children >> child;) {
            std::ifstream commandLine("/proc/" + std::to_string(child) + "/cmdline");
            std::string first;
            std::getline(commandLine, first, '\0');
            if (first == "vask-helper-watch") {
                watcher = child;
            }
        }
    }
    ASSERT_GT(watcher, 0);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) {
            continue;
        }
        SCOPED_TRACE(sig);
        ASSERT_EQ(::kill(watcher, sig), 0);
        // A signal is acted on before the kill returns to a process that waits in a read.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_FALSE(test::processGone(watcher));
        EXPECT_FALSE(processStopped(watcher));
    }
    // Still the group's: its end ends the group.
    watch.end();
    const auto status = statusOf(helper);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);
}

// Whether this kernel lets this user make a PID namespace (in a user namespace of its own when
// it has no CAP_SYS_ADMIN).
bool pidNamespacesAllowed() {
    const pid_t probe = ::fork();
    if (probe == 0) {
        ::_exit(::unshare(CLONE_NEWPID) == 0 || ::unshare(CLONE_NEWUSER | CLONE_NEWPID) == 0 ? 0
                                                                                             : 1);
    }
    int status = 0;
    ::waitpid(probe, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Names the folder a kept child of the test binary, started again by the test below, writes pids
// to (as the system's /proc names them, whatever namespace it runs in).
constexpr const char* restoppedKeeperVictimVariable = "VASK_TEST_RESTOPPED_KEEPER_VICTIM";

TEST(ChildSpawnTest, RestoppedKeeperVictimStartsAChildAndWaits) {
    const char* folder = std::getenv(restoppedKeeperVictimVariable);
    if (folder == nullptr) {
        GTEST_SKIP() << "runs only when started by AKilledVaskTakesAlongWhatAChildThatStops...";
    }
    const std::string f = std::string(folder) + "/";
    // Each process writes its own pid as /proc names it: its parent's in a `cut` of its own.
    const auto own = [](const std::string& file) {
        return "cut -d' ' -f4 /proc/self/stat > '" + file + ".tmp' && mv '" + file + ".tmp' '" +
               file + "'";
    };
    // A descendant in the child's group, one in a session of its own, three that stop the
    // keeper (named by Vask's word) again and again, and the child.
    std::string script = "sh -c \"" + own(f + "1") + "; exec sleep 600\" & setsid sh -c \"" +
                         own(f + "2") + "; exec sleep 600\" & while [ ! -s '" + f +
                         "keeper' ]; do sleep 0.01; done; k=$(cat '" + f + "keeper'); ";
    for (const auto* n : {"a", "b", "c"}) {
        script += std::string("(") + own(f + n) + "; while :; do kill -STOP $k 2>/dev/null; done) & ";
    }
    script += own(f + "0") + "; exec sleep 600";
    ChildSpawn spawn = shell(script);
    spawn.ownProcessGroup = true;
    spawn.ownPidNamespace = true;
    ChildProcess child(spawn, ChildProcess::Descendants::ended);
    writeOwnPid(f + "vask");
    const auto keeper = std::to_string(child.pid());
    std::ofstream(f + "keeper.tmp") << keeper;
    std::filesystem::rename(f + "keeper.tmp", f + "keeper");
    for (;;) {
        ::pause();
    }
}

// Where the kernel allows a PID namespace, a command that stops its keeper again and again (the
// kernel continues a stopped keeper once, as Vask dies) still has everything it started ended
// with Vask: nothing in its namespace can name the keeper, and the keeper's death would end it all.
TEST(ChildSpawnTest, AKilledVaskTakesAlongWhatAChildThatStopsItsKeeperAgainAndAgainStarted) {
    if (!pidNamespacesAllowed()) {
        GTEST_SKIP() << "this kernel makes no PID namespace for this user (no user namespaces, "
                        "or a confinement that forbids them): a command that stops its keeper "
                        "again and again is out of reach there";
    }
    test::TempDir dir;
    ChildSpawn victim;
    victim.program = "/proc/self/exe";
    victim.arguments = {"--gtest_filter=ChildSpawnTest.RestoppedKeeperVictimStartsAChildAndWaits"};
    victim.environment = currentEnvironment();
    victim.environment.push_back(std::string(restoppedKeeperVictimVariable) + "=" +
                                 dir.path().string());
    const pid_t vask = spawnChild(victim);
    const auto f = dir.path().string() + "/";
    const std::vector<std::string> names = {"keeper", "0", "1", "2", "a", "b", "c"};
    const bool started = test::eventually([&] {
        return std::all_of(names.begin(), names.end(),
                           [&](const std::string& n) { return pidIn(f + n) > 0; });
    });
    std::vector<pid_t> tree;
    for (const auto& n : names) {
        tree.push_back(pidIn(f + n));
    }
    // Long enough for the attackers to have stopped the keeper, were it in their reach.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::kill(vask, SIGKILL);
    ::waitpid(vask, nullptr, 0);
    ASSERT_TRUE(started);
    EXPECT_TRUE(test::eventually([&] {
        return std::all_of(tree.begin(), tree.end(),
                           [](pid_t pid) { return test::processGone(pid); });
    })) << "the keeper or what its child started outlived the killed Vask";
    for (const pid_t pid : tree) {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
        }
    }
}

// In a namespace of its own the command sees its own ids, its pid 1 and its parent's 0, and its
// end is told as ever: 0 when so, else what differed (in a process of its own, which may have
// changed its user).
int keptChildInANamespace() {
    if (!pidNamespacesAllowed()) {
        return 10;
    }
    auto output = Pipe::make();
    ChildSpawn spawn = shell("echo $$ $PPID $(id -u) $(id -g); exit 3");
    spawn.standard[1] = output.writeEnd.get();
    spawn.ownProcessGroup = true;
    spawn.ownPidNamespace = true;
    ChildProcess child(spawn, ChildProcess::Descendants::ended);
    output.writeEnd.reset();
    if (!child.inOwnPidNamespace()) {
        return 11;
    }
    const auto status = child.waitUntil(std::chrono::steady_clock::time_point::max(), -1);
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 3) {
        return 12;
    }
    std::array<char, 128> text{};
    const auto got = ::read(output.readEnd.get(), text.data(), text.size());
    const auto expected =
        "1 0 " + std::to_string(::geteuid()) + " " + std::to_string(::getegid()) + "\n";
    return got > 0 && std::string(text.data(), static_cast<std::size_t>(got)) == expected ? 0 : 13;
}

TEST(ChildSpawnTest, AKeptChildInAPidNamespaceSeesItsOwnIdsAndEndsAsEver) {
    // Root makes a PID namespace as it is; any other user inside a user namespace of its own.
    for (const bool otherUser : {false, true}) {
        SCOPED_TRACE(otherUser ? "a user without capabilities" : "this user");
        if (otherUser && ::geteuid() != 0) {
            continue;
        }
        const pid_t run = ::fork();
        if (run == 0) {
            constexpr uid_t nobody = 65534;
            if (otherUser && (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 ||
                              ::setuid(nobody) != 0)) {
                ::_exit(2);
            }
            ::_exit(keptChildInANamespace());
        }
        int status = 0;
        ::waitpid(run, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 10) {
            std::cout << "no PID namespace for " << (otherUser ? "nobody" : "this user") << "\n";
            continue;
        }
        EXPECT_EQ(WEXITSTATUS(status), 0)
            << "2: no other user; 11: not in a namespace; 12: its end; 13: what it saw";
    }
}

}  // namespace
}  // namespace vask
