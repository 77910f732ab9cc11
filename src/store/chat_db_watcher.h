#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "platform/executor.h"
#include "platform/inotify_reader.h"
#include "platform/scheduler.h"

namespace vask {

// Turns changes in the folder that holds the Messages database into requests to synchronise,
// without polling. It never synchronises itself: it asks its owner through onSyncRequested, and
// the owner reports every run's end with syncDidFinish(). At most one requested run is in flight;
// changes during a run cause exactly one more run after it.
//
// Changes are read with inotify on the folder itself (the database, its write-ahead log and
// anything else created, written, moved or deleted there) and delivered in batches: the first
// change after a quiet `latency` once `settle` has passed (one commit writes its log several
// times, and is readable only after the last write and a flush), the changes of the following
// `latency` together when it ends.
//
// A batch asks for a run only when the database may hold something the last requested run did
// not see: the watcher keeps its own read-only connection to the database and compares SQLite's
// data_version (which moves with every commit of another connection) and the file's identity
// with what they were when it last asked. What a commit writes after a run began is therefore
// still seen: the window after each request ends with that comparison, events or not; a run the
// owner started by itself (syncWillStart()) is compared when it ends.
class ChatDBWatcher {
  public:
    static constexpr std::chrono::seconds defaultLatency{1};
    static constexpr std::chrono::milliseconds defaultSettle{100};
    static constexpr const char* queueLabel = "ai.vask.chatdb-watcher";

    // Watches the database path's folder once started. `syncQueue` runs everything the watcher
    // does, its callback included; absent, the watcher makes its own serial queue. A queue passed
    // in must run its tasks one at a time.
    explicit ChatDBWatcher(const std::filesystem::path& chatDBPath,
                           Scheduler& scheduler = Scheduler::system(),
                           std::shared_ptr<Executor> syncQueue = nullptr,
                           Scheduler::Duration latency = defaultLatency,
                           Scheduler::Duration settle = defaultSettle);
    ~ChatDBWatcher();

    ChatDBWatcher(const ChatDBWatcher&) = delete;
    ChatDBWatcher& operator=(const ChatDBWatcher&) = delete;

    const std::filesystem::path& watchDirectory() const { return watchDirectory_; }

    // Starts watching unless already watching; a failure is logged and the next call tries
    // again. Returns at once; safe to call any number of times.
    void start();
    // The owner starts a run the watcher did not ask for. Called on the thread of that run before
    // it reads anything (it blocks for a read of the database); the run's syncDidFinish() then
    // asks for another run when the database has changed since.
    void syncWillStart();
    // The owner's run (requested or not) has ended, successfully or not. Returns at once.
    void syncDidFinish();
    // Runs on the sync queue, never on the main executor; the owner hops to its own executor.
    void setOnSyncRequested(std::function<void()> callback);

    // How many file-system events the sync queue has taken in so far.
    std::size_t receivedEventCount() const;
    // Returns once the events of every file operation that returned before the call have been
    // handed to the sync queue (which then has them queued).
    void waitUntilEventsTakenIn() const;

  private:
    struct State;

    // On the reader's thread: counts what matters and hands it to the sync queue.
    static void takeIn(const std::vector<InotifyReader::Event>& events,
                       const std::weak_ptr<Executor>& queue, const std::weak_ptr<State>& state);

    std::filesystem::path watchDirectory_;
    // Declared before the state so that it is destroyed after it: tasks still queued then find
    // the state gone and do nothing.
    std::shared_ptr<Executor> syncQueue_;
    std::shared_ptr<State> state_;
};

}  // namespace vask
