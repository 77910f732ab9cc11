#include "sources/page_drawer.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <vector>

extern char** environ;

namespace vask {
namespace {

using SteadyClock = std::chrono::steady_clock;

// A PNG of 2000 x 2000 pixels is about 12 MB at worst; anything much larger is not a page.
constexpr std::size_t kMaxPngBytes = 64 * 1024 * 1024;
// How often the resident memory of the drawing process is looked at.
constexpr std::chrono::milliseconds kWatchInterval{10};

std::string mebibytes(std::uint64_t bytes) {
    return std::to_string(bytes / (1024 * 1024)) + " MiB";
}

std::string seconds(std::chrono::milliseconds time) {
    const auto tenths = (time.count() + 99) / 100;
    auto text = std::to_string(tenths / 10);
    if (tenths % 10 != 0) {
        text += "." + std::to_string(tenths % 10);
    }
    return text + " s";
}

// The resident memory of `pid` in bytes, or 0 when it cannot be read.
std::uint64_t residentBytes(pid_t pid) {
    std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
    std::uint64_t size = 0;
    std::uint64_t resident = 0;
    if (!(statm >> size >> resident)) {
        return 0;
    }
    return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

// The drawing process, killed (with anything it started) and reaped however the drawing ends.
class Child {
  public:
    explicit Child(pid_t pid) : pid_(pid) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (pid_ > 0) {
            kill();
            wait();
        }
    }

    pid_t pid() const { return pid_; }
    void kill() const { ::kill(-pid_, SIGKILL); }
    int wait() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return status;
    }

  private:
    pid_t pid_;
};

// This process's environment; in sanitizer builds with a small quarantine of freed memory for the
// drawing program, whose resident memory is its bound there (the default quarantine alone would
// count 256 MiB against a page).
std::vector<std::string> childEnvironment() {
    std::vector<std::string> environment;
    std::string sanitizerOptions;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view variable(*entry);
        if (PageDrawer::sanitizedBuild && variable.starts_with("ASAN_OPTIONS=")) {
            sanitizerOptions = std::string(variable.substr(13)) + ":";
        } else {
            environment.emplace_back(variable);
        }
    }
    if (PageDrawer::sanitizedBuild) {
        environment.push_back("ASAN_OPTIONS=" + sanitizerOptions +
                              "quarantine_size_mb=8:thread_local_quarantine_size_kb=256");
    }
    // Who started it, so that the drawing process knows it has lost this one even when it went
    // before the drawing process could ask to go with it (page_drawer_main.cpp).
    environment.push_back("VASK_PAGE_DRAWER_PARENT=" + std::to_string(::getpid()));
    return environment;
}

pid_t spawn(const std::filesystem::path& program, const std::vector<std::string>& arguments,
            int input, int output) {
    std::vector<char*> argv;
    const std::string path = program.string();
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group; no blocked signals and every signal's default action, so that the
    // processor-time limit's SIGXCPU ends it whatever this process has set.
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    const auto environment = childEnvironment();
    std::vector<char*> envp;
    for (const auto& variable : environment) {
        envp.push_back(const_cast<char*>(variable.c_str()));
    }
    envp.push_back(nullptr);
    pid_t pid = 0;
    const int spawned =
        ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        throw PageDrawer::Error("the page drawing program " + path +
                                " could not be started: " + std::strerror(spawned));
    }
    return pid;
}

}  // namespace

