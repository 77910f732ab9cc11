#include "platform/child_spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define VASK_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VASK_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(VASK_ADDRESS_SANITIZER)
#include <sanitizer/asan_interface.h>
#endif
#if defined(__SANITIZE_THREAD__)
#define VASK_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VASK_THREAD_SANITIZER 1
#endif
#endif

extern char** environ;

namespace vask {
namespace {

// The most descriptors a child is given: 0-2, four passed, and the spawn's own (its report,
// its go word, a keeper's stop and status).
constexpr int kMaxPlaced = 10;

void check(bool ok, const char* step) {
    if (!ok) {
        throw std::system_error(errno, std::generic_category(), step);
    }
}

// Owned, NUL-terminated copies of strings in a null-terminated array, as exec wants.
std::vector<char*> pointers(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (const auto& s : strings) {
        out.push_back(const_cast<char*>(s.c_str()));
    }
    out.push_back(nullptr);
    return out;
}

// Everything the child does between fork and exec is async-signal-safe: it copies nothing and
// allocates nothing (another thread may have held the allocator's lock when the process forked).
struct ChildPlan {
    const char* executable = nullptr;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    const char* workingFolder = nullptr;
    // sources[i] goes on descriptor i; the child gets the first `given`, the rest are the
    // spawn's own and close on exec: the report at `given`, then the go word or a keeper's.
    int sources[kMaxPlaced]{};
    int placed = 0;
    int given = 0;
    // The report pipe's writing end as this process holds it, for a failure before placing.
    int reportFd = -1;
    // -1 stays in this process's group, 0 leads a new one, any other joins that group.
    pid_t group = -1;
    // A session (and group) of its own instead: no signal sent to a group of this process's
    // session, or of its terminal, reaches it.
    bool ownSession = false;
    // Sent to the child when the starting thread goes (0: nothing): SIGKILL kills it, SIGCONT
    // wakes it should it be stopped.
    int parentDeathSignal = 0;
    pid_t parent = 0;
    // The child waits for one byte on the descriptor after the report (the parent's word that
    // the group's watch is in place); its end closes it without that word.
    bool waitsForGo = false;
    // Every signal that can be caught is ignored and blocked from the exec on (the group's watch).
    bool holdsOffEverySignal = false;
    // A keeper's: the command is started in a PID namespace of its own where the kernel allows.
    bool ownPidNamespace = false;
    // A keeper's: called once the command is started, before the keeper lets go of the report.
    const std::function<void()>* whileKeeperStarts = nullptr;
};

// The child's own steps run, for most children, on a stack of their own in this process's memory
// until the exec (below): they are kept out of the sanitizers' instrumentation, whose marks on
// that stack would outlive it.
#define VASK_CHILD_STEP __attribute__((no_sanitize("address", "undefined")))

[[noreturn]] VASK_CHILD_STEP void failWith(int reportFd, int error) {
    [[maybe_unused]] const auto written = ::write(reportFd, &error, sizeof error);
    ::_exit(127);
}

// Puts plan.sources[i] on descriptor i and closes every other descriptor: the ones this process
// had open (made without O_CLOEXEC by libraries, or a sibling thread's pipes) are none of the
// child's business, and a child must not hold them while it waits for anything. Each source is
// first copied above every source and target, so that no dup2 overwrites one still to be placed.
VASK_CHILD_STEP int placeDescriptors(const ChildPlan& plan) {
    int above = plan.placed;
    for (int i = 0; i < plan.placed; ++i) {
        above = std::max(above, plan.sources[i] + 1);
    }
    int copies[kMaxPlaced];
    for (int i = 0; i < plan.placed; ++i) {
        copies[i] = ::fcntl(plan.sources[i], F_DUPFD_CLOEXEC, above);
        if (copies[i] < 0) {
            return errno;
        }
    }
    for (int i = 0; i < plan.placed; ++i) {
        // dup2 clears close-on-exec: what is given survives the exec, the spawn's own do not.
        if (::dup2(copies[i], i) < 0 || (i >= plan.given && ::fcntl(i, F_SETFD, FD_CLOEXEC) != 0)) {
            return errno;
        }
    }
    if (::syscall(SYS_close_range, static_cast<unsigned>(plan.placed), ~0U, 0U) != 0) {
        return errno;
    }
    return 0;
}

// Every signal that can be caught ignored and blocked, through the kernel itself: glibc's
// sigaction and sigprocmask leave out the two it keeps for itself (32 and 33). Both stay so
// across the exec. Ignored is not enough for a shell: dash catches SIGCHLD whatever it was given,
// and its `read` then returns as at the end of its input; a blocked signal is never delivered.
// (SIGCONT continues a stopped process blocked or not. The kernel's own `struct sigaction`, as
// on x86-64 and AArch64.)
VASK_CHILD_STEP void holdOffEverySignal() {
    struct KernelSigaction {
        void (*handler)(int);
        unsigned long flags;
        void (*restorer)();
        unsigned long mask;
    };
    const KernelSigaction ignore{SIG_IGN, 0, nullptr, 0};
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) {
            ::syscall(SYS_rt_sigaction, sig, &ignore, nullptr, sizeof(unsigned long));
        }
    }
    const unsigned long all = ~0UL;
    ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, nullptr, sizeof all);
}

