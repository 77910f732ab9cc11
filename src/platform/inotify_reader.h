#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"

namespace vask {

// One inotify instance and the thread that reads it. Whenever events arrive, every event queued
// by then is read and handed over in one batch, on the reader's thread; what they mean is the
// watcher's business.
class InotifyReader {
  public:
    struct Event {
        int watch = -1;
        std::uint32_t mask = 0;
        std::string name;  // the entry inside a watched folder; empty for the folder itself
    };
    // Runs on the reader's thread and must not throw; it may add and remove watches, but not stop
    // the reader or wait for it.
    using Handler = std::function<void(const std::vector<Event>& events)>;
    // The reader stopped on an error of its own (it reads nothing more); `reason` names it.
    using FailureHandler = std::function<void(const std::string& reason)>;

    // Reads nothing before start(), so that the first watches can be added and recorded first.
    // Throws vask::Error, whose text is the system's reason, when no inotify instance can be had.
    InotifyReader(Handler onEvents, FailureHandler onFailure);
    ~InotifyReader();

    InotifyReader(const InotifyReader&) = delete;
    InotifyReader& operator=(const InotifyReader&) = delete;

    // The watch descriptor, or -1 with errno set. Watching a path already watched only changes
    // its mask and gives the same descriptor.
    int addWatch(const std::filesystem::path& path, std::uint32_t mask);
    void removeWatch(int watch);

    // Starts the reading thread; once only.
    void start();
    // Ends the thread and waits for it: no handler runs after it returns. Idempotent.
    void stop();

    // Returns once every event queued before the call has been handed over and its handler has
    // returned (or the reader does not run): what a file operation that has returned caused is
    // then known to the watcher, however loaded the machine.
    void waitUntilTakenIn() const;

  private:
    void readLoop();
    // Reads every event queued now.
    std::vector<Event> readQueued();
    int unreadBytes() const;

    Handler onEvents_;
    FailureHandler onFailure_;
    UniqueFd inotify_;
    UniqueFd wake_;
    mutable std::mutex mutex_;
    mutable std::condition_variable takenIn_;
    bool running_ = false;
    std::mutex stopMutex_;
    bool started_ = false;
    std::thread thread_;
};

}  // namespace vask
