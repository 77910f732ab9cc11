#include "shell/shadow_sync_view_model.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <utility>

#include "platform/freed_memory.h"
#include "store/chat_db_reader.h"
#include "store/message_retention_detector.h"
#include "store/shadow_db.h"
#include "store/shadow_sync.h"

namespace vask {

struct ShadowSyncViewModel::RunsInFlight {
    std::mutex mutex;
    std::condition_variable ended;
    int count = 0;

    void add(int change) {
        {
            std::lock_guard lock(mutex);
            count += change;
        }
        ended.notify_all();
    }
};

struct ShadowSyncViewModel::Outcome {
    std::optional<std::string> error;
    // Stopped because the application quits: neither a failure nor a reason to try again.
    bool stopped = false;
    // The full-text index is still to be built after the run.
    bool indexPending = false;
    std::int64_t messageCount = 0;
    std::optional<MessageRetentionAssessment> retention;
};

namespace {

// Brings the optional file-cache tables in line with the file-access setting. Never stops a run:
// a failure is logged and the synchronisation goes on. The erasure's VACUUM rewrites the whole
// database: a stop ends it (it is made again, in full, by the next run) and a run that starts
// after a stop leaves it alone.
void reconcileFileCacheSchema(const std::filesystem::path& shadowDBPath,
                              const UserDefaults& defaults, const std::string& key,
                              const StructuredLogger& logger, const std::stop_token& stop) {
    if (stop.stop_requested()) {
        return;
    }
    try {
        ShadowDB shadow(shadowDBPath, ShadowDB::OpenMode::readWrite);
        if (defaults.boolValue(key).valueOr(false)) {
            shadow.createFileCacheSchemaIfNeeded();
        } else {
            shadow.dropFileCacheSchema(stop);
        }
    } catch (const std::exception& error) {
        if (stop.stop_requested()) {
            logger.info("file_cache_schema_reconcile_stopped", {});
            return;
        }
        logger.error("file_cache_schema_reconcile_failed", {{"error", error.what()}});
    }
}

std::optional<MessageRetentionAssessment> assessRetention(
    const ShadowSyncViewModel::Dependencies& deps) {
    const auto configured =
        deps.keepMessagesPreference ? deps.keepMessagesPreference() : std::optional<int>();
    const auto now = deps.scheduler.clock().now();
    std::optional<Clock::WallTime> oldest;
    try {
        ChatDBReader reader(deps.chatDBPath);
        oldest = reader.oldestMessageDate();
    } catch (const std::exception&) {
        // Without the oldest date only the setting can tell.
    }
    return MessageRetentionDetector::assess(configured, oldest, now);
}

}  // namespace

ShadowSyncViewModel::ShadowSyncViewModel(Dependencies dependencies)
    : deps_(std::move(dependencies)),
      watcher_(std::make_shared<ChatDBWatcher>(deps_.chatDBPath, deps_.scheduler, nullptr,
                                               deps_.watcherLatency)),
      runsInFlight_(std::make_shared<RunsInFlight>()) {
    try {
        shadowDBPath_ = deps_.supportDirectory() / "shadow.db";
    } catch (const std::exception& error) {
        shadowDBPath_.clear();
        lastError.set(std::string(error.what()));
        logger_.error("shadow_path_error", {{"error", error.what()}});
    }
}

std::shared_ptr<ShadowSyncViewModel> ShadowSyncViewModel::make(Dependencies dependencies) {
    std::shared_ptr<ShadowSyncViewModel> viewModel(
        new ShadowSyncViewModel(std::move(dependencies)));
    MainExecutor& main = viewModel->deps_.main;
    viewModel->watcher_->setOnSyncRequested(
        [&main, weak = std::weak_ptr<ShadowSyncViewModel>(viewModel)] {
            main.post([weak] {
                if (auto self = weak.lock()) {
                    self->watcherRequestedSync();
                }
            });
        });
    return viewModel;
}

void ShadowSyncViewModel::syncIfPossible() {
    startRun(false);
}

void ShadowSyncViewModel::startRun(bool askedByWatcher) {
    if (isSyncing.get() || shadowDBPath_.empty() || stopSource_.stop_requested()) {
        return;
    }
    isSyncing.set(true);
    lastError.set(std::nullopt);
    logger_.info("shadow_sync_start", {{"shadow_db_path", shadowDBPath_.string()}});

    runsInFlight_->add(1);
    deps_.worker.post([weak = weak_from_this(), deps = deps_, shadowPath = shadowDBPath_,
                       logger = logger_, stop = stopSource_.get_token(),
                       watcher = askedByWatcher ? nullptr : watcher_, inFlight = runsInFlight_] {
        // However the task leaves, it is over for a quit that waits for it.
        const std::shared_ptr<void> ending(nullptr, [&inFlight](void*) { inFlight->add(-1); });
        if (watcher) {
            watcher->syncWillStart();
        }
        reconcileFileCacheSchema(shadowPath, deps.defaults, deps.fileAccessEnabledKey, logger,
                                 stop);
        // A first copy (no shadow database yet, or one cut short) leaves the index pending until
        // it ends; a run that starts on a whole index looks again at its first report, which
        // comes once a copy large enough to build it at its end has left it out.
        bool lookAtFirstReport = !fullTextIndexPending(shadowPath, logger);
        deps.main.post([weak, pending = !lookAtFirstReport] {
            if (auto self = weak.lock()) {
                self->fullTextIndex.set(pending ? FullTextIndex::pending : FullTextIndex::whole);
            }
        });
        Outcome outcome;
        std::int64_t inserted = 0;
        std::optional<ShadowSync> sync;
        try {
            sync.emplace(deps.chatDBPath, shadowPath);
            // Each report and, after them, the end of the run go to the main executor in
            // order, so no progress can show after the run has finished.
            inserted = sync->performSync(
                [&](std::int64_t processed, std::int64_t total) {
                    const bool deferred = std::exchange(lookAtFirstReport, false) &&
                                          fullTextIndexPending(shadowPath, logger);
                    deps.main.post([weak, processed, total, deferred] {
                        if (auto self = weak.lock()) {
                            if (deferred) {
                                self->fullTextIndex.set(FullTextIndex::pending);
                            }
                            self->syncProgress.set(SyncProgress{processed, total});
                        }
                    });
                },
                stop);
            outcome.messageCount = sync->messageCountAfterSync();
            outcome.retention = assessRetention(deps);
        } catch (const ShadowSyncError& error) {
            outcome.stopped = error.kind() == ShadowSyncError::Case::cancelled;
            outcome.error = error.what();
        } catch (const std::exception& error) {
            outcome.error = error.what();
        }
        // A run that succeeded built whatever it left out (it is never done before); one that
        // failed or stopped may have left the index pending, or rebuilt it from what it copied.
        outcome.indexPending =
            (outcome.error || outcome.stopped) && fullTextIndexPending(shadowPath, logger);
        // A run allocates on a pool thread, in that thread's own heap arena, which keeps what
        // was freed for the thread's next allocations: its free pages go back at its end.
        returnFreedMemory();
        if (outcome.stopped) {
            // What the run committed before the stop stays, with its cursor.
            logger.info("shadow_sync_stopped",
                        {{"inserted", std::to_string(sync ? sync->messagesCommitted() : 0)}});
        } else if (outcome.error) {
            logger.error("shadow_sync_failed", {{"error", *outcome.error}});
        } else {
            logger.info("shadow_sync_complete",
                        {{"inserted", std::to_string(inserted)},
                         {"message_count", std::to_string(outcome.messageCount)}});
        }
        deps.main.post([weak, outcome = std::move(outcome)] {
            if (auto self = weak.lock()) {
                self->finish(outcome);
            }
        });
    });
}

ShadowSyncViewModel::~ShadowSyncViewModel() {
    retry_.cancel();
}

void ShadowSyncViewModel::finish(const Outcome& outcome) {
    // First: a question that waits for the index is asked, or told, with the run's own outcome.
    fullTextIndex.set(outcome.indexPending ? FullTextIndex::pending : FullTextIndex::whole);
    if (outcome.stopped) {
        isSyncing.set(false);
        syncProgress.set(std::nullopt);
    } else if (outcome.error) {
        lastError.set(outcome.error);
        isSyncing.set(false);
        syncProgress.set(std::nullopt);
        scheduleRetry();
    } else {
        messageCount.set(outcome.messageCount);
        messageRetention.set(outcome.retention);
        hasSynced.set(true);
        isSyncing.set(false);
        lastError.set(std::nullopt);
        syncProgress.set(std::nullopt);
        syncGeneration.set(syncGeneration.get() + 1);
        retry_.cancel();
        retryDelay_ = Scheduler::Duration::zero();
    }
    // Watched whatever the first run's outcome: a database locked or not there yet at start-up
    // must not keep later messages out for the whole session. The watcher starts only once.
    if (!outcome.stopped) {
        watcher_->start();
    }
    // Only now that the run no longer counts as in progress may the watcher replay a change:
    // told earlier, its request could arrive while the run still blocks new ones, and be lost.
    watcher_->syncDidFinish();
    if (watcherRequestWaiting_) {
        watcherRequestWaiting_ = false;
        syncIfPossible();
    }
}

void ShadowSyncViewModel::scheduleRetry() {
    if (stopSource_.stop_requested()) {
        return;
    }
    // The next change in the folder retries too; the timer covers a history that is not
    // written to again soon, backing off so that a lasting failure costs next to nothing.
    retryDelay_ = retryDelay_ == Scheduler::Duration::zero()
                      ? std::min(deps_.firstRetryDelay, longestRetryDelay)
                      : std::min<Scheduler::Duration>(retryDelay_ * 2, longestRetryDelay);
    retry_.cancel();
    retry_ = deps_.scheduler.after(retryDelay_, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->deps_.main.post([weak] {
                if (auto current = weak.lock(); current && current->lastError.get()) {
                    current->logger_.info("shadow_sync_retry");
                    current->syncIfPossible();
                }
            });
        }
    });
}

