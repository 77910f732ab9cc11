#include "engine/process_output_drain.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>

#include "engine/relay_event_collector.h"
#include "platform/logger.h"

namespace vask {
namespace {

constexpr std::size_t kChunkSize = 64 * 1024;

// One read, retried when a signal interrupts it. 0 at the end of the pipe, -1 on an error.
ssize_t readSome(int fd, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

void logReadFailure(int error) {
    Logger("ai.ternwick.Vask", "rlm-helper")
        .error("helper pipe read failed: " + std::string(std::strerror(error)));
}

}  // namespace

ProcessOutputDrain::ProcessOutputDrain(FileDescriptor readEnd, std::size_t limit)
    : fd_(std::move(readEnd)), limit_(limit) {
    thread_ = std::thread([this] {
        std::string collected;
        bool overflowed = false;
        std::array<char, kChunkSize> buffer;
        for (;;) {
            const ssize_t n = readSome(fd_.get(), buffer.data(), buffer.size());
            if (n < 0) {
                logReadFailure(errno);
            }
            if (n <= 0) {
                break;
            }
            const auto size = static_cast<std::size_t>(n);
            const std::size_t room = limit_ - collected.size();
            if (size > room) {
                overflowed = true;
            }
            collected.append(buffer.data(), std::min(size, room));
        }
        std::lock_guard lock(mutex_);
        data_ = std::move(collected);
        overflowed_ = overflowed;
    });
}

ProcessOutputDrain::~ProcessOutputDrain() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string ProcessOutputDrain::takeData() {
    if (thread_.joinable()) {
        thread_.join();
    }
    std::lock_guard lock(mutex_);
    return std::move(data_);
}

bool ProcessOutputDrain::overflowed() {
    std::lock_guard lock(mutex_);
    return overflowed_;
}

RelayEventDrain::RelayEventDrain(FileDescriptor readEnd, RelayEventCollector& collector)
    : fd_(std::move(readEnd)) {
    thread_ = std::thread([this, &collector] {
        std::array<char, kChunkSize> buffer;
        for (;;) {
            const ssize_t n = readSome(fd_.get(), buffer.data(), buffer.size());
            if (n < 0) {
                logReadFailure(errno);
            }
            if (n <= 0) {
                break;
            }
            try {
                collector.append(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
            } catch (const std::exception& e) {
                // A failing consumer must not end the reading: the helper would block on a
                // full pipe.
                Logger("ai.ternwick.Vask", "rlm-helper")
                    .error(std::string("relay event callback failed: ") + e.what());
            }
        }
    });
}

RelayEventDrain::~RelayEventDrain() {
    wait();
}

void RelayEventDrain::wait() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace vask
