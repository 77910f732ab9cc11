#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "foundation/structured_logger.h"
#include "platform/executor.h"
#include "platform/scheduler.h"

namespace vask {

// Quit and reopen: starts a new instance of the application and quits only once that instance
// has reported that it runs. An instance that cannot be started, or that never reports, leaves
// this one running and says so, rather than leaving the user with no Vask at all. Main executor.
class Relauncher : public std::enable_shared_from_this<Relauncher> {
  public:
    static constexpr const char* failedText =
        "Vask could not restart. Quit Vask and open it again.";
    // Longer than the new instance waits for this one to go, so its report has time to come.
    static constexpr auto reportTimeout = std::chrono::seconds(20);

    struct Dependencies {
        // Starts the new instance; its process id, or nothing when it could not be started.
        std::function<std::optional<std::int64_t>()> spawn;
        std::function<void()> quit;
        // Shown to the user when the relaunch did not happen.
        std::function<void(const std::string&)> failed;
        MainExecutor& main;
        Scheduler& scheduler;
    };

    static std::shared_ptr<Relauncher> make(Dependencies dependencies);
    ~Relauncher();
    Relauncher(const Relauncher&) = delete;
    Relauncher& operator=(const Relauncher&) = delete;

    // Ignored while a relaunch waits for its instance.
    void relaunch();
    // A new instance reported that it runs. Only the one this relaunch started counts.
    void instanceStarted(std::int64_t pid);
    bool isWaiting() const { return waitingFor_.has_value(); }

  private:
    explicit Relauncher(Dependencies dependencies);
    void fail(const std::string& reason);

    Dependencies deps_;
    StructuredLogger logger_{"launch"};
    std::optional<std::int64_t> waitingFor_;
    ScheduledTask timeout_;
};

}  // namespace vask