PageDrawer::PageDrawer(std::string_view pdfBytes, Options options)
    : options_(std::move(options)), document_(::memfd_create("vask-page-document", MFD_CLOEXEC)) {
    if (!document_.isOpen()) {
        throw Error(std::string("no anonymous file for the document: ") + std::strerror(errno));
    }
    while (!pdfBytes.empty()) {
        const auto n = ::write(document_.get(), pdfBytes.data(), pdfBytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw Error(std::string("the document could not be handed over: ") +
                        std::strerror(errno));
        }
        pdfBytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::filesystem::path PageDrawer::besideExecutable() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (error ? std::filesystem::path() : self.parent_path()) / "vask-page-drawer";
}

namespace {

// The reason the drawing program gave for a page it could not draw: one short line of plain
// text, or nothing.
std::string failureReason(std::string_view written) {
    constexpr std::size_t kMaxReasonBytes = 200;
    std::string reason;
    for (const char c : written.substr(0, kMaxReasonBytes)) {
        if (c < ' ' || c > '~') {
            return {};
        }
        reason += c;
    }
    return reason;
}

}  // namespace

PageDrawer::Page PageDrawer::draw(int index, std::stop_token stop) const {
    if (stop.stop_requested()) {
        throw Cancelled();
    }
    const auto documentBudget = options_.documentTimeBudget;
    const auto documentLeft =
        std::chrono::duration_cast<std::chrono::milliseconds>(documentBudget - spent_);
    const auto documentTooSlow =
        "drawing the document takes longer than " + seconds(documentBudget);
    if (documentLeft.count() <= 0) {
        return {std::nullopt, documentTooSlow, true};
    }
    const auto started = SteadyClock::now();
    struct Spent {
        std::chrono::steady_clock::duration& total;
        SteadyClock::time_point started;
        ~Spent() { total += SteadyClock::now() - started; }
    } spent{spent_, started};
    std::array<int, 2> pipeFds{};
    if (::pipe2(pipeFds.data(), O_CLOEXEC) != 0) {
        throw Error(std::string("no pipe for the page: ") + std::strerror(errno));
    }
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.isOpen()) {
        throw Error(std::string("no event descriptor for the page: ") + std::strerror(errno));
    }
    const auto budget = options_.pageTimeBudget;
    const auto cpuSeconds = std::max<long long>(1, (budget.count() + 999) / 1000);
    Child child(spawn(options_.program,
                      {std::to_string(options_.memoryLimitBytes), std::to_string(cpuSeconds),
                       std::to_string(index)},
                      document_.get(), writeEnd.get()));
    writeEnd.reset();

    const std::stop_callback onStop(stop, [fd = wake.get()] {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
    });
    const auto tooSlow = "takes longer than " + seconds(budget) + " to draw";
    const auto tooLarge =
        "needs more than " + mebibytes(options_.memoryLimitBytes) + " of memory to draw";
    std::string png;
    // The page's own limit, or what is left of the document's when that comes first.
    const bool documentFirst = documentLeft < budget;
    const auto deadline = started + (documentFirst ? documentLeft : budget);
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0) {
            if (documentFirst) {
                return {std::nullopt, documentTooSlow, true};
            }
            return {std::nullopt, tooSlow};
        }
        if (options_.memoryLimitBytes > 0 &&
            residentBytes(child.pid()) > options_.memoryLimitBytes) {
            return {std::nullopt, tooLarge};
        }
        std::array<pollfd, 2> fds{pollfd{readEnd.get(), POLLIN, 0}, pollfd{wake.get(), POLLIN, 0}};
        const auto timeout = std::min(left, kWatchInterval);
        if (::poll(fds.data(), fds.size(), static_cast<int>(timeout.count()) + 1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw Error(std::string("waiting for the page failed: ") + std::strerror(errno));
        }
        if (fds[1].revents != 0) {
            throw Cancelled();
        }
        if (fds[0].revents == 0) {
            continue;
        }
        std::array<char, 65536> chunk{};
        const auto n = ::read(readEnd.get(), chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        png.append(chunk.data(), static_cast<std::size_t>(n));
        if (png.size() > kMaxPngBytes) {
            return {std::nullopt, "makes the drawing program write more than a page"};
        }
    }

    const int status = child.wait();
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        if (signal == SIGXCPU) {
            return {std::nullopt, tooSlow};
        }
        // poppler aborts when an allocation fails under the address-space limit.
        if (signal == SIGABRT) {
            return {std::nullopt, tooLarge};
        }
        return {std::nullopt,
                "makes the drawing program fail (signal " + std::to_string(signal) + ")"};
    }
    switch (static_cast<ExitStatus>(WEXITSTATUS(status))) {
        case ExitStatus::drawn:
            if (png.empty()) {
                return {std::nullopt, "makes the drawing program write no image"};
            }
            return {std::move(png), std::nullopt};
        case ExitStatus::noSuchPage:
            return {};
        case ExitStatus::unreadable:
            throw Error("not a readable PDF");
        case ExitStatus::failed: {
            // One damaged page (an empty crop box, say) costs that page, not the document.
            const auto reason = failureReason(png);
            return {std::nullopt,
                    reason.empty() ? "cannot be drawn" : "cannot be drawn (" + reason + ")"};
        }
        case ExitStatus::outOfMemory:
            return {std::nullopt, tooLarge};
        case ExitStatus::usage:
            break;
    }
    throw Error("the page drawing program " + options_.program.string() + " failed (status " +
                std::to_string(WEXITSTATUS(status)) + ")");
}

}  // namespace vask
