#pragma once

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/unique_fd.h"

namespace vask {

// Lets a run give up on its child's pipes. A child can leave something behind that keeps a pipe
// open after the child itself is gone (a daemon in a session of its own); once signalled, every
// pipe worker watching this stops at its next wait instead of waiting for an end that may never
// come.
class PipeAbandonment {
  public:
    // Throws std::system_error.
    PipeAbandonment();
    void signal() const;
    int fd() const { return fd_.get(); }

  private:
    UniqueFd fd_;
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

// Reads one of a child's output pipes to its end on a thread of its own, keeping its first
// `limit` bytes and handing each chunk, as it arrives, to `onChunk` when there is one (an
// exception from it is logged under `category`, and the reading goes on: the child would block
// on a full pipe). What comes after the limit is read and dropped, so a child that floods the
// pipe neither blocks on it nor makes the application hold all of it.
class ChildOutputDrain : public PipeWorker {
  public:
    using OnChunk = std::function<void(std::string_view chunk)>;

    ChildOutputDrain(UniqueFd readEnd, std::size_t limit, const PipeAbandonment& stop,
                     std::string category, OnChunk onChunk = {});
    ~ChildOutputDrain();

    // Waits for the end of the work and hands over what was kept.
    std::string takeData();
    // After takeData: true when the pipe carried more than the limit.
    bool overflowed() const { return overflowed_; }

  private:
    UniqueFd fd_;
    std::string data_;
    bool overflowed_ = false;
};

// Writes `input` to a child's standard input on a thread of its own and then closes it, so that
// a child which never reads it cannot hold up the run. A child that ends (or closes its input)
// before it read everything is a failed write here (EPIPE), never a fatal SIGPIPE: SIGPIPE is
// blocked on this thread, and one it raised is taken back before the thread ends.
class ChildInputWriter : public PipeWorker {
  public:
    ChildInputWriter(UniqueFd writeEnd, std::string_view input, const PipeAbandonment& stop);
    ~ChildInputWriter();

    // After the work ended: 0 when everything was written, else why not (EPIPE: the child was
    // gone or had closed its input; ECANCELED: the run abandoned its pipes first).
    int failure();

  private:
    UniqueFd fd_;
    int failure_ = 0;
};

}  // namespace vask
