#include "sources/file_search.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <future>
#include <set>
#include <thread>

#include "platform/child_spawn.h"
#include "platform/file_io.h"
#include "support/eventually.h"
#include "support/peak_heap.h"
#include "support/process_state.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

namespace fs = std::filesystem;

std::set<std::string> asSet(const std::vector<std::string>& paths) {
    return {paths.begin(), paths.end()};
}

void writeScript(const fs::path& path, const std::string& body) {
    writeFileAtomically(path, "#!/bin/sh\n" + body);
    fs::permissions(path, fs::perms::owner_all);
}

// Without a PID namespace, so that the pids a script writes are the system's (the way where the
// kernel allows none); see ACommandThatStopsItsKeeperEndsWithinTheBudget for the namespace.
FileSearch commandSearch(const fs::path& script, std::chrono::milliseconds budget,
                         bool ownPidNamespace = false) {
    FileSearch::Options options;
    options.commandPath = script;
    options.timeBudget = budget;
    options.ownPidNamespace = ownPidNamespace;
    return FileSearch(options);
}

FileSearch walkSearch() {
    FileSearch::Options options;
    options.commandPath = "/nonexistent/mdfind";
    options.timeBudget = std::chrono::minutes(1);
    options.smallFileBytes = 1024;
    return FileSearch(options);
}

