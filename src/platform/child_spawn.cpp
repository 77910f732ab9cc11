#include "platform/child_spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/unique_fd.h"

extern char** environ;

namespace vask {
namespace {

// posix_spawn's attributes and file actions, released however the spawn ends.
struct SpawnSetup {
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

void check(int error, const char* step) {
    if (error != 0) {
        throw std::system_error(error, std::generic_category(), step);
    }
}

std::vector<char*> pointers(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (const auto& s : strings) {
        out.push_back(const_cast<char*>(s.c_str()));
    }
    out.push_back(nullptr);
    return out;
}

}  // namespace

pid_t spawnChild(const ChildSpawn& spawn) {
    SpawnSetup setup;
    // A source among 0-2 that goes elsewhere would be overwritten by an earlier dup2: it is
    // moved above 2 first (the copy closes on exec and with this call).
    std::array<UniqueFd, 3> moved;
    for (int target = 0; target < 3; ++target) {
        int source = spawn.standard[static_cast<std::size_t>(target)];
        if (source >= 0 && source < 3 && source != target) {
            moved[static_cast<std::size_t>(target)].reset(::fcntl(source, F_DUPFD_CLOEXEC, 3));
            source = moved[static_cast<std::size_t>(target)].get();
            if (source < 0) {
                check(errno, "fcntl");
            }
        }
        if (source < 0) {
            check(posix_spawn_file_actions_addopen(&setup.actions, target, "/dev/null",
                                                   target == 0 ? O_RDONLY : O_WRONLY, 0),
                  "posix_spawn_file_actions_addopen");
        } else {
            // dup2 onto the same number clears close-on-exec, so a descriptor already in place
            // survives the exec too.
            check(posix_spawn_file_actions_adddup2(&setup.actions, source, target),
                  "posix_spawn_file_actions_adddup2");
        }
    }
    check(posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3),
          "posix_spawn_file_actions_addclosefrom_np");
    check(posix_spawn_file_actions_addchdir_np(&setup.actions, spawn.workingFolder.c_str()),
          "posix_spawn_file_actions_addchdir_np");

    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (spawn.ownProcessGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&setup.attributes, 0);
    }
    posix_spawnattr_setflags(&setup.attributes, flags);

    const std::string program = spawn.program.string();
    std::vector<std::string> argvStrings{program};
    argvStrings.insert(argvStrings.end(), spawn.arguments.begin(), spawn.arguments.end());
    const auto argv = pointers(argvStrings);
    std::vector<std::string> environment;
    environment.reserve(spawn.environment.size());
    for (const auto& entry : spawn.environment) {
        if (!spawn.withheld ||
            !spawn.withheld(std::string_view(entry).substr(0, entry.find('=')))) {
            environment.push_back(entry);
        }
    }
    const auto envp = pointers(environment);
    pid_t pid = 0;
    const int spawned = spawn.searchPath
                            ? ::posix_spawnp(&pid, program.c_str(), &setup.actions,
                                             &setup.attributes, argv.data(), envp.data())
                            : ::posix_spawn(&pid, program.c_str(), &setup.actions,
                                            &setup.attributes, argv.data(), envp.data());
    check(spawned, "posix_spawn");
    return pid;
}

ChildProcess::ChildProcess(const ChildSpawn& spawn)
    : pid_(spawnChild(spawn)), group_(spawn.ownProcessGroup) {
    // Nothing else reaps this child, so its pid names it until it is reaped here.
    ended_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    if (!ended_.isOpen()) {
        const int error = errno;
        kill();
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        throw std::system_error(error, std::generic_category(), "pidfd_open");
    }
}

ChildProcess::~ChildProcess() {
    if (!status_) {
        kill();
        // Killed: the wait is as short as the kernel's teardown.
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

void ChildProcess::kill() const {
    // Until it is reaped the child holds its pid, and as a leader its group's id too.
    if (!status_) {
        ::kill(group_ ? -pid_ : pid_, SIGKILL);
    }
}

std::optional<int> ChildProcess::reapIfEnded() {
    if (status_) {
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

namespace {

// Whether process `pid` holds a descriptor whose link reads `target`.
bool holdsDescriptor(pid_t pid, const std::string& target) {
    std::error_code error;
    for (std::filesystem::directory_iterator fd("/proc/" + std::to_string(pid) + "/fd", error);
         !error && fd != std::filesystem::directory_iterator(); fd.increment(error)) {
        std::array<char, 64> link{};
        const auto n = ::readlink(fd->path().c_str(), link.data(), link.size());
        if (n > 0 && std::string_view(link.data(), static_cast<std::size_t>(n)) == target) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::size_t killPipeHolders(ino_t pipe) {
    const std::string target = "pipe:[" + std::to_string(pipe) + "]";
    std::size_t killed = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator entry("/proc", error);
         !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        const auto name = entry->path().filename().string();
        pid_t pid = 0;
        const auto [end, parsed] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (parsed != std::errc() || end != name.data() + name.size() || pid == ::getpid() ||
            !holdsDescriptor(pid, target)) {
            continue;
        }
        // The process may have ended and its pid been taken since the look: looked at again
        // once a descriptor holds the process, the signal reaches the one that was seen.
        const UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
        if (process.isOpen() && holdsDescriptor(pid, target) &&
            ::syscall(SYS_pidfd_send_signal, process.get(), SIGKILL, nullptr, 0) == 0) {
            ++killed;
        }
    }
    return killed;
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> out;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        out.emplace_back(*entry);
    }
    return out;
}

}  // namespace vask
