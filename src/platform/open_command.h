#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/child_spawn.h"
#include "platform/unique_fd.h"
#include "platform/url_opener.h"

namespace vask {

// Runs desktop openers (`command`, followed by the address) with the user's environment but for
// what `withheld` names, standard input from /dev/null and of Vask's descriptors only its
// standard output and error, and reads their exit status on one thread of its own: an opener
// such as xdg-open may run as long as what it starts, and it is the status that says whether
// the address could be shown at all. The thread is the owner's: stop() (or the destructor) joins
// it, and from then on no `finished` runs, so a callback never outlives what it reports to. Safe
// from any thread.
class OpenCommandRunner {
  public:
    using Finished = std::function<void(std::optional<std::string> failure)>;

    explicit OpenCommandRunner(WithheldVariables withheld);
    ~OpenCommandRunner();
    OpenCommandRunner(const OpenCommandRunner&) = delete;
    OpenCommandRunner& operator=(const OpenCommandRunner&) = delete;

    // Returns why the opener could not be started (or watched); `finished` then never runs.
    // Otherwise `finished` runs once, on the runner's thread: with nothing when the opener
    // exited with status 0, else with how it ended ("xdg-open exited with status 4").
    std::optional<std::string> run(std::vector<std::string> command, const std::string& url,
                                   Finished finished);

    // Joins the thread; an opener still running is left to finish unwatched and its `finished`
    // never runs, nor does that of any later run(), which refuses. Never from a `finished`.
    void stop();

  private:
    struct Child {
        pid_t pid;
        UniqueFd exited;  // the pidfd, readable once the opener ended
        std::string program;
        Finished finished;
    };
    void waitForOpeners();

    WithheldVariables withheld_;
    UniqueFd wake_;  // an eventfd that wakes the thread for a new child or the stop
    std::mutex mutex_;
    std::vector<Child> children_;
    bool stopping_ = false;
    std::thread thread_;
};

// Opens addresses with a desktop opener and reports its exit status.
class CommandUrlOpener final : public UrlOpener {
  public:
    // `runner` starts the openers (and decides what of Vask's environment they get).
    CommandUrlOpener(std::vector<std::string> command, std::shared_ptr<OpenCommandRunner> runner)
        : command_(std::move(command)), runner_(std::move(runner)) {}

    // Whether the opener started; its verdict comes too late for this answer.
    bool open(const std::string& url) override;
    // `finished` runs on the runner's thread, or at once when the opener could not start.
    void openReporting(const std::string& url, Finished finished) override;

  private:
    std::vector<std::string> command_;
    std::shared_ptr<OpenCommandRunner> runner_;
};

}  // namespace vask
