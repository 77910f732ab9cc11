#include "engine/process_spawn.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <cerrno>
#include <cstring>
#include <functional>
#include <system_error>

namespace vask {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

void FileDescriptor::reset() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

Pipe Pipe::make() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    return Pipe{FileDescriptor(fds[0]), FileDescriptor(fds[1])};
}

CStringArray::CStringArray(const std::vector<std::string>& strings) {
    storage_.reserve(strings.size());
    pointers_.reserve(strings.size() + 1);
    for (const auto& s : strings) {
        auto copy = std::make_unique<char[]>(s.size() + 1);
        std::memcpy(copy.get(), s.c_str(), s.size() + 1);
        pointers_.push_back(copy.get());
        storage_.push_back(std::move(copy));
    }
    pointers_.push_back(nullptr);
}

CStringArray makeCStringArray(const std::vector<std::string>& strings) {
    return CStringArray(strings);
}

std::vector<std::string> environmentBlock(const std::map<std::string, std::string>& environment) {
    std::vector<std::string> entries;
    entries.reserve(environment.size());
    for (const auto& [name, value] : environment) {
        entries.push_back(std::string(name).append("=").append(value));
    }
    return entries;
}

namespace {

// Everything the child does between fork and exec is async-signal-safe: it copies nothing and
// allocates nothing (another thread may have held the allocator's lock when the process forked).
struct ChildPlan {
    const char* executable;
    char* const* argv;
    char* const* envp;
    int dups[4][2];
    int dupCount;
    int highestTarget;
    pid_t parent;
    // The group to join; 0 leads a new one.
    pid_t group;
    // Killed when the starting thread goes; only a watcher outlives it, to act on it.
    bool dieWithParent;
    int reportFd;
    // When set, the child waits for one byte on it before it goes on (the parent's word that
    // the group's watch is in place); its end closes it without that word.
    int goFd;
};

[[noreturn]] void failInChild(int reportFd) {
    const int error = errno;
    [[maybe_unused]] const auto written = ::write(reportFd, &error, sizeof error);
    ::_exit(127);
}

[[noreturn]] void runChild(const ChildPlan& plan) {
    // A helper must not outlive the application, however the application ends (a crash, a
    // kill -9, a logout that kills the session): the kernel kills it when the thread that
    // started it goes. A parent that died before the request was made is seen here.
    if (plan.dieWithParent &&
        (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != plan.parent)) {
        ::_exit(127);
    }
    // Group 0: the child leads a new group whose id is its own pid, so one signal reaches
    // everything it starts.
    if (::setpgid(0, plan.group) != 0) {
        failInChild(plan.reportFd);
    }
    if (plan.goFd >= 0) {
        char go = 0;
        ssize_t got = 0;
        do {
            got = ::read(plan.goFd, &go, 1);
        } while (got < 0 && errno == EINTR);
        if (got != 1) {
            ::_exit(127);
        }
    }
    // The application's signal state must not leak into the helper: an ignored signal would
    // stay ignored across the exec, so every disposition goes back to its default.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) {
            ::sigaction(sig, &defaults, nullptr);
        }
    }
    for (int i = 0; i < plan.dupCount; ++i) {
        // dup2 onto the same number leaves O_CLOEXEC set; the descriptor must survive the exec.
        if (plan.dups[i][0] == plan.dups[i][1]) {
            if (::fcntl(plan.dups[i][0], F_SETFD, 0) != 0) {
                failInChild(plan.reportFd);
            }
        } else if (::dup2(plan.dups[i][0], plan.dups[i][1]) < 0) {
            failInChild(plan.reportFd);
        }
    }
    // Whatever else the application has open (descriptors made without O_CLOEXEC by libraries)
    // is none of the helper's business. The report pipe is kept: it closes on exec by itself.
    // A spawn that cannot close them fails rather than leak them into the helper.
    if ((plan.highestTarget + 1 < plan.reportFd &&
         ::syscall(SYS_close_range, static_cast<unsigned>(plan.highestTarget + 1),
                   static_cast<unsigned>(plan.reportFd - 1), 0U) != 0) ||
        ::syscall(SYS_close_range, static_cast<unsigned>(plan.reportFd + 1), ~0U, 0U) != 0) {
        failInChild(plan.reportFd);
    }
    sigset_t empty;
    sigemptyset(&empty);
    ::sigprocmask(SIG_SETMASK, &empty, nullptr);
    ::execve(plan.executable, plan.argv, plan.envp);
    failInChild(plan.reportFd);
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
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Forks a child that runs `plan`, with the report pipe set up, and waits until it has run the
// program (the report pipe closed on exec) or failed to. `closeChildEnds` runs in the parent
// right after the fork, then `beforeExec` (given the child's pid) while the child may still
// wait for it; when that throws, the child is killed and reaped. Throws std::system_error (fork,
// or exec with the child's errno).
pid_t forkAndExec(ChildPlan& plan, const std::function<void()>& closeChildEnds,
                  const std::function<void(pid_t)>& beforeExec = {}) {
    // The child tells why it could not start through this pipe; a successful exec closes it.
    auto report = Pipe::make();
    // Above every target and every pipe end, so that closing the rest keeps it.
    const int reportFd = ::fcntl(report.writeEnd.get(), F_DUPFD_CLOEXEC, 64);
    if (reportFd < 0) {
        throw std::system_error(errno, std::generic_category(), "fcntl");
    }
    report.writeEnd = FileDescriptor(reportFd);
    plan.reportFd = reportFd;
    plan.parent = ::getpid();

    pid_t pid = -1;
    int forkError = 0;
    {
        const AllSignalsBlocked blocked;
        pid = ::fork();
        if (pid == 0) {
            runChild(plan);
        }
        // Restoring the signal mask may change errno.
        forkError = errno;
    }
    if (pid < 0) {
        throw std::system_error(forkError, std::generic_category(), "fork");
    }
    report.writeEnd.reset();
    closeChildEnds();
    if (beforeExec) {
        try {
            beforeExec(pid);
        } catch (...) {
            ::kill(pid, SIGKILL);
            reap(pid);
            throw;
        }
    }
    int childError = 0;
    ssize_t got = 0;
    do {
        got = ::read(report.readEnd.get(), &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        // The child never ran the program: reap it here, so nobody else has to.
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        throw std::system_error(childError, std::generic_category(), "exec");
    }
    return pid;
}

// The watcher's script: the polite stops sent to the group are for the helper; the end of the
// pipe on descriptor 3 (this application gone, or done with the helper) ends the whole group,
// the watcher included. `read` is a builtin, so nothing else is started.
constexpr const char* watchScript = "trap '' HUP INT QUIT TERM; read -r _ <&3; kill -KILL 0";

}  // namespace

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
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) {
        throw std::system_error(errno, std::generic_category(), "open /dev/null");
    }
    const FileDescriptor nullDevice(null);
    const auto argv = makeCStringArray({"vask-helper-watch", "-c", watchScript});
    const auto envp = makeCStringArray({"PATH=/usr/bin:/bin"});
    ChildPlan plan{};
    plan.executable = "/bin/sh";
    plan.argv = argv.data();
    plan.envp = envp.data();
    for (int target = 0; target < 3; ++target) {
        plan.dups[target][0] = null;
        plan.dups[target][1] = target;
    }
    plan.dups[3][0] = alive.readEnd.get();
    plan.dups[3][1] = 3;
    plan.dupCount = 4;
    plan.highestTarget = 3;
    plan.group = group;
    plan.dieWithParent = false;
    plan.goFd = -1;
    ProcessGroupWatch watch;
    watch.pid_ = forkAndExec(plan, [&] { alive.readEnd.reset(); });
    watch.group_ = group;
    watch.alive_ = std::move(alive.writeEnd);
    return watch;
}

