#include "proactive/loopback_persona_context_host.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "platform/unique_fd.h"
#include "platform/uuid.h"
#include "proactive/http_request.h"
#include "proactive/persona_context_responder.h"

namespace vask {
namespace {

using SteadyClock = std::chrono::steady_clock;

// After the answer is sent the peer gets this long to finish its side, so that bytes it sent
// beyond the request do not turn the close into a reset that could destroy the answer.
constexpr std::chrono::milliseconds lingerAfterAnswer{1000};

// Out of descriptors, the listener stays readable while accept fails: it is left out of the poll
// until a connection closes, or for this long when none is open to close.
constexpr std::chrono::milliseconds acceptRetryPause{250};

// A new connection is never closed to make room for a newer one before it had this long to send
// its request: a flood of connections must not reset the requests among them.
constexpr std::chrono::milliseconds newConnectionGrace{250};

std::string systemMessage(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

std::string newToken() {
    std::string token = Uuid::random().lowercaseString();
    std::erase(token, '-');
    return token;
}

}  // namespace

PersonaContextHostError::PersonaContextHostError(Case kind, const std::string& message)
    : Error("Persona context host failed: " + message), kind_(kind) {}

// Owns the sockets; everything below runs on the host's one thread, except wake().
class LoopbackPersonaContextHost::Worker {
  public:
    Worker(UniqueFd listener, UniqueFd wakeup, PersonaContextResponder responder, Options options)
        : listener_(std::move(listener)),
          wakeup_(std::move(wakeup)),
          responder_(std::move(responder)),
          options_(options) {}

    void run() {
        while (true) {
            std::vector<pollfd> fds;
            fds.push_back({wakeup_.get(), POLLIN, 0});
            // A negative descriptor is skipped by poll and keeps the indices below.
            fds.push_back({listenerPaused() ? -1 : listener_.get(), POLLIN, 0});
            for (const auto& [fd, connection] : connections_) {
                fds.push_back(
                    {fd, static_cast<short>(connection.pendingOutput() ? POLLOUT : POLLIN), 0});
            }
            const int ready = ::poll(fds.data(), fds.size(), pollTimeoutMs());
            if (ready < 0 && errno != EINTR) {
                return;
            }
            if (ready == 0 && fds[1].fd < 0) {
                rests_.fetch_add(1, std::memory_order_relaxed);
            }
            if (fds[0].revents != 0) {
                return;
            }
            if (fds[1].revents != 0) {
                acceptPending();
            }
            for (std::size_t i = 2; i < fds.size(); ++i) {
                if (fds[i].revents != 0) {
                    service(fds[i].fd);
                }
            }
            closeExpired();
        }
    }

    void wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeup_.get(), &one, sizeof one);
    }

    // Refused first: with no connection to close, every refusal but the first follows a rest, so
    // a reader never sees more refusals than one past the rests unless the worker spins.
    AcceptCounts acceptCounts() const {
        AcceptCounts counts;
        counts.refused = refused_.load(std::memory_order_acquire);
        counts.rests = rests_.load(std::memory_order_acquire);
        return counts;
    }

    // After run() has returned: every socket closes with this object.
    void closeAll() {
        connections_.clear();
        listener_.reset();
    }

  private:
    struct Connection {
        UniqueFd socket;
        std::string input;
        std::string output;
        std::size_t sent = 0;
        bool answered = false;
        SteadyClock::time_point deadline;
        SteadyClock::time_point lastActivity;

        bool pendingOutput() const { return sent < output.size(); }
    };

    bool listenerPaused() const { return acceptResumesAt_ > SteadyClock::now(); }

    void resumeAccepting() { acceptResumesAt_ = {}; }