// What the child does once its descriptors are in place: it runs the program or reports why not.
[[noreturn]] VASK_CHILD_STEP void execPlaced(const ChildPlan& plan) {
    const int report = plan.given;
    if (plan.ownSession ? ::setsid() < 0 : plan.group >= 0 && ::setpgid(0, plan.group) != 0) {
        failWith(report, errno);
    }
    if (plan.waitsForGo) {
        const int go = plan.given + 1;
        char word = 0;
        ssize_t got = 0;
        do {
            got = ::read(go, &word, 1);
        } while (got < 0 && errno == EINTR);
        if (got != 1) {
            ::_exit(127);
        }
        ::close(go);
    }
    // The application's signal state must not leak into the child: an ignored signal would
    // stay ignored across the exec, so every disposition goes back to its default.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) {
            ::sigaction(sig, &defaults, nullptr);
        }
    }
    if (::chdir(plan.workingFolder) != 0) {
        failWith(report, errno);
    }
    sigset_t empty;
    sigemptyset(&empty);
    ::sigprocmask(SIG_SETMASK, &empty, nullptr);
    if (plan.holdsOffEverySignal) {
        holdOffEverySignal();
    }
    ::execve(plan.executable, plan.argv, plan.envp);
    failWith(report, errno);
}

[[noreturn]] VASK_CHILD_STEP void runChild(const ChildPlan& plan) {
    // A helper must not outlive the application, however the application ends (a crash, a
    // kill -9, a logout that kills the session): the kernel kills it when the thread that
    // started it goes. A parent that died before the request was made is seen here.
    if (plan.parentDeathSignal != 0 &&
        (::prctl(PR_SET_PDEATHSIG, plan.parentDeathSignal) != 0 || ::getppid() != plan.parent)) {
        ::_exit(127);
    }
    // First of all, before anything that waits: a sibling thread's pipe held here would keep
    // its reader waiting for an end.
    if (const int error = placeDescriptors(plan); error != 0) {
        failWith(plan.reportFd, error);
    }
    execPlaced(plan);
}

// A keeper's descriptors, after the child's own and its report.
struct KeeperSlots {
    int stop;
    int status;
};

// What comes on a keeper's status pipe: the command's pid (from the command itself, before its
// exec), then the command's wait status (from the keeper). Each is written whole in one write.
struct KeeperWord {
    // `commandInNamespace` is the keeper's: the command's pid as Vask sees it, the command
    // being the first process of a PID namespace of its own (where its own pid reads 1).
    enum Kind : int { commandPid, commandStatus, commandInNamespace };
    Kind kind;
    int value;
};

// Kills every child of the calling (single-threaded) process; false when they cannot be listed.
// A pid listed here is a child of this process that only this process reaps, and it reaps none
// between the listing and the kill: the pid names the same process until then.
bool killChildren() {
    const int list = ::open("/proc/thread-self/children", O_RDONLY | O_CLOEXEC);
    if (list < 0) {
        return false;
    }
    char buffer[512];
    pid_t pid = 0;
    for (;;) {
        const auto n = ::read(list, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] >= '0' && buffer[i] <= '9') {
                pid = pid * 10 + (buffer[i] - '0');
            } else {
                if (pid > 0) {
                    ::kill(pid, SIGKILL);
                }
                pid = 0;
            }
        }
    }
    if (pid > 0) {
        ::kill(pid, SIGKILL);
    }
    ::close(list);
    return true;
}

void onChildEnded(int) {}

// clone3's arguments up to its first version's end (the kernel's `struct clone_args`).
struct CloneArgs {
    std::uint64_t flags = 0;
    std::uint64_t pidfd = 0;
    std::uint64_t childTid = 0;
    std::uint64_t parentTid = 0;
    std::uint64_t exitSignal = 0;
    std::uint64_t stack = 0;
    std::uint64_t stackSize = 0;
    std::uint64_t tls = 0;
};

// What a command started in a namespace of its own needs to know of it.
struct CommandNamespace {
    bool pid = false;
    // A user namespace too: the user's ids are mapped to themselves there, as these lines say.
    bool user = false;
    std::array<char, 48> uidMap{};
    std::array<char, 48> gidMap{};
};