void ProcessGroupWatch::end() noexcept {
    if (pid_ <= 0) {
        return;
    }
    alive_.reset();
    // Not left to the watcher, which might be stopped: while it is unreaped the group's id
    // cannot be another's.
    ::kill(-group_, SIGKILL);
    reap(std::exchange(pid_, -1));
}

pid_t spawnProcessGroup(const std::filesystem::path& executablePath,
                        const std::vector<std::string>& arguments,
                        const std::map<std::string, std::string>& environment, Pipe& stdinPipe,
                        Pipe& stdoutPipe, Pipe& stderrPipe, Pipe* eventPipe,
                        ProcessGroupWatch* watch) {
    std::vector<std::string> argv;
    argv.reserve(arguments.size() + 1);
    argv.push_back(executablePath.string());
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const auto argvArray = makeCStringArray(argv);
    const auto envArray = makeCStringArray(environmentBlock(environment));

    ChildPlan plan{};
    plan.executable = executablePath.c_str();
    plan.argv = argvArray.data();
    plan.envp = envArray.data();
    plan.dups[0][0] = stdinPipe.readEnd.get();
    plan.dups[0][1] = 0;
    plan.dups[1][0] = stdoutPipe.writeEnd.get();
    plan.dups[1][1] = 1;
    plan.dups[2][0] = stderrPipe.writeEnd.get();
    plan.dups[2][1] = 2;
    plan.dupCount = 3;
    if (eventPipe != nullptr) {
        plan.dups[3][0] = eventPipe->writeEnd.get();
        plan.dups[3][1] = 3;
        plan.dupCount = 4;
    }
    plan.highestTarget = plan.dupCount - 1;
    plan.group = 0;
    plan.dieWithParent = true;
    // With a watch, the child runs nothing before the watch is in its group: an application
    // killed in between would leave what the program starts behind.
    std::optional<Pipe> go;
    if (watch != nullptr) {
        go = Pipe::make();
    }
    plan.goFd = go ? go->readEnd.get() : -1;
    return forkAndExec(
        plan,
        [&] {
            stdinPipe.readEnd.reset();
            stdoutPipe.writeEnd.reset();
            stderrPipe.writeEnd.reset();
            if (eventPipe != nullptr) {
                eventPipe->writeEnd.reset();
            }
        },
        [&](pid_t pid) {
            if (!go) {
                return;
            }
            go->readEnd.reset();
            // The child may not have made its group yet; the watch joins it.
            ::setpgid(pid, pid);
            *watch = ProcessGroupWatch::start(pid);
            const char word = 1;
            if (::write(go->writeEnd.get(), &word, 1) != 1) {
                const int error = errno;
                watch->end();
                throw std::system_error(error, std::generic_category(), "write");
            }
        });
}

}  // namespace vask
