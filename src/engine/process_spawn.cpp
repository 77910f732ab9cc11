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
    int reportFd;
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
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != plan.parent) {
        ::_exit(127);
    }
    // Group 0: the child leads a new group whose id is its own pid, so one signal reaches
    // everything it starts.
    if (::setpgid(0, 0) != 0) {
        failInChild(plan.reportFd);
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

}  // namespace

pid_t spawnProcessGroup(const std::filesystem::path& executablePath,
                        const std::vector<std::string>& arguments,
                        const std::map<std::string, std::string>& environment, Pipe& stdinPipe,
                        Pipe& stdoutPipe, Pipe& stderrPipe, Pipe* eventPipe) {
    std::vector<std::string> argv;
    argv.reserve(arguments.size() + 1);
    argv.push_back(executablePath.string());
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const auto argvArray = makeCStringArray(argv);
    const auto envArray = makeCStringArray(environmentBlock(environment));
    // The child tells why it could not start through this pipe; a successful exec closes it.
    auto report = Pipe::make();

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
    plan.parent = ::getpid();
    // Above every target and every pipe end, so that closing the rest keeps it.
    const int reportFd = ::fcntl(report.writeEnd.get(), F_DUPFD_CLOEXEC, 64);
    if (reportFd < 0) {
        throw std::system_error(errno, std::generic_category(), "fcntl");
    }
    report.writeEnd = FileDescriptor(reportFd);
    plan.reportFd = reportFd;

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
    stdinPipe.readEnd.reset();
    stdoutPipe.writeEnd.reset();
    stderrPipe.writeEnd.reset();
    if (eventPipe != nullptr) {
        eventPipe->writeEnd.reset();
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

}  // namespace vask
