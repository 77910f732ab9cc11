#include "platform/inotify_reader.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "platform/error.h"

namespace vask {

InotifyReader::InotifyReader(Handler onEvents, FailureHandler onFailure)
    : onEvents_(std::move(onEvents)), onFailure_(std::move(onFailure)) {
    inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify_.isOpen()) {
        throw Error(std::strerror(errno));
    }
    wake_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake_.isOpen()) {
        throw Error(std::strerror(errno));
    }
}

void InotifyReader::start() {
    std::lock_guard lock(stopMutex_);
    if (started_) {
        return;
    }
    started_ = true;
    {
        std::lock_guard runningLock(mutex_);
        running_ = true;
    }
    thread_ = std::thread([this] { readLoop(); });
}

InotifyReader::~InotifyReader() {
    stop();
}

int InotifyReader::addWatch(const std::filesystem::path& path, std::uint32_t mask) {
    return inotify_add_watch(inotify_.get(), path.c_str(), mask);
}

void InotifyReader::removeWatch(int watch) {
    inotify_rm_watch(inotify_.get(), watch);
}

void InotifyReader::stop() {
    std::lock_guard lock(stopMutex_);
    if (!thread_.joinable()) {
        return;
    }
    const std::uint64_t one = 1;
    // Adding 1 to a fresh eventfd cannot overflow it, so this write does not fail.
    [[maybe_unused]] const auto written = ::write(wake_.get(), &one, sizeof one);
    thread_.join();
}

void InotifyReader::waitUntilTakenIn() const {
    // Each pass reads and hands over under the lock, so nothing unread while it is held means
    // nothing read and not yet handed over either.
    std::unique_lock lock(mutex_);
    takenIn_.wait(lock, [&] { return !running_ || unreadBytes() == 0; });
}

int InotifyReader::unreadBytes() const {
    int bytes = 0;
    return ::ioctl(inotify_.get(), FIONREAD, &bytes) == 0 ? bytes : 0;
}

std::vector<InotifyReader::Event> InotifyReader::readQueued() {
    alignas(inotify_event) std::array<char, 16384> buffer;
    std::vector<Event> events;
    while (true) {
        const ssize_t length = ::read(inotify_.get(), buffer.data(), buffer.size());
        if (length <= 0) {
            return events;
        }
        for (ssize_t offset = 0; offset < length;) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + offset, sizeof event);
            // The kernel pads the name with NULs up to `len`.
            std::string name =
                event.len > 0 ? std::string(buffer.data() + offset + sizeof event) : std::string();
            offset += static_cast<ssize_t>(sizeof event + event.len);
            events.push_back({event.wd, event.mask, std::move(name)});
        }
    }
}

void InotifyReader::readLoop() {
    std::array<pollfd, 2> fds{pollfd{inotify_.get(), POLLIN, 0}, pollfd{wake_.get(), POLLIN, 0}};
    std::string failure;
    while (true) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            failure = std::strerror(errno);
            break;
        }
        if (fds[1].revents != 0) {
            break;
        }
        {
            std::lock_guard lock(mutex_);
            if (const auto events = readQueued(); !events.empty()) {
                onEvents_(events);
            }
        }
        takenIn_.notify_all();
    }
    {
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    takenIn_.notify_all();
    if (!failure.empty() && onFailure_) {
        onFailure_(failure);
    }
}

}  // namespace vask
