#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/structured_logger.h"
#include "foundation/web_authentication_session.h"
#include "platform/executor.h"
#include "platform/open_command.h"
#include "platform/scheduler.h"

namespace vask {

// The web authentication session of a Linux desktop: the start page opens in the user's own
// browser (by default through `xdg-open`, run as a child process), and the callback comes back
// as a URL handed to the running instance, which the application shell passes to
// deliverCallback(). A flow that sees no callback within the time limit fails, so a sign-in
// abandoned in the browser never leaves the caller waiting. Safe to use from any thread;
// completions run on the main executor.
class BrowserAuthenticationSession final : public WebAuthenticationSession {
  public:
    static constexpr std::chrono::minutes defaultTimeLimit{10};

    // `openCommand` is the program and its leading arguments; the start URL is appended as the
    // last argument. A command that cannot be started, or that exits with a status other than
    // 0, counts as a page that could not be opened. The browser's exit status is read by
    // `openers` (without one, by a runner of the session's own).
    BrowserAuthenticationSession(MainExecutor& main, Scheduler& scheduler,
                                 std::vector<std::string> openCommand = {"xdg-open"},
                                 Clock::Duration timeLimit = defaultTimeLimit,
                                 StructuredLogger logger = StructuredLogger("web-auth-session"),
                                 std::shared_ptr<OpenCommandRunner> openers = nullptr);
    // Drops a pending flow without completing it: the process is going away.
    ~BrowserAuthenticationSession() override;
    BrowserAuthenticationSession(const BrowserAuthenticationSession&) = delete;
    BrowserAuthenticationSession& operator=(const BrowserAuthenticationSession&) = delete;

    bool start(const Url& url, const std::string& callbackScheme, Completion completion) override;
    void cancel() override;
    bool await(const std::string& callbackScheme, Completion completion) override;

    // A URL that reached the running instance. True when it ended the pending flow; false when
    // no flow waits for a URL of its scheme, in which case it is dropped (and never logged: it
    // may carry an authorization code).
    bool deliverCallback(const Url& url);

  private:
    struct State;

    // Ends any pending flow as replaced and, given a completion, records a new flow for
    // `callbackScheme` with its time limit armed. Returns the new flow's id (0: none).
    std::uint64_t replacePending(const std::string& callbackScheme, Completion completion);

    std::vector<std::string> openCommand_;
    Clock::Duration timeLimit_;
    std::shared_ptr<State> state_;
    std::shared_ptr<OpenCommandRunner> openers_;
};

}  // namespace vask
