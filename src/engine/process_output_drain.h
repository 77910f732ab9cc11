#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "engine/process_spawn.h"

namespace vask {

class RelayEventCollector;

// Lets a run give up on its pipes. A helper can leave something behind that keeps a pipe open
// after the helper itself is gone (a daemon in a session of its own); once signalled, every
// pipe worker watching this stops at its next wait instead of waiting for an end that may never
// come.
class PipeAbandonment {
  public:
    // Throws std::system_error.
    PipeAbandonment();
    void signal() const;
    int fd() const { return fd_.get(); }

  private:
    FileDescriptor fd_;
};

// A thread that works on one pipe until the pipe ends or the run abandons its pipes.
class PipeWorker {
  public:
    PipeWorker(const PipeWorker&) = delete;
    PipeWorker& operator=(const PipeWorker&) = delete;

    // True once the work has ended; false when `deadline` came first.
    bool waitUntil(std::chrono::steady_clock::time_point deadline);
    // Waits for the end of the work, however long it takes.
    void join();

  protected:
    PipeWorker() = default;
    ~PipeWorker();
    // Runs `work` on the thread and marks the work ended after it, whatever it does.
    void start(std::function<void()> work);

  private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    std::thread thread_;
};

// Reads one pipe to its end on a thread of its own, keeping its first `limit` bytes. What comes
// after them is read and dropped, so a helper that floods the pipe neither blocks on it nor
// makes the application hold all of it.
class ProcessOutputDrain : public PipeWorker {
  public:
    ProcessOutputDrain(FileDescriptor readEnd, std::size_t limit, const PipeAbandonment& stop);
    ~ProcessOutputDrain();

    // Waits for the end of the work and hands over what was kept.
    std::string takeData();
    // After takeData: true when the pipe carried more than the limit.
    bool overflowed() const { return overflowed_; }

  private:
    FileDescriptor fd_;
    std::string data_;
    bool overflowed_ = false;
};

// Reads the relay event pipe on a thread of its own and feeds each chunk, as it arrives, to the
// collector.
class RelayEventDrain : public PipeWorker {
  public:
    RelayEventDrain(FileDescriptor readEnd, RelayEventCollector& collector,
                    const PipeAbandonment& stop);
    ~RelayEventDrain();

  private:
    FileDescriptor fd_;
};

// Writes the request to the helper's standard input on a thread of its own and then closes it,
// so that a helper which never reads it cannot hold up the run. A helper that exits early turns
// into a failed write here, never into a fatal SIGPIPE.
class RequestWriter : public PipeWorker {
  public:
    RequestWriter(FileDescriptor writeEnd, std::string_view request, const PipeAbandonment& stop);
    ~RequestWriter();

  private:
    FileDescriptor fd_;
};

}  // namespace vask
