#include "foundation/browser_authentication_session.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/text.h"

extern char** environ;

namespace vask {

struct BrowserAuthenticationSession::State {
    struct Flow {
        std::uint64_t id;
        std::string scheme;
        Completion completion;
        ScheduledTask timer;
    };

    State(MainExecutor& mainExecutor, Scheduler& timerScheduler, StructuredLogger log)
        : main(mainExecutor), scheduler(timerScheduler), logger(std::move(log)) {}

    // Ends the pending flow when it is `id` (any pending flow when `id` is empty). The
    // completion is taken out under the lock, so each flow completes at most once.
    bool finish(std::optional<std::uint64_t> id, const Outcome& outcome) {
        std::optional<Flow> flow;
        {
            std::lock_guard lock(mutex);
            if (closed || !pending || (id && pending->id != *id)) {
                return false;
            }
            flow = std::move(pending);
            pending.reset();
        }
        flow->timer.cancel();
        main.post([completion = std::move(flow->completion), outcome] { completion(outcome); });
        return true;
    }

    MainExecutor& main;
    Scheduler& scheduler;
    StructuredLogger logger;
    std::mutex mutex;
    std::optional<Flow> pending;
    std::uint64_t nextId = 0;
    bool closed = false;
};

namespace {

using Kind = WebAuthenticationSessionError::Kind;

WebAuthenticationSession::Outcome failure(Kind kind, const std::string& description) {
    return WebAuthenticationSession::Outcome::failure(
        WebAuthenticationSessionError(kind, description));
}

std::string exitDescription(int status) {
    if (WIFEXITED(status)) {
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return "was ended by signal " + std::to_string(WTERMSIG(status));
    }
    return "ended abnormally";
}

// Starts `argv` with standard input from /dev/null. Returns the child's id, or the errno of the
// failed start.
Result<pid_t, int> spawn(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (const auto& argument : command) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        return Result<pid_t, int>::failure(error);
    }
    return Result<pid_t, int>::success(pid);
}

}  // namespace

BrowserAuthenticationSession::BrowserAuthenticationSession(MainExecutor& main, Scheduler& scheduler,
                                                           std::vector<std::string> openCommand,
                                                           Clock::Duration timeLimit,
                                                           StructuredLogger logger)
    : openCommand_(std::move(openCommand)),
      timeLimit_(timeLimit),
      state_(std::make_shared<State>(main, scheduler, std::move(logger))) {}

BrowserAuthenticationSession::~BrowserAuthenticationSession() {
    std::optional<State::Flow> flow;
    {
        std::lock_guard lock(state_->mutex);
        state_->closed = true;
        flow = std::move(state_->pending);
        state_->pending.reset();
    }
    if (flow) {
        flow->timer.cancel();
    }
}

bool BrowserAuthenticationSession::start(const Url& url, const std::string& callbackScheme,
                                         Completion completion) {
    std::optional<Result<pid_t, int>> child;
    if (!openCommand_.empty()) {
        auto command = openCommand_;
        command.push_back(url.absoluteString());
        child = spawn(command);
    }

    const auto id =
        replacePending(callbackScheme, child && *child ? std::move(completion) : Completion{});
    if (!child) {
        state_->logger.error("web_auth_launch_failed", {{"error", "no browser command"}});
        return false;
    }
    if (!*child) {
        state_->logger.error("web_auth_launch_failed", {{"command", openCommand_.front()},
                                                        {"error", std::strerror(child->error())}});
        return false;
    }

    // The opener may run as long as the browser it starts; wait for it off every caller's
    // thread, holding the session only weakly.
    std::weak_ptr<State> weak = state_;
    std::thread([weak, pid = child->value(), id, program = openCommand_.front()] {
        int status = 0;
        while (waitpid(pid, &status, 0) == -1) {
            if (errno != EINTR) {
                return;
            }
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            return;
        }
        if (auto state = weak.lock()) {
            const auto description = program + " " + exitDescription(status);
            if (state->finish(id, failure(Kind::launchFailed,
                                          "The browser could not be opened: " + description))) {
                state->logger.error("web_auth_launch_failed",
                                    {{"command", program}, {"error", description}});
            }
        }
    }).detach();
    return true;
}

std::uint64_t BrowserAuthenticationSession::replacePending(const std::string& callbackScheme,
                                                           Completion completion) {
    // Replacing the older flow and recording this one happen under one lock, so two starts
    // can never both see no flow and then overwrite each other's.
    std::optional<State::Flow> replaced;
    std::uint64_t id = 0;
    {
        std::lock_guard lock(state_->mutex);
        replaced = std::move(state_->pending);
        state_->pending.reset();
        if (completion) {
            id = ++state_->nextId;
            state_->pending =
                State::Flow{id, text::toLower(callbackScheme), std::move(completion), {}};
        }
    }
    // The browser keeps one sign-in page per flow; an older one can no longer be answered.
    if (replaced) {
        replaced->timer.cancel();
        state_->main.post([completion = std::move(replaced->completion)] {
            completion(failure(Kind::canceledLogin, "A newer sign-in replaced this one."));
        });
    }
    if (id == 0) {
        return 0;
    }

    // Armed once the flow is recorded, so that even a timer that fires at once finds it.
    std::weak_ptr<State> weak = state_;
    auto timer = state_->scheduler.after(timeLimit_, [weak, id] {
        if (auto state = weak.lock()) {
            if (state->finish(id, failure(Kind::timedOut, "Sign-in timed out."))) {
                state->logger.error("web_auth_timed_out");
            }
        }
    });
    bool attached = false;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->pending && state_->pending->id == id) {
            state_->pending->timer = timer;
            attached = true;
        }
    }
    if (!attached) {
        timer.cancel();  // the flow has already ended
    }
    return id;
}

bool BrowserAuthenticationSession::await(const std::string& callbackScheme, Completion completion) {
    replacePending(callbackScheme, std::move(completion));
    state_->logger.info("web_auth_awaiting_callback");
    return true;
}

void BrowserAuthenticationSession::cancel() {
    state_->finish(std::nullopt, failure(Kind::canceledLogin, "The sign-in was cancelled."));
}

bool BrowserAuthenticationSession::deliverCallback(const Url& url) {
    std::optional<std::uint64_t> id;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->pending && state_->pending->scheme == url.scheme()) {
            id = state_->pending->id;
        }
    }
    if (id && state_->finish(id, Outcome::success(url))) {
        return true;
    }
    state_->logger.warning("web_auth_callback_ignored", {{"scheme", url.scheme()}});
    return false;
}

}  // namespace vask