    int pollTimeoutMs() const {
        const bool paused = listenerPaused();
        if (connections_.empty() && !paused) {
            return -1;
        }
        auto earliest = paused ? acceptResumesAt_ : SteadyClock::time_point::max();
        for (const auto& [fd, connection] : connections_) {
            earliest = std::min(earliest, connection.deadline);
        }
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(earliest - SteadyClock::now());
        return static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, 60000));
    }

    // Takes the waiting connections while there is room, or room can be made; the others wait
    // in the listener's backlog, unharmed, until a connection closes or a grace runs out.
    void acceptPending() {
        while (true) {
            if (connections_.size() >= options_.maxConnections && !makeRoom()) {
                return;
            }
            const int fd =
                ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) {
                    continue;
                }
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    refused_.fetch_add(1, std::memory_order_release);
                    // A descriptor of an idle connection serves the waiting one better.
                    if (makeRoom()) {
                        continue;
                    }
                    pauseAccepting(acceptRetryPause);
                }
                return;
            }
            Connection connection;
            connection.socket = UniqueFd(fd);
            connection.lastActivity = SteadyClock::now();
            connection.deadline = connection.lastActivity + options_.idleTimeout;
            connections_.emplace(fd, std::move(connection));
        }
    }

    // Closes one connection for a newer one: first what every connection has sent is read (a
    // complete request is answered, not dropped); then one already answered goes, else the one
    // quiet longest, once past its grace. False when every connection is still in its grace:
    // the listener then rests until the first grace ends.
    bool makeRoom() {
        const std::size_t before = connections_.size();
        for (auto it = connections_.begin(); it != connections_.end();) {
            Connection& connection = it->second;
            const bool keep =
                connection.pendingOutput() ? writeSome(connection) : readSome(connection);
            it = keep ? std::next(it) : connections_.erase(it);
        }
        if (connections_.size() < before) {
            return true;
        }
        const auto now = SteadyClock::now();
        auto victim = connections_.end();
        bool victimAnswered = false;
        for (auto it = connections_.begin(); it != connections_.end(); ++it) {
            const Connection& connection = it->second;
            const bool answered = connection.answered && !connection.pendingOutput();
            if (!answered && now - connection.lastActivity < newConnectionGrace) {
                continue;
            }
            if (victim == connections_.end() || (answered && !victimAnswered) ||
                (answered == victimAnswered &&
                 connection.lastActivity < victim->second.lastActivity)) {
                victim = it;
                victimAnswered = answered;
            }
        }
        if (victim != connections_.end()) {
            connections_.erase(victim);
            return true;
        }
        if (connections_.empty()) {
            // Nothing of ours holds the descriptors: no grace to wait for.
            return false;
        }
        auto firstGraceEnds = SteadyClock::time_point::max();
        for (const auto& [fd, connection] : connections_) {
            firstGraceEnds = std::min(firstGraceEnds, connection.lastActivity + newConnectionGrace);
        }
        pauseAccepting(firstGraceEnds - now);
        return false;
    }

    void pauseAccepting(SteadyClock::duration pause) {
        acceptResumesAt_ =
            SteadyClock::now() + std::clamp<SteadyClock::duration>(
                                     pause, std::chrono::milliseconds(1), acceptRetryPause);
    }

    void service(int fd) {
        auto it = connections_.find(fd);
        if (it == connections_.end()) {
            return;
        }
        Connection& connection = it->second;
        const bool keep = connection.pendingOutput() ? writeSome(connection) : readSome(connection);
        if (!keep) {
            connections_.erase(it);
            resumeAccepting();
        }
    }

    // False when the connection is done with.
    bool readSome(Connection& connection) {
        std::array<char, readChunkBytes> chunk{};
        const auto n = ::recv(connection.socket.get(), chunk.data(), chunk.size(), 0);
        if (n < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        if (n == 0) {
            // The peer has finished sending: a request still incomplete never will be.
            return false;
        }
        if (connection.answered) {
            return true;  // what the peer sends after its request is dropped
        }
        connection.input.append(chunk.data(), static_cast<std::size_t>(n));
        connection.lastActivity = SteadyClock::now();
        connection.deadline = connection.lastActivity + options_.idleTimeout;
        if (connection.input.size() > maxRequestBytes) {
            return answer(connection, PersonaContextResponder::error(413, "request_too_large"));
        }
        if (auto request = HTTPRequest::parseIfComplete(connection.input)) {
            return answer(connection, responder_.respond(*request));
        }
        return true;
    }

    bool answer(Connection& connection, const PersonaContextResponder::Response& response) {
        connection.answered = true;
        connection.input.clear();
        connection.output = response.serialized();
        return writeSome(connection);
    }

    bool writeSome(Connection& connection) {
        while (connection.pendingOutput()) {
            const auto n =
                ::send(connection.socket.get(), connection.output.data() + connection.sent,
                       connection.output.size() - connection.sent, MSG_NOSIGNAL);
            if (n < 0) {
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            }
            connection.sent += static_cast<std::size_t>(n);
        }
        ::shutdown(connection.socket.get(), SHUT_WR);
        connection.deadline = SteadyClock::now() + lingerAfterAnswer;
        return true;
    }

    void closeExpired() {
        const auto now = SteadyClock::now();
        if (std::erase_if(connections_,
                          [&](const auto& entry) { return entry.second.deadline <= now; }) > 0) {
            resumeAccepting();
        }
    }

    UniqueFd listener_;
    UniqueFd wakeup_;
    PersonaContextResponder responder_;
    Options options_;
    std::map<int, Connection> connections_;
    // While in the future, the listener is not polled: descriptors ran out.
    SteadyClock::time_point acceptResumesAt_;
    std::atomic<std::uint64_t> refused_{0};
    std::atomic<std::uint64_t> rests_{0};
};

