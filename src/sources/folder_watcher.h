#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/inotify_reader.h"
#include "platform/scheduler.h"
#include "platform/serial_queue.h"

namespace vask {

// Watches a folder of data files with one extension (and the collections inside it, as sync
// tools lay them out) with inotify and reports a change once per burst: the first relevant event
// arms a delivery `latency` later on the watcher's serial queue, and events until then join it.
// Editors and sync tools write a file in several steps, and each step must not cost a full
// re-read of the folder.
//
// Relevant: a file with the extension (not a hidden temporary one) created, written, moved or
// deleted, a collection folder added or removed, or the folder itself appearing, moving or going
// away. While the folder does not exist, its parent is watched for it to appear.
class FolderWatcher {
  public:
    static constexpr std::chrono::milliseconds defaultLatency{300};

    // Starts watching before it returns. Throws vask::Error when inotify is not available.
    // `extension` includes its dot (".ics") and is matched without regard to case.
    FolderWatcher(std::filesystem::path folder, const std::string& extension,
                  std::function<void()> onChange, Scheduler& scheduler = Scheduler::system(),
                  Scheduler::Duration latency = defaultLatency);
    ~FolderWatcher();

    FolderWatcher(const FolderWatcher&) = delete;
    FolderWatcher& operator=(const FolderWatcher&) = delete;

    // How many relevant events were read so far (lets a caller know a change was seen).
    std::size_t relevantEventCount() const { return relevantEvents_.load(); }
    // Returns once the events of every file operation that returned before the call have been
    // taken in (a delivery they call for is armed by then).
    void waitUntilEventsTakenIn() const { inotify_->waitUntilTakenIn(); }

  private:
    void addWatches();
    // Returns how many of the events were relevant.
    std::size_t takeIn(const std::vector<InotifyReader::Event>& events);
    void scheduleDelivery();
    bool isDataFile(std::string_view name) const;

    std::filesystem::path folder_;
    std::string extension_;
    std::function<void()> onChange_;
    Scheduler::Duration latency_;
    int parentWatch_ = -1;
    std::atomic<std::size_t> relevantEvents_{0};
    std::mutex mutex_;
    bool deliveryPending_ = false;
    ScheduledTask pendingDelivery_;
    std::unique_ptr<InotifyReader> inotify_;
    // Last member: it goes first, running what it still holds while the rest is alive.
    std::unique_ptr<SerialQueue> queue_;
};

}  // namespace vask
