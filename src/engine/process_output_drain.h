#pragma once

#include <mutex>
#include <string>
#include <thread>

#include "engine/process_spawn.h"

namespace vask {

class RelayEventCollector;

// Reads one pipe to its end on a thread of its own, keeping every byte (no size limit).
class ProcessOutputDrain {
  public:
    explicit ProcessOutputDrain(FileDescriptor readEnd);
    ~ProcessOutputDrain();
    ProcessOutputDrain(const ProcessOutputDrain&) = delete;
    ProcessOutputDrain& operator=(const ProcessOutputDrain&) = delete;

    // Waits for the end of the pipe and hands over what was read.
    std::string takeData();

  private:
    FileDescriptor fd_;
    std::mutex mutex_;
    std::string data_;
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