LoopbackPersonaContextHost::LoopbackPersonaContextHost(std::filesystem::path shadowDBPath)
    : LoopbackPersonaContextHost(std::move(shadowDBPath), Options{}) {}

LoopbackPersonaContextHost::LoopbackPersonaContextHost(std::filesystem::path shadowDBPath,
                                                       Options options)
    : token_(newToken()) {
    using Case = PersonaContextHostError::Case;
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (listener.get() < 0) {
        throw PersonaContextHostError(Case::listenerFailed, systemMessage("socket"));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw PersonaContextHostError(Case::listenerFailed, systemMessage("bind"));
    }
    if (::listen(listener.get(), SOMAXCONN) != 0) {
        throw PersonaContextHostError(Case::listenerFailed, systemMessage("listen"));
    }
    socklen_t length = sizeof address;
    if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw PersonaContextHostError(Case::listenerFailed, systemMessage("getsockname"));
    }
    port_ = ntohs(address.sin_port);
    UniqueFd wakeup(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (wakeup.get() < 0) {
        throw PersonaContextHostError(Case::listenerFailed, systemMessage("eventfd"));
    }
    endpoint_ = "http://127.0.0.1:" + std::to_string(port_) + "/persona-context";
    worker_ =
        std::make_unique<Worker>(std::move(listener), std::move(wakeup),
                                 PersonaContextResponder(std::move(shadowDBPath), token_), options);
    thread_ = std::thread([worker = worker_.get()] { worker->run(); });
}

LoopbackPersonaContextHost::~LoopbackPersonaContextHost() {
    cancel();
}

void LoopbackPersonaContextHost::cancel() {
    if (cancelled_.exchange(true)) {
        return;
    }
    worker_->wake();
    thread_.join();
    worker_->closeAll();
}

LoopbackPersonaContextHost::AcceptCounts LoopbackPersonaContextHost::acceptCounts() const {
    return worker_->acceptCounts();
}

PersonaContextHostFactory LoopbackPersonaContextHost::factory() {
    return factory(Options{});
}

PersonaContextHostFactory LoopbackPersonaContextHost::factory(Options options) {
    return [options](const std::string& shadowDBPath) -> std::unique_ptr<PersonaContextHost> {
        return std::make_unique<LoopbackPersonaContextHost>(shadowDBPath, options);
    };
}

}  // namespace vask
