#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "engine/persona_context_host.h"
#include "platform/error.h"

namespace vask {

class PersonaContextHostError : public Error {
  public:
    enum class Case { listenerFailed, invalidRecipient, invalidChat, invalidCaps };

    PersonaContextHostError(Case kind, const std::string& message);
    Case kind() const { return kind_; }

  private:
    Case kind_;
};

// The per-turn persona-context endpoint: HTTP/1.1 POST "/persona-context" on 127.0.0.1, on a
// port the system picks, for requests that carry this host's bearer token. One worker thread
// serves every connection in turn and reads the shadow database read-only, one connection per
// request. When descriptors run out, the listener rests until a connection closes rather than
// waking the worker again and again. Listening starts in the constructor, so the host is ready
// once it is built; it stops on cancel() or destruction, closing the listener and every open
// connection.
class LoopbackPersonaContextHost final : public PersonaContextHost {
  public:
    struct Options {
        // A connection that sends nothing for this long is closed without an answer.
        std::chrono::milliseconds idleTimeout{10000};
        // At most this many connections are open at once: a new one closes one already
        // answered, else the one quiet longest once it had a short grace to send its request
        // (what every connection sent is read first). Out of descriptors, a new connection
        // closes one the same way.
        std::size_t maxConnections = 64;
    };

    static constexpr std::size_t maxRequestBytes = 16384;
    static constexpr std::size_t readChunkBytes = 8192;

    // Throws PersonaContextHostError (listenerFailed) when it cannot listen.
    explicit LoopbackPersonaContextHost(std::filesystem::path shadowDBPath);
    LoopbackPersonaContextHost(std::filesystem::path shadowDBPath, Options options);
    ~LoopbackPersonaContextHost() override;

    LoopbackPersonaContextHost(const LoopbackPersonaContextHost&) = delete;
    LoopbackPersonaContextHost& operator=(const LoopbackPersonaContextHost&) = delete;

    // "http://127.0.0.1:<port>/persona-context".
    const std::string& endpoint() const override { return endpoint_; }
    // 32 lower-case hexadecimal digits, new for every host.
    const std::string& token() const override { return token_; }
    std::uint16_t port() const { return port_; }
    // Idempotent; returns once the worker has stopped and every socket is closed.
    void cancel() override;

    // For tests, which cannot tell a resting worker from a spinning one by the clock on a loaded
    // machine: accepts that failed for want of descriptors, and waits that ended with the
    // listener left out of the poll (its rest over).
    struct AcceptCounts {
        std::uint64_t refused = 0;
        std::uint64_t rests = 0;
    };
    AcceptCounts acceptCounts() const;

    // What the chat turn is given: builds a host over the shadow database at the path it names.
    static PersonaContextHostFactory factory();
    static PersonaContextHostFactory factory(Options options);

  private:
    class Worker;

    std::string endpoint_;
    std::string token_;
    std::uint16_t port_ = 0;
    std::unique_ptr<Worker> worker_;
    std::thread thread_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace vask