void ShadowSyncViewModel::watcherRequestedSync() {
    if (isSyncing.get()) {
        // A run started elsewhere may have read the database before this change: keep the
        // request for when it ends, and let the watcher go back to reporting changes (they fold
        // into this one request).
        watcherRequestWaiting_ = true;
        watcher_->syncDidFinish();
        return;
    }
    startRun(true);
    if (!isSyncing.get()) {
        watcher_->syncDidFinish();
    }
}

void ShadowSyncViewModel::simulateSynced() {
    isSyncing.set(false);
    lastError.set(std::nullopt);
    hasSynced.set(true);
}

void ShadowSyncViewModel::stopSynchronising() {
    // A retry still pending finds the stop and starts nothing.
    stopSource_.request_stop();
}

bool ShadowSyncViewModel::fullTextIndexPending(const std::filesystem::path& shadowDBPath,
                                               const StructuredLogger& logger) {
    try {
        return ShadowSync(std::nullopt, shadowDBPath).fullTextIndexPending();
    } catch (const std::exception& error) {
        // Failing closed: a question would otherwise be answered from an index not built yet.
        logger.warning("full_text_index_unreadable", {{"error", error.what()}});
    }
    return true;
}

void ShadowSyncViewModel::checkFullTextIndex() {
    if (fullTextIndex.get() != FullTextIndex::unknown || isSyncing.get() ||
        fullTextIndexCheckPosted_ || shadowDBPath_.empty()) {
        return;
    }
    fullTextIndexCheckPosted_ = true;
    deps_.worker.post([weak = weak_from_this(), &main = deps_.main, path = shadowDBPath_,
                       logger = logger_] {
        const bool pending = fullTextIndexPending(path, logger);
        main.post([weak, pending] {
            if (auto self = weak.lock()) {
                self->fullTextIndexCheckPosted_ = false;
                // A run that started meanwhile looked itself.
                if (self->fullTextIndex.get() == FullTextIndex::unknown) {
                    self->fullTextIndex.set(pending ? FullTextIndex::pending
                                                    : FullTextIndex::whole);
                }
            }
        });
    });
}

