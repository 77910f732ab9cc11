#include "store/chat_db_watcher.h"

#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/structured_logger.h"
#include "platform/error.h"
#include "platform/serial_queue.h"
#include "store/sqlite_statement.h"
#include "store/sqlite_support.h"

namespace vask {
namespace {

// What the Messages app does to its folder when it stores something. Opening, reading and
// closing are left out: our own synchronisation opens the database's shared-memory file for
// writing and closes it again without changing anything, and must not wake the watcher.
constexpr std::uint32_t watchedEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_MOVED_FROM |
                                        IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// SQLite's shared-memory index of the write-ahead log. A reader that opens the database while no
// other connection has it open rebuilds the index, writing to this file: counting that would make
// every synchronisation request the next one. What the Messages app stores always reaches the
// database or its write-ahead log as well.
constexpr auto burstPause = std::chrono::milliseconds(20);

bool isSharedMemoryIndex(std::string_view name) {
    return name.ends_with("-shm");
}

// The first reader of a closed WAL database (our own synchronisation after a cold start) creates
// an empty write-ahead log. A log that holds something was written to, and that write is an
// event of its own; one that goes away was checkpointed into the database, which changed too.
bool isLogComingOrGoing(std::string_view name, std::uint32_t mask) {
    return name.ends_with("-wal") && (mask & (IN_CREATE | IN_DELETE)) != 0 &&
           (mask & ~(IN_CREATE | IN_DELETE | IN_ISDIR)) == 0;
}

}  // namespace

// What a run would read: the database file (a replaced file is another one) and how far its
// commits have gone, as SQLite's data_version tells one connection that stays open. Numbers of
// two connections do not compare (each counts from its own start): the probe connection is part
// of the state, so that a state taken before the probe was opened again differs from every one
// taken after.
struct DatabaseState {
    std::uintmax_t device = 0;
    std::uintmax_t inode = 0;
    std::uint64_t probe = 0;
    std::int64_t dataVersion = 0;
    bool operator==(const DatabaseState&) const = default;
};

struct ChatDBWatcher::State : std::enable_shared_from_this<ChatDBWatcher::State> {
    State(std::filesystem::path database, Scheduler& schedulerRef, std::weak_ptr<Executor> queue,
          Scheduler::Duration latencyValue, Scheduler::Duration settleValue)
        : watchDirectory(database.parent_path()),
          databasePath(std::move(database)),
          scheduler(schedulerRef),
          syncQueue(std::move(queue)),
          latency(latencyValue),
          settle(std::min(settleValue, latencyValue)) {}

    State(const State&) = delete;
    State& operator=(const State&) = delete;

    const std::filesystem::path watchDirectory;
    const std::filesystem::path databasePath;
    const StructuredLogger logger{"chatdb-watcher"};
    Scheduler& scheduler;
    const std::weak_ptr<Executor> syncQueue;
    const Scheduler::Duration latency;
    const Scheduler::Duration settle;
    // Set once by the watcher's constructor: the reader, or why there is none.
    std::unique_ptr<InotifyReader> inotify;
    std::string createError;

    std::atomic<std::size_t> receivedEvents{0};

    // Events read but not yet taken in on the sync queue. Another process's large commit writes
    // its log page by page, an event each: they join the hand-over already on its way instead of
    // waking the queue once apiece.
    std::mutex arrivedMutex;
    std::size_t arrivedCount = 0;
    std::vector<int> arrivedRemovedWatches;
    bool arrivalPosted = false;

    std::mutex callbackMutex;
    std::function<void()> onSyncRequested;

    // The probe is read on the sync queue and, when a run the watcher did not ask for starts, on
    // that run's thread.
    std::mutex probeMutex;
    // Not a SQLiteConnection: closing every connection at quit must not pull it from under a
    // batch still running on the sync queue; it closes with the state.
    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };
    std::unique_ptr<sqlite3, Closer> probe;
    DatabaseState probed;
    std::uint64_t probesOpened = 0;
    // Runs the owner started by itself, and the database as each found it, in order.
    std::vector<std::optional<DatabaseState>> unaskedRunStarts;

    // Everything below is touched only on the sync queue.
    int watch = -1;
    bool isSyncing = false;
    bool pendingSync = false;
    bool batchArmed = false;
    std::optional<Clock::MonotonicTime> lastDelivery;
    // The database as it was when the watcher last asked for a run (nothing when unknown), and
    // which request's closing check is due.
    std::optional<DatabaseState> requestedState;
    std::uint64_t requests = 0;

    std::map<std::string, std::string> dirMetadata() const {
        return {{"dir", watchDirectory.string()}};
    }

