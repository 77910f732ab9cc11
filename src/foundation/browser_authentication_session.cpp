#include "foundation/browser_authentication_session.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>

#include "foundation/application_secrets.h"
#include "platform/open_command.h"
#include "platform/text.h"

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

    // Forgets the pending flow `id` without completing it: the caller reports its failure.
    void drop(std::uint64_t id) {
        std::optional<Flow> flow;
        {
            std::lock_guard lock(mutex);
            if (!pending || pending->id != id) {
                return;
            }
            flow = std::move(pending);
            pending.reset();
        }
        flow->timer.cancel();
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

}  // namespace

BrowserAuthenticationSession::BrowserAuthenticationSession(
    MainExecutor& main, Scheduler& scheduler, std::vector<std::string> openCommand,
    Clock::Duration timeLimit, StructuredLogger logger, std::shared_ptr<OpenCommandRunner> openers)
    : openCommand_(std::move(openCommand)),
      timeLimit_(timeLimit),
      state_(std::make_shared<State>(main, scheduler, std::move(logger))),
      openers_(openers ? std::move(openers)
                       : std::make_shared<OpenCommandRunner>(isApplicationSecret)) {}

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
    if (openCommand_.empty()) {
        replacePending(callbackScheme, Completion{});
        state_->logger.error("web_auth_launch_failed", {{"error", "no browser command"}});
        return false;
    }
    // Recorded before the opener runs: its verdict may come at once.
    const auto id = replacePending(callbackScheme, std::move(completion));
    std::weak_ptr<State> weak = state_;
    const auto launchFailure = openers_->run(
        openCommand_, url.absoluteString(),
        [weak, id, program = openCommand_.front()](std::optional<std::string> why) {
            auto state = weak.lock();
            if (!why || !state) {
                return;
            }
            if (state->finish(
                    id, failure(Kind::launchFailed, "The browser could not be opened: " + *why))) {
                state->logger.error("web_auth_launch_failed",
                                    {{"command", program}, {"error", *why}});
            }
        });
    if (launchFailure) {
        state_->drop(id);
        state_->logger.error("web_auth_launch_failed",
                             {{"command", openCommand_.front()}, {"error", *launchFailure}});
        return false;
    }
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