TEST(FileSearchTest, CommandGetsTheQueryAsDataThenTheScopes) {
    struct Case {
        std::string query;
        std::string first;
    };
    const std::vector<Case> cases = {
        {"lease pets", "lease pets"}, {"-rf everything", " -rf everything"}, {"--help", " --help"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        const auto arguments = FileSearch::commandArguments(c.query, {"/a", "/b c"});
        EXPECT_EQ(arguments,
                  (std::vector<std::string>{c.first, "-onlyin", "/a", "-onlyin", "/b c"}));
    }
}

TEST(FileSearchTest, CommandOutputIsSplitLimitedAndNamesNotUtf8LeftOut) {
    test::TempDir dir;
    struct Case {
        std::string name;
        std::string script;
        std::size_t limit;
        std::vector<std::string> paths;
    };
    const std::vector<Case> cases = {
        {"arguments arrive unchanged",
         "for a in \"$@\"; do echo \"/$a\"; done",
         10,
         {"/ -q", "/-onlyin", "//s"}},
        {"only absolute paths count toward the limit",
         "printf 'warning: index busy\\n\\n./relative\\n~/home\\nfound 2\\n/a\\n/b\\n/c\\n'",
         2,
         {"/a", "/b"}},
        {"empty lines dropped, limit kept",
         "printf '/a\\n\\n/b\\n/c\\n/d\\n/e\\n/f\\n/g\\n'",
         4,
         {"/a", "/b", "/c", "/d"}},
        {"a Latin-1 name between two good ones is left out",
         "printf '/a\\n/caf\\351\\n/b\\n'",
         10,
         {"/a", "/b"}},
        {"a line with a NUL is no path", "printf '/a\\000b\\n/c\\n'", 10, {"/c"}},
        {"a line longer than any path is no path", "printf '/%04096d\\n/c\\n' 0", 10, {"/c"}},
        {"a last line without its newline", "printf '/a\\n/b'", 10, {"/a", "/b"}},
        {"a failing command gives what it printed", "echo /x; exit 3", 10, {"/x"}},
        {"limit zero keeps nothing", "echo /x", 0, {}},
        // The good paths come in a read of their own, after the left-out lines filled the limit.
        {"left-out names as many as the limit, then good paths",
         "printf '/caf\\351\\n/\\377\\n'; sleep 0.3; printf '/a\\n/b\\n'",
         2,
         {"/a", "/b"}},
        {"a left-out line longer than the limit's paths could take, then good paths",
         "printf '/%020000d\\n/a\\n/b\\n' 0",
         2,
         {"/a", "/b"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeScript(dir / "mdfind", c.script);
        const auto search = commandSearch(dir / "mdfind", std::chrono::minutes(1));
        ASSERT_TRUE(search.usesCommand());
        const auto result = search.search("-q", {"/s"}, c.limit, {});
        EXPECT_EQ(result.paths, c.paths);
        EXPECT_FALSE(result.timedOut);
        EXPECT_FALSE(result.cancelled);
    }
}

TEST(FileSearchTest, CancellationStopsASlowCommand) {
    test::TempDir dir;
    writeScript(dir / "mdfind",
                "echo /early\ntouch '" + (dir / "started").string() + "'\nexec sleep 600\n");
    const auto search = commandSearch(dir / "mdfind", std::chrono::minutes(10));
    std::stop_source stop;
    std::jthread canceller([&] {
        while (!fs::exists(dir / "started")) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        stop.request_stop();
    });
    const auto result = search.search("q", {"/s"}, 10, {}, stop.get_token());
    EXPECT_TRUE(result.cancelled);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.paths, std::vector<std::string>{"/early"});
}

// A command that writes without end, and without a newline, is read no further than the output's
// bound: what the search holds stays small, and no giant "path" comes of it.
TEST(FileSearchTest, ACommandThatWritesWithoutEndIsReadOnlyAsFarAsItsPathsCouldGo) {
    test::TempDir dir;
    writeScript(dir / "mdfind", "head -c 200000000 /dev/zero\n");
    const auto search = commandSearch(dir / "mdfind", std::chrono::hours(1));
    FileSearch::Result result;
    const auto peak = test::peakHeapGrowth([&] { result = search.search("q", {"/s"}, 40, {}); });
    EXPECT_TRUE(result.paths.empty());
    EXPECT_FALSE(result.timedOut);
    if (peak) {
        EXPECT_LT(*peak, std::size_t{1} << 20);
    }
}

TEST(FileSearchTest, TimeBudgetEndsAHungCommand) {
    test::TempDir dir;
    writeScript(dir / "mdfind", "exec sleep 600\n");
    const auto result =
        commandSearch(dir / "mdfind", std::chrono::milliseconds(20)).search("q", {"/s"}, 10, {});
    EXPECT_TRUE(result.timedOut);
    EXPECT_TRUE(result.paths.empty());
}

// A command that closes its output and runs on is ended by the budget or the stop all the same,
// with what it printed kept (by then: at the budget, a busy machine may not have run it yet).
TEST(FileSearchTest, ACommandThatClosesItsOutputAndRunsOnIsEnded) {
    test::TempDir dir;
    writeScript(dir / "mdfind",
                "echo /found\nexec >&-\n: >'" + (dir / "closed").string() + "'\nexec sleep 600\n");
    struct Case {
        std::string name;
        std::chrono::milliseconds budget;
        bool stopped;
    };
    const std::vector<Case> cases = {
        {"at the time budget", std::chrono::milliseconds(300), false},
        {"at a stop request", std::chrono::minutes(10), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir / "closed");
        const auto search = commandSearch(dir / "mdfind", c.budget);
        std::stop_source stop;
        auto searching = std::async(std::launch::async, [&] {
            return search.search("q", {"/s"}, 10, {}, stop.get_token());
        });
        if (c.stopped) {
            while (!fs::exists(dir / "closed")) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            stop.request_stop();
        }
        if (searching.wait_for(std::chrono::minutes(1)) != std::future_status::ready) {
            ADD_FAILURE() << "the search still waits for the command";
            test::killChildren();
        }
        const auto result = searching.get();
        if (c.stopped) {
            EXPECT_EQ(result.paths, std::vector<std::string>{"/found"});
        } else {
            EXPECT_LE(result.paths.size(), 1U);
        }
        EXPECT_EQ(result.cancelled, c.stopped);
        EXPECT_EQ(result.timedOut, !c.stopped);
    }
}

// A command that ended is not waited for while a process it left in a session of its own holds
// its output: the search ends a moment after the command, with what it printed, and that process
// is ended too.
TEST(FileSearchTest, AnOutputHeldPastTheCommandsEndDoesNotHoldTheSearch) {
    test::TempDir dir;
    const auto pidFile = dir / "held-by";
    const auto quoted = "'" + pidFile.string() + "'";
    writeScript(dir / "mdfind", "echo /found\nsetsid sh -c \"echo \\$\\$ >" + quoted +
                                    "; exec sleep 600\" &\nwhile [ ! -s " + quoted +
                                    " ]; do sleep 0.01; done\n");
    const auto result =
        commandSearch(dir / "mdfind", std::chrono::seconds(20)).search("q", {"/s"}, 10, {});
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.paths, std::vector<std::string>{"/found"});
    const auto pid = readFileIfExists(pidFile);
    ASSERT_TRUE(pid);
    const auto ended = [stat = "/proc/" + std::to_string(std::stoi(*pid)) + "/stat"] {
        // Gone, or a zombie until whoever took it over reaps it.
        const auto status = readFileIfExists(stat).value_or("");
        const auto name = status.rfind(')');
        return name == std::string::npos || status.compare(name, 3, ") Z") == 0;
    };
    EXPECT_TRUE(test::eventually(ended));
    if (!ended()) {
        ::kill(std::stoi(*pid), SIGKILL);
    }
}

// The pid a script wrote to `file` (written whole: to a temporary name, then moved).
pid_t pidIn(const fs::path& file) {
    const auto text = readFileIfExists(file);
    return text ? static_cast<pid_t>(std::stoi(*text)) : -1;
}

// What writes `pid` of the shell to `file` whole.
std::string writePid(const std::string& pid, const fs::path& file) {
    return "echo " + pid + " > '" + file.string() + ".tmp' && mv '" + file.string() + ".tmp' '" +
           file.string() + "'";
}

// A child of this process forked by another thread, stopped between its fork and its exec: it
// holds every descriptor this process had (the search's pipe among them) and must outlive a
// search whose command left something holding its output.
TEST(FileSearchTest, ASiblingThreadsChildBetweenForkAndExecOutlivesTheSearch) {
    test::TempDir dir;
    const auto started = dir / "started";
    const auto holder = dir / "holder";
    const auto forked = dir / "forked";
    writeScript(dir / "mdfind", "echo /found\n" + writePid("$$", started) + "\nwhile [ ! -e '" +
                                    forked.string() + "' ]; do sleep 0.01; done\nsetsid sh -c \"" +
                                    writePid("\\$\\$", holder) + "; exec sleep 600\" &\n" +
                                    "while [ ! -s '" + holder.string() +
                                    "' ]; do sleep 0.01; done\n");
    const auto search = commandSearch(dir / "mdfind", std::chrono::minutes(1));
    auto searching =
        std::async(std::launch::async, [&] { return search.search("q", {"/s"}, 10, {}); });
    ASSERT_TRUE(test::eventually([&] { return fs::exists(started); }));
    // Forked while the search's pipe is open, and held before its exec until told to go on
    // (then it ends well): killed meanwhile, it would end by SIGKILL.
    int goOn[2];
    ASSERT_EQ(::pipe2(goOn, O_CLOEXEC), 0);
    pid_t sibling = -1;
    std::thread([&] {
        sibling = ::fork();
        if (sibling == 0) {
            char word = 0;
            ::_exit(::read(goOn[0], &word, 1) == 1 ? 0 : 1);
        }
    }).join();
    ::close(goOn[0]);
    ASSERT_GT(sibling, 0);
    writeFileAtomically(forked, "");
    const auto result = searching.get();
    EXPECT_EQ(result.paths, std::vector<std::string>{"/found"});
    EXPECT_TRUE(test::processGone(pidIn(holder)));
    EXPECT_EQ(::write(goOn[1], "g", 1), 1);
    ::close(goOn[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(sibling, &status, 0), sibling);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the search ended a child of Vask's";
}

// A process that was running before the search (a service the command talks to) and that the
// command handed its output stays: it is no descendant of the command. The search ends a moment
// after the command, with what it printed.
TEST(FileSearchTest, AProcessStartedBeforeTheSearchAndHandedItsOutputOutlivesIt) {
    test::TempDir dir;
    const auto command = dir / "command";
    const auto held = dir / "held";
    ChildSpawn service;
    service.program = "/bin/sh";
    service.environment = {"PATH=/usr/bin:/bin"};
    // It takes the command's output by opening it through /proc, as a descriptor handed over.
    // Once told to go on, it ends well; killed meanwhile, it would end by SIGKILL.
    const auto goOn = dir / "go-on";
    service.arguments = {"-c", "while [ ! -s '" + command.string() +
                                   "' ]; do sleep 0.01; done; exec 9>/proc/$(cat '" +
                                   command.string() + "')/fd/1; : > '" + held.string() +
                                   "'; while [ ! -e '" + goOn.string() +
                                   "' ]; do sleep 0.01; done"};
    ChildProcess running(service);
    writeScript(dir / "mdfind", "echo /found\n" + writePid("$$", command) + "\nwhile [ ! -e '" +
                                    held.string() + "' ]; do sleep 0.01; done\n");
    const auto result =
        commandSearch(dir / "mdfind", std::chrono::minutes(1)).search("q", {"/s"}, 10, {});
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.paths, std::vector<std::string>{"/found"});
    EXPECT_TRUE(fs::exists(held));
    writeFileAtomically(goOn, "");
    const auto status = running.waitUntil(std::chrono::steady_clock::time_point::max(), -1);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        << "the search ended a process it did not start";
}

// Whatever ends the search, what the command started ends with it by the time the search
// returns: in a session of its own and holding the output, or not.
TEST(FileSearchTest, NothingTheCommandStartedOutlivesTheSearch) {
    test::TempDir dir;
    const auto holder = dir / "holder";
    const auto quiet = dir / "quiet";
    writeScript(dir / "mdfind", "echo /found\nsetsid sh -c \"" + writePid("\\$\\$", holder) +
                                    "; exec sleep 600\" &\nsetsid sh -c \"exec >/dev/null; " +
                                    writePid("\\$\\$", quiet) + "; exec sleep 600\" &\n" +
                                    "while [ ! -s '" + holder.string() + "' ] || [ ! -s '" +
                                    quiet.string() + "' ]; do sleep 0.01; done\n" +
                                    "[ \"$1\" = ended ] || exec sleep 600\n");
    struct Case {
        std::string name;
        std::string query;
        std::chrono::milliseconds budget;
        bool stopped;
    };
    const std::vector<Case> cases = {
        {"the command ended", "ended", std::chrono::minutes(1), false},
        {"the search was stopped", "runs", std::chrono::minutes(1), true},
        {"the time ran out", "runs", std::chrono::milliseconds(1500), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(holder);
        fs::remove(quiet);
        const auto search = commandSearch(dir / "mdfind", c.budget);
        std::stop_source stop;
        auto searching = std::async(std::launch::async, [&] {
            return search.search(c.query, {"/s"}, 10, {}, stop.get_token());
        });
        if (c.stopped) {
            ASSERT_TRUE(test::eventually([&] { return fs::exists(quiet) && fs::exists(holder); }));
            stop.request_stop();
        }
        const auto result = searching.get();
        EXPECT_EQ(result.cancelled, c.stopped);
        const pid_t left[] = {pidIn(holder), pidIn(quiet)};
        for (const pid_t pid : left) {
            if (pid <= 0) {
                continue;  // the time ran out before the command got that far
            }
            EXPECT_TRUE(test::processGone(pid)) << pid << " outlived the search";
            if (!test::processGone(pid)) {
                ::kill(pid, SIGKILL);
            }
        }
        if (!c.stopped && result.timedOut == false) {
            EXPECT_EQ(result.paths, std::vector<std::string>{"/found"});
        }
    }
}

// The state letter of a process (R, S, T, Z...), or nothing once it is gone.
char stateOf(pid_t pid) {
    const auto stat = readFileIfExists("/proc/" + std::to_string(pid) + "/stat").value_or("");
    const auto name = stat.rfind(')');
    return name == std::string::npos || stat.size() < name + 3 ? '\0' : stat[name + 2];
}

// Whatever becomes of the keeper (killed by the command, which knows its parent, killed from
// outside, or stopped by the command before the search is stopped), the search returns, and
// within a second of its return nothing the command started is alive.
TEST(FileSearchTest, NothingTheCommandStartedOutlivesAKeeperKilledOrStopped) {
    struct Case {
        std::string name;
        std::string toKeeper;
        bool killedFromOutside;
        bool stopped;
    };
    const std::vector<Case> cases = {
        {"the command kills its keeper", "kill -KILL $PPID", false, false},
        {"the keeper killed from outside", "", true, false},
        {"the command stops its keeper, then the search is stopped", "kill -STOP $PPID", false,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const auto pid = [&](const std::string& name) { return dir / name; };
        writeScript(dir / "mdfind",
                    "echo /found\nsleep 600 &\n" + writePid("$!", pid("background")) +
                        "\nsh -c \"sleep 600 & " + writePid("\\$!", pid("grandchild")) +
                        "; wait\" &\n" + writePid("$!", pid("subshell")) + "\nwhile [ ! -s '" +
                        pid("grandchild").string() + "' ]; do sleep 0.01; done\n" +
                        writePid("$PPID", pid("keeper")) + "\n" + writePid("$$", pid("command")) +
                        "\n" + c.toKeeper + "\nexec sleep 600\n");
        const auto search = commandSearch(dir / "mdfind", std::chrono::minutes(1));
        std::stop_source stop;
        auto searching = std::async(std::launch::async, [&] {
            return search.search("q", {"/s"}, 10, {}, stop.get_token());
        });
        ASSERT_TRUE(test::eventually([&] { return fs::exists(pid("command")); }));
        const pid_t keeper = pidIn(pid("keeper"));
        if (c.killedFromOutside) {
            ::kill(keeper, SIGKILL);
        }
        if (c.stopped) {
            EXPECT_TRUE(test::eventually([&] { return stateOf(keeper) == 'T'; }));
            stop.request_stop();
        }
        if (searching.wait_for(std::chrono::minutes(1)) != std::future_status::ready) {
            ADD_FAILURE() << "the search still waits for its keeper";
            test::killChildren();
        }
        const auto result = searching.get();
        EXPECT_EQ(result.cancelled, c.stopped);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.paths, std::vector<std::string>{"/found"});
        std::vector<pid_t> started;
        for (const auto* name : {"command", "background", "subshell", "grandchild"}) {
            started.push_back(pidIn(pid(name)));
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        const auto allGone = [&] {
            return std::all_of(started.begin(), started.end(),
                               [](pid_t p) { return test::processGone(p); });
        };
        while (!allGone() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(allGone()) << "what the command started outlived the search by a second";
        for (const pid_t p : started) {
            if (p > 0 && !test::processGone(p)) {
                ::kill(p, SIGKILL);
            }
        }
    }
}

// A command that stops its keeper at once, once or again and again (by its parent's pid, or by
// the pid its keeper has as the system's /proc names it), in a PID namespace of its own or not:
// the search returns at its budget, and nothing the command started is left.
TEST(FileSearchTest, ACommandThatStopsItsKeeperEndsWithinTheBudget) {
    struct Case {
        std::string name;
        std::string toKeeper;
    };
    const std::vector<Case> cases = {
        {"once, by its parent's pid", "kill -STOP $PPID"},
        {"again and again, by its parent's pid", "while :; do kill -STOP $PPID; done"},
        {"again and again, by the pid /proc names", "while :; do kill -STOP $keeper; done"},
    };
    for (const bool ownPidNamespace : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name + (ownPidNamespace ? ", in a namespace" : ""));
            test::TempDir dir;
            const auto started = dir / "started";
            // `read` is the shell's own, so /proc/self is the shell: its parent is the keeper.
            writeScript(dir / "mdfind",
                        "read -r _ _ _ keeper _ < /proc/self/stat\n" + c.toKeeper +
                            " 2>/dev/null &\necho /found\nsh -c 'read -r me _ < /proc/self/stat; " +
                            "echo $me > \"" + started.string() + ".tmp\"; mv \"" +
                            started.string() + ".tmp\" \"" + started.string() +
                            "\"; exec sleep 600' &\nexec sleep 600\n");
            const auto search =
                commandSearch(dir / "mdfind", std::chrono::milliseconds(1500), ownPidNamespace);
            auto searching = std::async(std::launch::async,
                                        [&] { return search.search("q", {"/s"}, 10, {}); });
            // Not a speed: a start or a wait without end is what this tells.
            if (searching.wait_for(std::chrono::minutes(1)) != std::future_status::ready) {
                ADD_FAILURE() << "the search did not end";
                test::killChildren();
            }
            const auto result = searching.get();
            EXPECT_TRUE(result.timedOut);
            EXPECT_FALSE(result.cancelled);
            if (const pid_t pid = pidIn(started); pid > 0) {
                EXPECT_TRUE(test::eventually([&] { return test::processGone(pid); }))
                    << "what the command started outlived the search";
                ::kill(pid, SIGKILL);
            }
        }
    }
}

TEST(FileSearchTest, UnlaunchableCommandThrows) {
    test::TempDir dir;
    writeFileAtomically(dir / "mdfind", "not a program");
    fs::permissions(dir / "mdfind", fs::perms::owner_all);
    EXPECT_THROW(commandSearch(dir / "mdfind", std::chrono::seconds(5)).search("q", {}, 10, {}),
                 FileSearchError);
}

TEST(FileSearchTest, QueryTermsAreLowerCasedWordsOfThreeBytesOrMore) {
    EXPECT_EQ(FileSearch::queryTerms("What did my LEASE say about pets? lease"),
              (std::vector<std::string>{"lease", "say", "pets"}));
    EXPECT_TRUE(FileSearch::queryTerms("what did the").empty());
    EXPECT_EQ(FileSearch::queryTerms("Ärger im Büro"), (std::vector<std::string>{"ärger", "büro"}));
    EXPECT_TRUE(FileSearch::queryTerms("a b ?? --").empty());
}

TEST(FileSearchTest, WalkMatchesNamesAndTheStartOfSmallTextFiles) {
    test::TempDir dir;
    const auto root = dir / "docs";
    fs::create_directories(root / "sub");
    fs::create_directories(root / "node_modules" / "pkg");
    fs::create_directories(dir / "outside");
    writeFileAtomically(root / "Lease-2024.pdf", "%PDF");
    writeFileAtomically(root / "sub" / "notes.txt", "The LEASE allows two pets.");
    writeFileAtomically(root / "sub" / "other.txt", "nothing relevant");
    writeFileAtomically(root / "big.txt", std::string(2048, 'x') + " lease");    // too big to read
    writeFileAtomically(root / "late.txt", std::string(20000, ' ') + " lease");  // past the start
    writeFileAtomically(root / "node_modules" / "pkg" / "lease.js", "lease");
    writeFileAtomically(dir / "outside" / "lease-secret.txt", "lease");
    // A Latin-1 name: legal on Linux, no UTF-8 path.
    writeFileAtomically(root / "lease-caf\xe9.txt", "lease");
    fs::create_directory_symlink(dir / "outside", root / "linked-dir");
    fs::create_symlink(dir / "outside" / "lease-secret.txt", root / "lease-link.txt");

    FileSearch::Options options;
    options.commandPath = "/nonexistent/mdfind";
    options.smallFileBytes = 1024;
    options.textPrefixBytes = 16 * 1024;
    std::vector<std::string> checked;
    const auto result = FileSearch(options).search("lease", {root}, 10, [&](const std::string& p) {
        checked.push_back(p);
        return p.find("/node_modules/") != std::string::npos;
    });
    EXPECT_EQ(asSet(result.paths), (std::set<std::string>{(root / "Lease-2024.pdf").string(),
                                                          (root / "sub" / "notes.txt").string()}));
    // The excluded folder was not entered.
    EXPECT_EQ(std::count_if(checked.begin(), checked.end(),
                            [](const std::string& p) { return p.ends_with("lease.js"); }),
              0);
}

TEST(FileSearchTest, WalkRanksNameMatchesFirstAndKeepsTheLimit) {
    test::TempDir dir;
    writeFileAtomically(dir / "a.txt", "pets and lease");
    writeFileAtomically(dir / "lease-pets.txt", "");
    writeFileAtomically(dir / "c.txt", "lease only");
    const auto result = walkSearch().search("lease pets", {dir.path()}, 2, {});
    EXPECT_EQ(result.paths, (std::vector<std::string>{(dir / "lease-pets.txt").string(),
                                                      (dir / "a.txt").string()}));
    EXPECT_EQ(result.scores, (std::vector<int>{4, 2}));
}

TEST(FileSearchTest, WalkStopsWhenCancelledOrOutOfTime) {
    test::TempDir dir;
    for (int i = 0; i < 50; ++i) {
        writeFileAtomically(dir / ("lease-" + std::to_string(i) + ".txt"), "x");
    }
    std::stop_source stop;
    stop.request_stop();
    const auto cancelled = walkSearch().search("lease", {dir.path()}, 100, {}, stop.get_token());
    EXPECT_TRUE(cancelled.cancelled);
    EXPECT_TRUE(cancelled.paths.empty());

    FileSearch::Options options;
    options.commandPath = "/nonexistent/mdfind";
    options.timeBudget = std::chrono::milliseconds(0);
    const auto timedOut = FileSearch(options).search("lease", {dir.path()}, 100, {});
    EXPECT_TRUE(timedOut.timedOut);
}

TEST(FileSearchTest, WalkSkipsUnreadableFoldersAndMissingScopes) {
    test::TempDir dir;
    fs::create_directories(dir / "locked");
    writeFileAtomically(dir / "locked" / "lease.txt", "x");
    writeFileAtomically(dir / "lease.txt", "x");
    fs::permissions(dir / "locked", fs::perms::none);
    const auto result = walkSearch().search("lease", {dir / "missing", dir.path()}, 10, {});
    fs::permissions(dir / "locked", fs::perms::owner_all);
    if (::geteuid() != 0) {
        EXPECT_EQ(result.paths, std::vector<std::string>{(dir / "lease.txt").string()});
    }
}

}  // namespace
}  // namespace vask