    void start() {
        if (watch >= 0) {
            return;
        }
        if (!inotify) {
            auto metadata = dirMetadata();
            metadata["error"] = createError;
            logger.error("chatdb_watch_create_failed", metadata);
            return;
        }
        watch = inotify->addWatch(watchDirectory, watchedEvents);
        if (watch < 0) {
            auto metadata = dirMetadata();
            metadata["error"] = std::strerror(errno);
            logger.error("chatdb_watch_start_failed", metadata);
            return;
        }
        logger.info("chatdb_watch_started", dirMetadata());
    }

    void eventsArrived(std::size_t count, const std::vector<int>& removedWatches) {
        // The folder went away (deleted, moved, unmounted). A moved folder would still be
        // watched where it went, so the watch is dropped, and the owner's next start() sets up
        // one on whatever is at the path then.
        if (watch >= 0 && std::find(removedWatches.begin(), removedWatches.end(), watch) !=
                              removedWatches.end()) {
            inotify->removeWatch(watch);
            watch = -1;
        }
        noteChanges();
        receivedEvents += count;
    }

    void noteChanges() {
        if (batchArmed) {
            return;
        }
        const auto now = scheduler.clock().monotonicNow();
        if ((!lastDelivery || now - *lastDelivery >= latency) && settle <= Scheduler::Duration{}) {
            lastDelivery = now;
            batchDelivered();
            return;
        }
        // The first change of a quiet period is delivered once the rest of its commit has
        // come; the others when the window after the last delivery closes.
        const auto delay = !lastDelivery || now - *lastDelivery >= latency
                               ? settle
                               : *lastDelivery + latency - now;
        batchArmed = true;
        auto queue = syncQueue;
        scheduler.after(delay,
                        [queue, weak = weak_from_this()] { post(queue, weak, &State::batchDue); });
    }

    void batchDue() {
        batchArmed = false;
        lastDelivery = scheduler.clock().monotonicNow();
        batchDelivered();
    }

    void batchDelivered() {
        // Changes that committed nothing since the last request (the rest of a commit that run
        // already read, a checkpoint, another file in the folder) ask for nothing.
        if (const auto now = databaseState(); now && requestedState && *now == *requestedState) {
            logger.info("chatdb_sync_not_needed", dirMetadata());
            return;
        }
        if (isSyncing) {
            pendingSync = true;
            return;
        }
        requestSync();
    }

    // At the end of the window after a request: a commit that became readable only after the
    // run began writes nothing more to the folder, so the database itself is asked.
    void requestWindowClosed(std::uint64_t request) {
        if (request != requests || batchArmed) {
            return;
        }
        const auto now = databaseState();
        if (now && requestedState && *now != *requestedState) {
            if (isSyncing) {
                pendingSync = true;
            } else {
                requestSync();
            }
        }
    }

    // Nothing when the database cannot be read (missing, not a database, refused): every
    // batch asks then, as it always did.
    std::optional<DatabaseState> databaseState() {
        std::lock_guard lock(probeMutex);
        std::error_code error;
        const auto file = std::filesystem::canonical(databasePath, error);
        struct stat info {};
        if (error || ::stat(file.c_str(), &info) != 0) {
            probe.reset();
            return std::nullopt;
        }
        try {
            if (!probe || probed.device != info.st_dev || probed.inode != info.st_ino) {
                probe.reset(SQLiteSupport::open(file, SQLiteSupport::OpenMode::readOnly, 0, false));
                probed = {info.st_dev, info.st_ino, ++probesOpened, 0};
            }
            SQLiteStatement statement(probe.get(), "PRAGMA data_version");
            if (!statement.step()) {
                return std::nullopt;
            }
            probed.dataVersion = statement.columnInt64(0);
            return probed;
        } catch (const SQLiteSupport::Failure&) {
            probe.reset();
            return std::nullopt;
        }
    }

    void unaskedRunStarting() {
        const auto state = databaseState();
        std::lock_guard lock(probeMutex);
        unaskedRunStarts.push_back(state);
    }

    void syncDidFinish() {
        isSyncing = false;
        std::optional<std::optional<DatabaseState>> unaskedStart;
        {
            std::lock_guard lock(probeMutex);
            if (!unaskedRunStarts.empty()) {
                unaskedStart = unaskedRunStarts.front();
                unaskedRunStarts.erase(unaskedRunStarts.begin());
            }
        }
        if (pendingSync) {
            requestSync();
            return;
        }
        // A run the watcher did not ask for (the first, before the folder was watched, above
        // all) has no window of its own: what was committed after it began reading is asked for
        // now, unless the watcher asked for it already. A database the run could not read and
        // that can be read now has changed too.
        if (unaskedStart) {
            const auto now = databaseState();
            if (now && (!*unaskedStart || *now != **unaskedStart) &&
                (!requestedState || *now != *requestedState)) {
                logger.info("chatdb_changed_during_sync", dirMetadata());
                requestSync();
            }
        }
    }