// Forks the calling (single-threaded) keeper into a command that is the first process of a PID
// namespace of its own: as it is where this user may make one (CAP_SYS_ADMIN), else inside a
// user namespace of its own, where the kernel allows unprivileged ones. -1 where neither is
// allowed (or clone3 is unknown); 0 in the command, as fork returns.
pid_t forkIntoPidNamespace(CommandNamespace& made) {
    std::snprintf(made.uidMap.data(), made.uidMap.size(), "%u %u 1\n", ::geteuid(), ::geteuid());
    std::snprintf(made.gidMap.data(), made.gidMap.size(), "%u %u 1\n", ::getegid(), ::getegid());
    for (const bool user : {false, true}) {
        CloneArgs args;
        args.flags = CLONE_NEWPID | (user ? CLONE_NEWUSER : 0);
        args.exitSignal = SIGCHLD;
        const auto pid = ::syscall(SYS_clone3, &args, sizeof args);
        if (pid >= 0) {
            made.pid = true;
            made.user = user;
            return static_cast<pid_t>(pid);
        }
        // Refused for this user, or unknown to the kernel: nothing else would do better.
        if (errno != EPERM) {
            break;
        }
    }
    return -1;
}

// Writes `text` whole to the file at `path`; false when it cannot.
bool writeWhole(const char* path, const char* text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const auto length = std::strlen(text);
    const bool written = ::write(fd, text, length) == static_cast<ssize_t>(length);
    ::close(fd);
    return written;
}

// In a command that is the first process of its own user namespace: its user's ids mapped to
// themselves, so that it sees its own ids and files as ever (unmapped, they read as the
// overflow ids; its access is the same either way, so a map refused is no failure). The keeper
// is not dumpable, and neither is its copy, whose /proc files are then root's: dumpable until
// its exec, which makes it so anyway.
void mapOwnIds(const CommandNamespace& made) {
    ::prctl(PR_SET_DUMPABLE, 1);
    if (writeWhole("/proc/self/setgroups", "deny")) {
        writeWhole("/proc/self/gid_map", made.gidMap.data());
    }
    writeWhole("/proc/self/uid_map", made.uidMap.data());
}

// The keeper: a child subreaper whose one child is the command, so that every process the
// command starts is its descendant and, once orphaned, its child. It reports the command's end,
// then waits for the word to end everything (a byte on the stop socket, or its end, which also
// comes when Vask dies), kills its children until it has none, and ends. Signals other than
// SIGCHLD stay blocked (a terminal's Ctrl-C is for Vask, which then ends the keeper by dying).
[[noreturn]] void runKeeper(const ChildPlan& plan, KeeperSlots slots) {
    if (const int error = placeDescriptors(plan); error != 0) {
        failWith(plan.reportFd, error);
    }
    const int report = plan.given;
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        failWith(report, errno);
    }
    // Stopped (by the command, which knows its parent), the keeper would never see Vask's end,
    // and the command, whose parent lives, would run on: Vask's death wakes it (the kernel's
    // SIGCONT continues a stopped process whatever its mask), and no process without
    // CAP_SYS_PTRACE can attach to it (a ptrace stop is one SIGCONT does not end). A keeper whose
    // Vask went before the request was made starts nothing.
    if (::prctl(PR_SET_PDEATHSIG, SIGCONT) != 0 || ::prctl(PR_SET_DUMPABLE, 0) != 0) {
        failWith(report, errno);
    }
    if (::getppid() != plan.parent) {
        ::_exit(127);
    }
    struct sigaction wake {};
    wake.sa_handler = onChildEnded;
    sigemptyset(&wake.sa_mask);
    ::sigaction(SIGCHLD, &wake, nullptr);
    sigset_t waiting;
    sigfillset(&waiting);
    sigdelset(&waiting, SIGCHLD);

    // The command: the keeper's descriptors are none of its business. It dies with the keeper,
    // however the keeper goes (killed by the command itself, or by the out-of-memory killer); a
    // keeper gone before the request was made is seen here. Its pid goes to Vask before it runs
    // anything, so that Vask can end its group once the keeper cannot.
    //
    // In a PID namespace of its own, the command's death ends everything in it, and nothing in it
    // can name the keeper: the keeper's death ends it all, whatever it does. Its parent's pid
    // reads 0 there, so the end of `alive`, which only the keeper holds, tells whether the keeper
    // still lived once the request was made; its pid there is 1, so the keeper tells Vask its pid.
    const pid_t keeper = ::getpid();
    CommandNamespace made;
    std::array<int, 2> alive{-1, -1};
    pid_t command = -1;
    if (plan.ownPidNamespace && ::pipe2(alive.data(), O_CLOEXEC) == 0) {
        command = forkIntoPidNamespace(made);
        if (command != 0) {
            ::close(alive[0]);
            if (!made.pid) {
                ::close(alive[1]);
            }
        }
    }
    if (!made.pid) {
        command = ::_Fork();
    }
    if (command == 0) {
        if (made.pid) {
            ::close(alive[1]);
            pollfd keeperGone{alive[0], 0, 0};
            if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::poll(&keeperGone, 1, 0) != 0) {
                ::_exit(127);
            }
            ::close(alive[0]);
            if (made.user) {
                mapOwnIds(made);
            }
        } else {
            if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != keeper) {
                ::_exit(127);
            }
            const KeeperWord word{KeeperWord::commandPid, ::getpid()};
            [[maybe_unused]] const auto written = ::write(slots.status, &word, sizeof word);
        }
        ::close(slots.stop);
        ::close(slots.status);
        execPlaced(plan);
    }
    if (command < 0) {
        failWith(report, errno);
    }
    if (made.pid) {
        const KeeperWord word{KeeperWord::commandInNamespace, command};
        [[maybe_unused]] const auto written = ::write(slots.status, &word, sizeof word);
    }
    if (plan.whileKeeperStarts != nullptr && *plan.whileKeeperStarts) {
        (*plan.whileKeeperStarts)();
    }
    // The command's descriptors are the command's: the keeper holds none of them (its output
    // ends when the command's holders end), and the report closes when the command runs.
    ::syscall(SYS_close_range, 0U, static_cast<unsigned>(report), 0U);

    int status = W_EXITCODE(255, 0);
    bool commandEnded = false;
    bool told = false;
    const auto tell = [&] {
        if (!told) {
            const KeeperWord word{KeeperWord::commandStatus, status};
            [[maybe_unused]] const auto written = ::write(slots.status, &word, sizeof word);
            ::close(slots.status);
            told = true;
        }
    };
    const auto reapAll = [&] {
        for (;;) {
            int ended = 0;
            const pid_t pid = ::waitpid(-1, &ended, WNOHANG);
            if (pid <= 0) {
                return pid == 0 || errno != ECHILD;
            }
            if (pid == command) {
                status = ended;
                commandEnded = true;
            }
        }
    };
    // Until the word to end: the command's end is told as it comes, orphans are reaped.
    for (;;) {
        reapAll();
        if (commandEnded) {
            tell();
        }
        pollfd stop{slots.stop, POLLIN, 0};
        if (::ppoll(&stop, 1, nullptr, &waiting) > 0) {
            break;
        }
    }
    // Everything left is the command's: killed, then its orphans in turn, until none is left.
    // Without /proc the command's group is what can be reached, and the rest is not waited for.
    for (int round = 0;; ++round) {
        if (!killChildren()) {
            if (!commandEnded) {
                ::kill(-command, SIGKILL);
                ::kill(command, SIGKILL);
            }
            if (round > 100) {
                break;
            }
        }
        if (!reapAll()) {
            break;
        }
        const timespec pause{0, 10'000'000};
        ::ppoll(nullptr, 0, &pause, &waiting);
    }
    tell();
    ::_exit(0);
}

