#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "chat/history_index_wait.h"
#include "foundation/structured_logger.h"
#include "platform/executor.h"
#include "platform/published.h"
#include "platform/scheduler.h"
#include "platform/user_defaults.h"
#include "store/chat_db_watcher.h"
#include "store/message_retention_assessment.h"

namespace vask {

// Drives the copy of the Messages database into the shadow database and shows its state to
// every view. One run at a time, on the worker; every published change happens on the main
// executor. After the first run, whatever its outcome, the Messages folder is watched, and each
// change there starts a run by itself; a failed run is also tried again after a delay that
// doubles with each failure in a row (from firstRetryDelay up to longestRetryDelay). A run stopped
// for quitting is neither an error nor tried again.
//
// A change reported while a run is in progress is never lost: the watcher holds back further
// changes until the run ends and then asks once more, and a watcher request refused because a
// run was already in progress (one started by a view or an activation) is remembered and run once
// when that run ends. A run the watcher did not ask for (the first, before anything is watched)
// tells it when it starts, and a commit the run came too early for makes one more run.
class ShadowSyncViewModel : public std::enable_shared_from_this<ShadowSyncViewModel> {
  public:
    struct SyncProgress {
        std::int64_t processed = 0;
        std::int64_t total = 0;
        bool operator==(const SyncProgress&) const = default;
    };

    struct Dependencies {
        // The folder that holds the shadow database; throws when it cannot be had.
        std::function<std::filesystem::path()> supportDirectory;
        std::filesystem::path chatDBPath;
        UserDefaults& defaults;
        // The instance-scoped "fileAccessEnabled" key.
        std::string fileAccessEnabledKey;
        // The Messages app's own keep-messages setting, in days.
        std::function<std::optional<int>()> keepMessagesPreference;
        MainExecutor& main;
        // Runs the blocking synchronisation; it may be busy for minutes on a first run.
        Executor& worker;
        // The watcher's batching timers and the time retention is assessed at.
        Scheduler& scheduler;
        Scheduler::Duration watcherLatency = ChatDBWatcher::defaultLatency;
        // The wait before a failed run is tried again, doubled after each further failure.
        Scheduler::Duration firstRetryDelay = std::chrono::seconds(2);
    };

    static constexpr Scheduler::Duration longestRetryDelay = std::chrono::minutes(5);

    // What the runs found of the shadow database's full-text index. Unknown until a run (or
    // checkFullTextIndex()) looked; pending from the start of a run that found it still to be
    // built (no shadow database, no full-text table, its triggers left out by a bulk copy, or a
    // look that failed) to that run's end, and from the first report of a run that defers it.
    // A run that succeeds leaves it whole; one that fails or stops looks again.
    enum class FullTextIndex { unknown, pending, whole };

    static std::shared_ptr<ShadowSyncViewModel> make(Dependencies dependencies);
    ~ShadowSyncViewModel();

    ShadowSyncViewModel(const ShadowSyncViewModel&) = delete;
    ShadowSyncViewModel& operator=(const ShadowSyncViewModel&) = delete;

    Published<bool> isSyncing{false};
    Published<std::optional<std::string>> lastError;
    Published<std::int64_t> messageCount{0};
    Published<bool> hasSynced{false};
    Published<std::optional<MessageRetentionAssessment>> messageRetention;
    Published<int> syncGeneration{0};
    Published<std::optional<SyncProgress>> syncProgress;
    Published<FullTextIndex> fullTextIndex{FullTextIndex::unknown};

    // Main executor. Starts a run unless one is in progress or there is nowhere to copy to.
    void syncIfPossible();
    // Main executor. Marks the view model as synchronised without running anything (test hooks).
    void simulateSynced();
    // Any thread. Ends a run in progress between two batches and starts no other: the
    // application is quitting and its workers must wind down.
    void stopSynchronising();
    // Any thread, after stopSynchronising(). Returns once no run is in progress on the worker
    // (what it read is written or given up), or false when `deadline` came first. A quit waits
    // for this before it gives up the single-instance lock: the next Vask's first run must not
    // overlap with this one's last batch.
    bool waitUntilStopped(Clock::MonotonicTime deadline) const;

    // Main executor. Looks at the full-text index on the worker when nothing has yet and no run
    // is in progress (one looks itself).
    void checkFullTextIndex();
    // The index as a question waits for it: whole; building while a run is in progress or to
    // come; failed, with the run's error, once a run failed with the index still to be built.
    // Asked while the index is still to be built and no run is in progress, it starts one (or,
    // before anything looked, looks), so that a wait always has an end. Main executor. The
    // chat's view of this model, held weakly.
    std::shared_ptr<HistoryIndex> historyIndex();
    HistoryIndexState historyIndexState();

    // Whether the shadow database's full-text index at `shadowDBPath` is still to be built;
    // fails closed: a database that cannot be read counts as pending. Blocking: any thread but
    // the main executor.
    static bool fullTextIndexPending(const std::filesystem::path& shadowDBPath,
                                     const StructuredLogger& logger);

    // Empty when the support directory could not be had at creation.
    const std::filesystem::path& shadowDBPath() const { return shadowDBPath_; }
    const ChatDBWatcher& watcher() const { return *watcher_; }

  private:
    struct Outcome;

    // Runs in progress on the worker: started, and not yet ended.
    struct RunsInFlight;

    explicit ShadowSyncViewModel(Dependencies dependencies);

    // Main executor. `askedByWatcher`: the watcher asked for this run, and watches the database
    // from its request on; any other run tells it when it starts.
    void startRun(bool askedByWatcher);
    void watcherRequestedSync();
    void finish(const Outcome& outcome);
    // Main executor. Tries a failed run again after the next back-off delay.
    void scheduleRetry();

    Dependencies deps_;
    StructuredLogger logger_{"shadow-sync"};
    std::filesystem::path shadowDBPath_;
    // Shared with each run, which tells it when it starts.
    std::shared_ptr<ChatDBWatcher> watcher_;
    std::shared_ptr<RunsInFlight> runsInFlight_;
    bool watcherRequestWaiting_ = false;
    std::stop_source stopSource_;
    ScheduledTask retry_;
    bool fullTextIndexCheckPosted_ = false;
    Scheduler::Duration retryDelay_ = Scheduler::Duration::zero();
};

}  // namespace vask