    void requestSync() {
        isSyncing = true;
        pendingSync = false;
        // Taken before the run starts reading: whatever it finds later is at least this.
        requestedState = databaseState();
        const auto request = ++requests;
        if (requestedState) {
            auto queue = syncQueue;
            scheduler.after(latency, [queue, weak = weak_from_this(), request] {
                if (auto executor = queue.lock()) {
                    executor->post([weak, request] {
                        if (auto current = weak.lock()) {
                            current->requestWindowClosed(request);
                        }
                    });
                }
            });
        }
        logger.info("chatdb_sync_triggered");
        std::function<void()> callback;
        {
            std::lock_guard lock(callbackMutex);
            callback = onSyncRequested;
        }
        if (callback) {
            callback();
        }
    }

    // Runs `member` on the sync queue if both the queue and the state still exist.
    static void post(const std::weak_ptr<Executor>& queue, const std::weak_ptr<State>& state,
                     void (State::*member)()) {
        if (auto executor = queue.lock()) {
            executor->post([state, member] {
                if (auto current = state.lock()) {
                    (current.get()->*member)();
                }
            });
        }
    }
};

ChatDBWatcher::ChatDBWatcher(const std::filesystem::path& chatDBPath, Scheduler& scheduler,
                             std::shared_ptr<Executor> syncQueue, Scheduler::Duration latency,
                             Scheduler::Duration settle)
    : watchDirectory_(chatDBPath.parent_path()),
      syncQueue_(syncQueue ? std::move(syncQueue)
                           : std::make_shared<SerialQueue>(queueLabel, scheduler)),
      state_(std::make_shared<State>(chatDBPath, scheduler, syncQueue_, latency, settle)) {
    try {
        state_->inotify = std::make_unique<InotifyReader>(
            [queue = std::weak_ptr<Executor>(syncQueue_), weak = std::weak_ptr<State>(state_)](
                const std::vector<InotifyReader::Event>& events) { takeIn(events, queue, weak); },
            [weak = std::weak_ptr<State>(state_)](const std::string& reason) {
                if (auto state = weak.lock()) {
                    state->logger.error("chatdb_watch_stopped", {{"error", reason}});
                }
            });
        state_->inotify->start();
    } catch (const Error& error) {
        // Said at start(), which the owner calls again.
        state_->createError = error.what();
    }
}

ChatDBWatcher::~ChatDBWatcher() {
    if (state_->inotify) {
        state_->inotify->stop();
    }
    // The state goes before the queue, so that tasks still queued find nothing to run.
    state_.reset();
}

void ChatDBWatcher::start() {
    State::post(syncQueue_, state_, &State::start);
}

void ChatDBWatcher::syncWillStart() {
    state_->unaskedRunStarting();
}

void ChatDBWatcher::syncDidFinish() {
    State::post(syncQueue_, state_, &State::syncDidFinish);
}

void ChatDBWatcher::setOnSyncRequested(std::function<void()> callback) {
    std::lock_guard lock(state_->callbackMutex);
    state_->onSyncRequested = std::move(callback);
}

std::size_t ChatDBWatcher::receivedEventCount() const {
    return state_->receivedEvents.load();
}

void ChatDBWatcher::waitUntilEventsTakenIn() const {
    if (state_->inotify) {
        state_->inotify->waitUntilTakenIn();
    }
}

void ChatDBWatcher::takeIn(const std::vector<InotifyReader::Event>& events,
                           const std::weak_ptr<Executor>& queue,
                           const std::weak_ptr<State>& state) {
    std::size_t count = 0;
    std::vector<int> removedWatches;
    for (const auto& event : events) {
        if (isSharedMemoryIndex(event.name) || isLogComingOrGoing(event.name, event.mask)) {
            continue;
        }
        // Every other event counts, whatever its path or kind: a lost queue (overflow) too.
        ++count;
        if ((event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
            removedWatches.push_back(event.watch);
        }
    }
    if (count == 0) {
        return;
    }
    bool joined = false;
    if (const auto current = state.lock()) {
        std::lock_guard lock(current->arrivedMutex);
        current->arrivedCount += count;
        current->arrivedRemovedWatches.insert(current->arrivedRemovedWatches.end(),
                                              removedWatches.begin(), removedWatches.end());
        joined = std::exchange(current->arrivalPosted, true);
    } else {
        return;
    }
    if (auto executor = queue.lock(); executor && !joined) {
        executor->post([state] {
            if (auto taking = state.lock()) {
                std::size_t arrived = 0;
                std::vector<int> removed;
                {
                    std::lock_guard lock(taking->arrivedMutex);
                    arrived = std::exchange(taking->arrivedCount, 0);
                    removed.swap(taking->arrivedRemovedWatches);
                    taking->arrivalPosted = false;
                }
                taking->eventsArrived(arrived, removed);
            }
        });
    }
    // A burst of writes (a commit of thousands of pages) would wake this thread once per page:
    // a short pause lets the kernel fold the repeats of one file's change into one event, which
    // costs the change's delivery nothing next to the settle that follows it.
    std::this_thread::sleep_for(burstPause);
}

}  // namespace vask