// Blocks every signal on the calling thread while it lives: between fork and the child's reset
// of its handlers, a signal must not run one of the application's handlers in the child.
class AllSignalsBlocked {
  public:
    AllSignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &saved_);
    }
    ~AllSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

  private:
    sigset_t saved_{};
};

void reap(pid_t pid) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// The program to run: as given, or a bare name found on this process's PATH. Looked up before
// the fork, where allocating is allowed.
std::string resolveProgram(const ChildSpawn& spawn) {
    std::string program = spawn.program.string();
    if (!spawn.searchPath || program.find('/') != std::string::npos) {
        return program;
    }
    const char* path = std::getenv("PATH");
    std::string_view folders = path != nullptr ? path : "/usr/bin:/bin";
    int error = ENOENT;
    while (true) {
        const auto end = folders.find(':');
        const auto folder = folders.substr(0, end);
        auto candidate = std::string(folder.empty() ? "." : folder) + "/" + program;
        struct stat status {};
        if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            if (::access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
            error = EACCES;
        }
        if (end == std::string_view::npos) {
            break;
        }
        folders.remove_prefix(end + 1);
    }
    throw std::system_error(error, std::generic_category(), "exec " + program);
}

// What a spawn needs made before the fork: the strings exec takes, and /dev/null for standard
// descriptors that are given none.
struct Prepared {
    std::string program;
    std::vector<std::string> argvStrings;
    std::vector<std::string> envStrings;
    std::vector<char*> argv;
    std::vector<char*> envp;
    std::string workingFolder;
    UniqueFd null;

    explicit Prepared(const ChildSpawn& spawn)
        : program(resolveProgram(spawn)), workingFolder(spawn.workingFolder.string()) {
        argvStrings.push_back(spawn.program.string());
        argvStrings.insert(argvStrings.end(), spawn.arguments.begin(), spawn.arguments.end());
        for (const auto& entry : spawn.environment) {
            if (!spawn.withheld ||
                !spawn.withheld(std::string_view(entry).substr(0, entry.find('=')))) {
                envStrings.push_back(entry);
            }
        }
        argv = pointers(argvStrings);
        envp = pointers(envStrings);
        null.reset(::open("/dev/null", O_RDWR | O_CLOEXEC));
        check(null.isOpen(), "open /dev/null");
        if (spawn.passed.size() > 4) {
            throw std::system_error(EINVAL, std::generic_category(), "more than four descriptors");
        }
    }

