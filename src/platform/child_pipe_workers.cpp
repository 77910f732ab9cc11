#include "platform/child_pipe_workers.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <csignal>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>

#include "platform/logger.h"

namespace vask {
namespace {

constexpr std::size_t kChunkSize = std::size_t{64} * 1024;

// Waits until `fd` is ready for `events` (or has ended) or the run abandons its pipes; false in
// the latter case.
bool waitReady(int fd, short events, const PipeAbandonment& stop) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {stop.fd(), POLLIN, 0}};
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || fds[1].revents != 0) {
            return false;
        }
        if (fds[0].revents != 0) {
            return true;
        }
    }
}

// One read, retried when a signal interrupts it. 0 at the end of the pipe (or when the run has
// abandoned it), -1 on an error.
ssize_t readSome(int fd, char* buffer, std::size_t size, const PipeAbandonment& stop) {
    for (;;) {
        if (!waitReady(fd, POLLIN, stop)) {
            return 0;
        }
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || (errno != EINTR && errno != EAGAIN)) {
            return n;
        }
    }
}

void logReadFailure(const std::string& category, int error) {
    Logger("ai.ternwick.Vask", category)
        .error("child pipe read failed: " + std::string(std::strerror(error)));
}

}  // namespace

PipeAbandonment::PipeAbandonment() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!fd_.isOpen()) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

void PipeAbandonment::signal() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(fd_.get(), &one, sizeof one);
}

PipeWorker::~PipeWorker() {
    join();
}

void PipeWorker::start(std::function<void()> work) {
    thread_ = std::thread([this, work = std::move(work)] {
        work();
        std::lock_guard lock(mutex_);
        done_ = true;
        ended_.notify_all();
    });
}

bool PipeWorker::waitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return ended_.wait_until(lock, deadline, [this] { return done_; });
}

void PipeWorker::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

ChildOutputDrain::ChildOutputDrain(UniqueFd readEnd, std::size_t limit, const PipeAbandonment& stop,
                                   std::string category, OnChunk onChunk)
    : fd_(std::move(readEnd)) {
    start([this, limit, &stop, category = std::move(category), onChunk = std::move(onChunk)] {
        std::array<char, kChunkSize> buffer;
        for (;;) {
            const ssize_t n = readSome(fd_.get(), buffer.data(), buffer.size(), stop);
            if (n < 0) {
                logReadFailure(category, errno);
            }
            if (n <= 0) {
                break;
            }
            const std::string_view chunk(buffer.data(), static_cast<std::size_t>(n));
            const std::size_t room = limit - data_.size();
            if (chunk.size() > room) {
                overflowed_ = true;
            }
            data_.append(chunk.substr(0, room));
            if (onChunk) {
                try {
                    onChunk(chunk);
                } catch (const std::exception& e) {
                    // A failing consumer must not end the reading: the child would block on a
                    // full pipe.
                    Logger("ai.ternwick.Vask", category)
                        .error(std::string("child output callback failed: ") + e.what());
                }
            }
        }
    });
}

ChildOutputDrain::~ChildOutputDrain() {
    join();
}

std::string ChildOutputDrain::takeData() {
    // Joining orders the thread's writes before these reads.
    join();
    return std::move(data_);
}

ChildInputWriter::ChildInputWriter(UniqueFd writeEnd, std::string_view input,
                                   const PipeAbandonment& stop)
    : fd_(std::move(writeEnd)) {
    ::fcntl(fd_.get(), F_SETFL, ::fcntl(fd_.get(), F_GETFL) | O_NONBLOCK);
    start([this, input, &stop] {
        // SIGPIPE is blocked on this thread only; a child that exits early gives EPIPE.
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
        std::size_t written = 0;
        while (written < input.size()) {
            if (!waitReady(fd_.get(), POLLOUT, stop)) {
                failure_ = ECANCELED;
                break;
            }
            const ssize_t n = ::write(fd_.get(), input.data() + written, input.size() - written);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (n <= 0) {
                failure_ = n < 0 ? errno : EIO;
                break;
            }
            written += static_cast<std::size_t>(n);
        }
        fd_.reset();
        // Take back the SIGPIPE an early exit raised, so that nothing is left pending.
        const timespec noWait{0, 0};
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            sigtimedwait(&pipeSignal, nullptr, &noWait);
        }
    });
}

ChildInputWriter::~ChildInputWriter() {
    join();
}

int ChildInputWriter::failure() {
    join();
    return failure_;
}

}  // namespace vask
