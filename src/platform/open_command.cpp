#include "platform/open_command.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "platform/child_spawn.h"

namespace vask {
namespace {

std::string exitDescription(int status) {
    if (WIFEXITED(status)) {
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return "was ended by signal " + std::to_string(WTERMSIG(status));
    }
    return "ended abnormally";
}

void signal(const UniqueFd& eventFd) {
    const std::uint64_t one = 1;
    while (::write(eventFd.get(), &one, sizeof one) == -1 && errno == EINTR) {
    }
}

}  // namespace

OpenCommandRunner::OpenCommandRunner(WithheldVariables withheld)
    : withheld_(std::move(withheld)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!wake_.isOpen()) {
        throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    }
}

OpenCommandRunner::~OpenCommandRunner() {
    stop();
}

void OpenCommandRunner::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    signal(wake_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
    std::lock_guard lock(mutex_);
    children_.clear();
}

std::optional<std::string> OpenCommandRunner::run(std::vector<std::string> command,
                                                  const std::string& url, Finished finished) {
    if (command.empty()) {
        return "no opener command";
    }
    std::unique_lock lock(mutex_);
    if (stopping_) {
        return command.front() + ": Vask is quitting";
    }
    command.push_back(url);
    // The opener runs on the user's behalf, with their environment (but for what the owner
    // withholds); of this process it gets standard output and error, nothing else.
    ChildSpawn spawn;
    spawn.program = command.front();
    spawn.searchPath = true;
    spawn.arguments.assign(command.begin() + 1, command.end());
    spawn.environment = currentEnvironment();
    spawn.withheld = withheld_;
    spawn.standard = {-1, STDOUT_FILENO, STDERR_FILENO};
    pid_t pid = 0;
    try {
        pid = spawnChild(spawn);
    } catch (const std::system_error& error) {
        return command.front() + ": " + error.code().message();
    }
    // Nothing else reaps this child, so its pid names it until it is waited for here.
    UniqueFd exited(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!exited.isOpen()) {
        return command.front() + " could not be watched: " + std::strerror(errno);
    }
    children_.push_back({pid, std::move(exited), command.front(), std::move(finished)});
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { waitForOpeners(); });
    }
    lock.unlock();
    signal(wake_);
    return std::nullopt;
}

void OpenCommandRunner::waitForOpeners() {
    std::vector<pollfd> watched;
    for (;;) {
        watched.assign(1, {wake_.get(), POLLIN, 0});
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
            for (const auto& child : children_) {
                watched.push_back({child.exited.get(), POLLIN, 0});
            }
        }
        if (::poll(watched.data(), watched.size(), -1) == -1) {
            continue;  // EINTR; nothing else can fail with these descriptors
        }
        std::uint64_t count = 0;
        while (::read(wake_.get(), &count, sizeof count) > 0) {
        }
        for (std::size_t i = 1; i < watched.size(); ++i) {
            if (watched[i].revents == 0) {
                continue;
            }
            std::optional<Child> ended;
            {
                std::lock_guard lock(mutex_);
                if (stopping_) {
                    return;
                }
                for (auto it = children_.begin(); it != children_.end(); ++it) {
                    if (it->exited.get() == watched[i].fd) {
                        ended = std::move(*it);
                        children_.erase(it);
                        break;
                    }
                }
            }
            if (!ended) {
                continue;
            }
            int status = 0;
            pid_t reaped = 0;
            while ((reaped = ::waitpid(ended->pid, &status, 0)) == -1 && errno == EINTR) {
            }
            if (reaped == -1) {
                ended->finished(ended->program + ": " + std::strerror(errno));
            } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
                ended->finished(std::nullopt);
            } else {
                ended->finished(ended->program + " " + exitDescription(status));
            }
        }
    }
}

bool CommandUrlOpener::open(const std::string& url) {
    return !runner_->run(command_, url, [](const std::optional<std::string>&) {});
}

void CommandUrlOpener::openReporting(const std::string& url, Finished finished) {
    auto shared = std::make_shared<Finished>(std::move(finished));
    if (auto failure = runner_->run(command_, url, [shared](std::optional<std::string> why) {
            (*shared)(std::move(why));
        })) {
        (*shared)(std::move(failure));
    }
}

}  // namespace vask