    // The name the program sees as its own (argv[0]).
    void nameAs(std::string name) {
        argvStrings.front() = std::move(name);
        argv = pointers(argvStrings);
    }

    // The plan of the child, with the descriptors it is given; the report and what follows
    // are added by the caller.
    ChildPlan plan(const ChildSpawn& spawn) const {
        ChildPlan plan;
        plan.executable = program.c_str();
        plan.argv = argv.data();
        plan.envp = envp.data();
        plan.workingFolder = workingFolder.c_str();
        for (const int source : spawn.standard) {
            plan.sources[plan.placed++] = source >= 0 ? source : null.get();
        }
        for (const int source : spawn.passed) {
            plan.sources[plan.placed++] = source >= 0 ? source : null.get();
        }
        plan.given = plan.placed;
        plan.group = spawn.ownProcessGroup ? 0 : -1;
        plan.parentDeathSignal = spawn.diesWithStarter ? SIGKILL : 0;
        plan.parent = ::getpid();
        plan.ownPidNamespace = spawn.ownPidNamespace;
        return plan;
    }
};

// Forks a child that runs `run()` and returns its pid.
template <typename Run>
pid_t forkChild(const Run& run) {
    pid_t pid = -1;
    int forkError = 0;
    {
        const AllSignalsBlocked blocked;
        pid = ::fork();
        if (pid == 0) {
            run();
        }
        // Restoring the signal mask may change errno.
        forkError = errno;
    }
    if (pid < 0) {
        throw std::system_error(forkError, std::generic_category(), "fork");
    }
    return pid;
}

#if defined(VASK_THREAD_SANITIZER)
// ThreadSanitizer cannot follow a child that shares this process's memory: its runtime would run
// its after-fork steps there, on this process's own state, then report races that are none (and
// may end this process). Its builds fork every child; the other builds take the path below.
pid_t cloneChild(const ChildPlan& plan) {
    return forkChild([&plan] { runChild(plan); });
}
#else
VASK_CHILD_STEP int runChildOnItsStack(void* plan) {
    runChild(*static_cast<const ChildPlan*>(plan));
}

