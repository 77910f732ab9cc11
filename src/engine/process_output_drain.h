#pragma once

#include <mutex>
#include <string>
#include <thread>

#include "engine/process_spawn.h"

namespace vask {

class RelayEventCollector;

// Reads one pipe to its end on a thread of its own, keeping its first `limit` bytes. What comes
// after them is read and dropped, so a helper that floods the pipe neither blocks on it nor
// makes the application hold all of it.
class ProcessOutputDrain {
  public:
    ProcessOutputDrain(FileDescriptor readEnd, std::size_t limit);
    ~ProcessOutputDrain();
    ProcessOutputDrain(const ProcessOutputDrain&) = delete;
    ProcessOutputDrain& operator=(const ProcessOutputDrain&) = delete;

    // Waits for the end of the pipe and hands over what was kept.
    std::string takeData();
    // After takeData: true when the pipe carried more than the limit.
    bool overflowed();

  private:
    FileDescriptor fd_;
    std::size_t limit_;
    std::mutex mutex_;
    std::string data_;
    bool overflowed_ = false;
    std::thread thread_;
};

// Reads the relay event pipe on a thread of its own and feeds each chunk, as it arrives, to the
// collector.
class RelayEventDrain {
  public:
    RelayEventDrain(FileDescriptor readEnd, RelayEventCollector& collector);
    ~RelayEventDrain();
    RelayEventDrain(const RelayEventDrain&) = delete;
    RelayEventDrain& operator=(const RelayEventDrain&) = delete;

    // Waits for the end of the pipe.
    void wait();

  private:
    FileDescriptor fd_;
    std::thread thread_;
};

}  // namespace vask