HistoryIndexState ShadowSyncViewModel::historyIndexState() {
    if (fullTextIndex.get() == FullTextIndex::whole) {
        return HistoryIndexState::whole();
    }
    if (!isSyncing.get()) {
        if (const auto& error = lastError.get()) {
            return HistoryIndexState::failed(*error);
        }
        if (fullTextIndex.get() == FullTextIndex::unknown) {
            // Before any run: the index of an earlier session may well be whole.
            checkFullTextIndex();
        } else {
            // Still to be built, and nothing builds it: a question must not wait for a run
            // that may never come (none since the launch's was stopped, or none asked yet).
            syncIfPossible();
        }
    }
    return HistoryIndexState::building();
}

namespace {

// The chat's view of the synchronisation: its index state, and a call on each change of what
// that state is made of.
class SyncedHistoryIndex final : public HistoryIndex {
  public:
    explicit SyncedHistoryIndex(std::weak_ptr<ShadowSyncViewModel> sync) : sync_(std::move(sync)) {}

    HistoryIndexState state() override {
        const auto sync = sync_.lock();
        return sync ? sync->historyIndexState() : HistoryIndexState::building();
    }

    Subscription observe(std::function<void()> changed) override {
        const auto sync = sync_.lock();
        if (!sync) {
            return {};
        }
        auto watches = std::make_shared<std::vector<Subscription>>();
        const auto notify = [changed = std::move(changed)](const auto&) { changed(); };
        watches->push_back(sync->fullTextIndex.subscribe(notify, Delivery::changesOnly));
        watches->push_back(sync->isSyncing.subscribe(notify, Delivery::changesOnly));
        watches->push_back(sync->lastError.subscribe(notify, Delivery::changesOnly));
        return Subscription([watches] { watches->clear(); });
    }

  private:
    std::weak_ptr<ShadowSyncViewModel> sync_;
};

}  // namespace

std::shared_ptr<HistoryIndex> ShadowSyncViewModel::historyIndex() {
    return std::make_shared<SyncedHistoryIndex>(weak_from_this());
}

bool ShadowSyncViewModel::waitUntilStopped(Clock::MonotonicTime deadline) const {
    std::unique_lock lock(runsInFlight_->mutex);
    return runsInFlight_->ended.wait_until(lock, deadline,
                                           [&] { return runsInFlight_->count == 0; });
}

}  // namespace vask