// Starts a child that runs `plan` and waits for nothing before its exec, as posix_spawn does: it
// shares this process's memory on a stack of its own, with this thread held until it has run
// the program or ended, so that nothing of this process is copied (a fork of a large process
// costs milliseconds). Only a child that waits for this process (its group's watch) is forked.
pid_t cloneChild(const ChildPlan& plan) {
    constexpr std::size_t kStackBytes = std::size_t{256} * 1024;
    void* stack = ::mmap(nullptr, kStackBytes, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    check(stack != MAP_FAILED, "mmap");
    // Until its exec the child runs on this thread's errno too: what its steps leave there (the
    // reset of a signal glibc keeps for itself fails) is not the caller's.
    const int found = errno;
    pid_t pid = -1;
    int cloneError = 0;
    {
        const AllSignalsBlocked blocked;
        pid = ::clone(runChildOnItsStack, static_cast<char*>(stack) + kStackBytes,
                      CLONE_VM | CLONE_VFORK | SIGCHLD, const_cast<ChildPlan*>(&plan));
        cloneError = errno;
    }
#if defined(VASK_ADDRESS_SANITIZER)
    __asan_unpoison_memory_region(stack, kStackBytes);
#endif
    ::munmap(stack, kStackBytes);
    if (pid < 0) {
        throw std::system_error(cloneError, std::generic_category(), "clone");
    }
    errno = found;
    return pid;
}
#endif

// The child's word on the report pipe: nothing once it ran the program (the pipe closed on exec),
// else why it could not.
int childError(const UniqueFd& report) {
    int error = 0;
    ssize_t got = 0;
    do {
        got = ::read(report.get(), &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    return got > 0 ? error : 0;
}

// The keeper's word on the start's report, waited for no longer than `bound`: `error` is the
// command's errno when it could not run, 0 once it runs (its exec and the keeper closed the
// report); `ended` says what ended the wait instead. A keeper stopped meanwhile (by the command,
// which knows its parent, before the keeper let go of its copy) is continued every 10 ms.
struct StartReport {
    int error = 0;
    std::optional<std::errc> ended;
};

StartReport keeperStart(const UniqueFd& report, pid_t keeper,
                        const ChildProcess::StartBound& bound) {
    UniqueFd wake;
    std::optional<std::stop_callback<std::function<void()>>> onStop;
    if (bound.stop.stop_possible()) {
        wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        check(wake.isOpen(), "eventfd");
        onStop.emplace(bound.stop, std::function<void()>([fd = wake.get()] {
                           const std::uint64_t one = 1;
                           [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
                       }));
    }
    for (;;) {
        std::array<pollfd, 2> fds{pollfd{report.get(), POLLIN, 0}, pollfd{wake.get(), POLLIN, 0}};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            bound.deadline - std::chrono::steady_clock::now());
        const auto timeout = std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 10);
        const int ready = ::poll(fds.data(), wake.isOpen() ? 2 : 1, static_cast<int>(timeout));
        if (ready < 0 && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        if (ready > 0 && fds[0].revents != 0) {
            return StartReport{childError(report), std::nullopt};
        }
        if (ready > 0 && fds[1].revents != 0) {
            return StartReport{0, std::errc::operation_canceled};
        }
        if (left.count() <= 0) {
            return StartReport{0, std::errc::timed_out};
        }
        // Until it is reaped its pid is its own.
        ::kill(keeper, SIGCONT);
    }
}

// The watcher's script, the group's id its first argument: the end of the pipe on descriptor 3
// (this application gone, or done with the child) ends the whole group. It is in no group it
// could be reached through, and ignores every signal it can (one sent by its pid included): its
// spawn ignores and blocks them all before the exec (holdOffEverySignal), 32 and 33 among them,
// which glibc keeps for itself and so refuses to a shell's `trap` (dash says nothing and leaves
// them at their default, which ends it). `read` and `kill` are builtins, so nothing else is
// started.
constexpr const char* watchScript =
    "trap '' 1 2 3 4 5 6 7 8 10 11 12 13 14 15 16 17 18 20 21 22 23 24 25 26 27 28 29 30 31; "
    "i=34; while [ $i -le 64 ]; do trap '' $i; i=$((i + 1)); done; "
    "read -r _ <&3; kill -KILL -$1";

}  // namespace

Pipe Pipe::make() {
    int fds[2];
    check(::pipe2(fds, O_CLOEXEC) == 0, "pipe2");
    return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

std::vector<std::string> environmentBlock(const std::map<std::string, std::string>& environment) {
    std::vector<std::string> entries;
    entries.reserve(environment.size());
    for (const auto& [name, value] : environment) {
        entries.push_back(std::string(name).append("=").append(value));
    }
    return entries;
}

pid_t spawnChild(const ChildSpawn& spawn) {
    // A spawn that succeeds leaves errno as it found it (the PATH lookup fails on the way).
    const int found = errno;
    const Prepared prepared(spawn);
    auto plan = prepared.plan(spawn);
    // The child tells why it could not start through this pipe; a successful exec closes it.
    auto report = Pipe::make();
    plan.reportFd = report.writeEnd.get();
    plan.sources[plan.placed++] = report.writeEnd.get();
    // With a watch, the child runs nothing before its group is watched: an application
    // killed in between would leave what the program starts behind. The word goes through a
    // socket, sent without SIGPIPE: a child that died meanwhile fails this spawn, nothing else.
    const bool watched = spawn.groupWatch != nullptr && spawn.ownProcessGroup;
    UniqueFd goHere;
    UniqueFd goThere;
    if (watched) {
        int ends[2];
        check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "socketpair");
        goHere.reset(ends[0]);
        goThere.reset(ends[1]);
        plan.sources[plan.placed++] = goThere.get();
        plan.waitsForGo = true;
    }
    const pid_t pid = watched ? forkChild([&plan] { runChild(plan); }) : cloneChild(plan);
    report.writeEnd.reset();
    goThere.reset();
    if (watched) {
        try {
            // The child may not have made its group yet: made here, so that the watch has one.
            ::setpgid(pid, pid);
            *spawn.groupWatch = ProcessGroupWatch::start(pid);
            if (spawn.whileHeld) {
                spawn.whileHeld(pid);
            }
            const char word = 1;
            if (::send(goHere.get(), &word, 1, MSG_NOSIGNAL) != 1) {
                throw std::system_error(errno, std::generic_category(),
                                        "the child ended before it ran the program");
            }
        } catch (...) {
            // The group is ended while its unreaped leader holds its id.
            ::kill(pid, SIGKILL);
            spawn.groupWatch->end();
            reap(pid);
            throw;
        }
    }
    if (const int error = childError(report.readEnd); error != 0) {
        // The child never ran the program: reaped here, so nobody else has to.
        if (watched) {
            spawn.groupWatch->end();
        }
        reap(pid);
        throw std::system_error(error, std::generic_category(), "exec " + prepared.program);
    }
    errno = found;
    return pid;
}

ProcessGroupWatch::ProcessGroupWatch(ProcessGroupWatch&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), group_(other.group_), alive_(std::move(other.alive_)) {}

ProcessGroupWatch& ProcessGroupWatch::operator=(ProcessGroupWatch&& other) noexcept {
    if (this != &other) {
        end();
        pid_ = std::exchange(other.pid_, -1);
        group_ = other.group_;
        alive_ = std::move(other.alive_);
    }
    return *this;
}

ProcessGroupWatch ProcessGroupWatch::start(pid_t group) {
    auto alive = Pipe::make();
    ChildSpawn watcher;
    watcher.program = "/bin/sh";
    watcher.arguments = {"-c", watchScript, "vask-helper-watch", std::to_string(group)};
    watcher.environment = {"PATH=/usr/bin:/bin"};
    watcher.passed = {alive.readEnd.get()};
    Prepared prepared(watcher);
    prepared.nameAs("vask-helper-watch");
    auto plan = prepared.plan(watcher);
    // Out of the group it watches: a signal the group's members send to their group (a kill 0,
    // SIGKILL included) never reaches it. Stopped meanwhile, it is woken by this process's end.
    plan.ownSession = true;
    plan.parentDeathSignal = SIGCONT;
    plan.holdsOffEverySignal = true;
    auto report = Pipe::make();
    plan.reportFd = report.writeEnd.get();
    plan.sources[plan.placed++] = report.writeEnd.get();
    const pid_t pid = cloneChild(plan);
    report.writeEnd.reset();
    alive.readEnd.reset();
    if (const int error = childError(report.readEnd); error != 0) {
        reap(pid);
        throw std::system_error(error, std::generic_category(), "exec /bin/sh");
    }
    ProcessGroupWatch watch;
    watch.pid_ = pid;
    watch.group_ = group;
    watch.alive_ = std::move(alive.writeEnd);
    return watch;
}

void ProcessGroupWatch::end() noexcept {
    if (pid_ <= 0) {
        return;
    }
    // Not left to the watcher, which might be stopped; ended first, so that it signals nothing
    // once this returns. The group's id is the group's while its leader is unreaped.
    ::kill(pid_, SIGKILL);
    alive_.reset();
    ::kill(-group_, SIGKILL);
    reap(std::exchange(pid_, -1));
}

ChildProcess::ChildProcess(const ChildSpawn& spawn, Descendants descendants,
                           std::chrono::milliseconds endWait)
    : ChildProcess(spawn, descendants, endWait, StartBound{}) {}

ChildProcess::ChildProcess(const ChildSpawn& spawn, Descendants descendants,
                           std::chrono::milliseconds endWait, const StartBound& start)
    : group_(spawn.ownProcessGroup), endWait_(endWait) {
    if (descendants == Descendants::ended) {
        startKept(spawn, start);
        return;
    }
    pid_ = spawnChild(spawn);
    // Nothing else reaps this child, so its pid names it until it is reaped here.
    ended_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    if (!ended_.isOpen()) {
        const int error = errno;
        kill();
        reap(pid_);
        throw std::system_error(error, std::generic_category(), "pidfd_open");
    }
}

void ChildProcess::startKept(const ChildSpawn& spawn, const StartBound& start) {
    if (spawn.groupWatch != nullptr) {
        throw std::system_error(EINVAL, std::generic_category(), "a kept child has no watch");
    }
    const int found = errno;
    const Prepared prepared(spawn);
    auto plan = prepared.plan(spawn);
    auto report = Pipe::make();
    // The word to end everything is a byte, sent without SIGPIPE: the end of the socket alone
    // (this process gone) would not come while another of its children, forked and not yet past
    // closing what it inherited, holds a copy.
    int stopEnds[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, stopEnds) == 0, "socketpair");
    UniqueFd stopHere(stopEnds[0]);
    UniqueFd stopThere(stopEnds[1]);
    auto status = Pipe::make();
    plan.reportFd = report.writeEnd.get();
    plan.sources[plan.placed++] = report.writeEnd.get();
    const KeeperSlots slots{plan.placed, plan.placed + 1};
    plan.sources[plan.placed++] = stopThere.get();
    plan.sources[plan.placed++] = status.writeEnd.get();
    // The keeper itself is in this process's group and dies with nothing but its stop word.
    plan.parentDeathSignal = 0;
    plan.whileKeeperStarts = &spawn.whileKeeperStarts;
    pid_ = forkChild([&plan, slots] { runKeeper(plan, slots); });
    report.writeEnd.reset();
    stopThere.reset();
    status.writeEnd.reset();
    keeperStop_ = std::move(stopHere);
    const int flags = ::fcntl(status.readEnd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(status.readEnd.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        const int error = errno;
        stopKeeper();
        reap(pid_);
        throw std::system_error(error, std::generic_category(), "fcntl");
    }
    ended_ = std::move(status.readEnd);
    kept_ = true;
    StartReport started;
    try {
        started = keeperStart(report.readEnd, pid_, start);
    } catch (...) {
        endKeeper();
        kept_ = false;
        throw;
    }
    if (started.ended || started.error != 0) {
        // Ended as the owner's end would: whatever started is ended too.
        endKeeper();
        kept_ = false;
        if (started.ended) {
            throw std::system_error(std::make_error_code(*started.ended),
                                    "start " + prepared.program);
        }
        throw std::system_error(started.error, std::generic_category(),
                                "exec " + prepared.program);
    }
    // The keeper's word of a namespace came before it let go of the report.
    readKeeperWords();
    errno = found;
}

ChildProcess::~ChildProcess() {
    if (kept_) {
        endKeeper();
        return;
    }
    if (!status_) {
        kill();
        // Killed: the wait is as short as the kernel's teardown.
        reap(pid_);
    }
}

void ChildProcess::endKeeper() {
    {
        // The keeper ends what the child started and then itself; it is waited for, but not
        // past `endWait_` (a descendant stuck in the kernel, a keeper stopped again and again):
        // then it is killed, and so is the child's group, which is all that is left to reach.
        stopKeeper();
        const UniqueFd keeper(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
        const auto until = std::chrono::steady_clock::now() + endWait_;
        const auto ended = [&] {
            if (keeper.isOpen()) {
                pollfd end{keeper.get(), POLLIN, 0};
                return ::poll(&end, 1, 10) > 0;
            }
            siginfo_t info{};
            const bool gone =
                ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == pid_;
            if (!gone) {
                const timespec pause{0, 10'000'000};
                ::nanosleep(&pause, nullptr);
            }
            return gone;
        };
        bool done = false;
        while (!(done = ended()) && std::chrono::steady_clock::now() < until) {
            // Until it is reaped its pid is its own; whatever stopped it meanwhile is undone.
            ::kill(pid_, SIGCONT);
        }
        if (!done) {
            ::kill(pid_, SIGKILL);
        }
        int keeperStatus = 0;
        while (::waitpid(pid_, &keeperStatus, 0) < 0 && errno == EINTR) {
        }
        // A keeper that went any other way than its own clean end may have left the child's
        // group running, its orphans now the system's.
        if (!WIFEXITED(keeperStatus) || WEXITSTATUS(keeperStatus) != 0) {
            endCommandGroup();
        }
    }
}

void ChildProcess::kill() {
    if (kept_) {
        stopKeeper();
        return;
    }
    // Until it is reaped the child holds its pid, and as a leader its group's id too.
    if (!status_) {
        ::kill(group_ ? -pid_ : pid_, SIGKILL);
    }
}

void ChildProcess::stopKeeper() {
    if (keeperStop_.isOpen()) {
        const char word = 1;
        [[maybe_unused]] const auto sent = ::send(keeperStop_.get(), &word, 1, MSG_NOSIGNAL);
        keeperStop_.reset();
        // A keeper stopped (by the child, which knows its parent) would never see the word.
        ::kill(pid_, SIGCONT);
    }
}

void ChildProcess::readKeeperWords() {
    while (!status_) {
        KeeperWord word{};
        const auto got = ::read(ended_.get(), &word, sizeof word);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got == sizeof word) {
            if (word.kind == KeeperWord::commandStatus) {
                status_ = word.value;
            } else if (word.kind == KeeperWord::commandInNamespace) {
                commandPid_ = word.value;
                namespaced_ = true;
            } else if (commandPid_ <= 0) {
                // Only the first: the child writes it before it runs anything of its own.
                commandPid_ = word.value;
            }
            continue;
        }
        if (got >= 0 || errno != EAGAIN) {
            // The keeper ended without a word (killed): the child's end is unknown, which no
            // caller takes for success, and what the child started is no longer kept.
            status_ = W_EXITCODE(255, 0);
            endCommandGroup();
        }
        return;
    }
}

void ChildProcess::endCommandGroup() {
    // The child's pid may still be unread (a keeper killed before anyone looked).
    KeeperWord word{};
    while (commandPid_ <= 0 && ::read(ended_.get(), &word, sizeof word) == sizeof word) {
        if (word.kind == KeeperWord::commandPid || word.kind == KeeperWord::commandInNamespace) {
            commandPid_ = word.value;
        }
    }
    // The group's id stays the child's while any member lives, so no other group is reached.
    if (group_ && commandPid_ > 0) {
        ::kill(-commandPid_, SIGKILL);
    }
}

std::optional<int> ChildProcess::reapIfEnded() {
    if (status_) {
        return status_;
    }
    if (kept_) {
        readKeeperWords();
        return status_;
    }
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno == ECHILD) {
            // Reaped elsewhere: its end is unknown, which no caller takes for success.
            status_ = W_EXITCODE(255, 0);
        }
        return status_;
    }
    if (info.si_pid != pid_) {
        return std::nullopt;
    }
    // What it started goes with it: the group's id is still held by the unreaped leader.
    if (group_) {
        ::kill(-pid_, SIGKILL);
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = status;
    return status_;
}

std::optional<int> ChildProcess::waitUntil(std::chrono::steady_clock::time_point deadline,
                                           int wake) {
    while (!reapIfEnded()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        std::array<pollfd, 2> fds{pollfd{ended_.get(), POLLIN, 0}, pollfd{wake, POLLIN, 0}};
        const auto timeout = std::min<std::chrono::milliseconds::rep>(left.count(), 60'000);
        if (::poll(fds.data(), wake >= 0 ? 2 : 1, static_cast<int>(timeout)) < 0 &&
            errno != EINTR) {
            return std::nullopt;
        }
        if (wake >= 0 && fds[1].revents != 0) {
            return std::nullopt;
        }
    }
    return status_;
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> out;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        out.emplace_back(*entry);
    }
    return out;
}

}  // namespace vask
