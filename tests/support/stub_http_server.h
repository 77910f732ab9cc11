#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/http_client.h"
#include "platform/url.h"

namespace vask::test {

// A local HTTP server on 127.0.0.1 with an ephemeral port, standing in for the cloud backend
// and the relay service. Each test scripts what it answers: a sequence of replies per method
// and path, or a handler; replies can be delayed, held back until the test releases them, or
// cut off mid-reply. Every request is recorded.
class StubHttpServer {
  public:
    struct Request {
        std::string method;
        std::string path;
        std::string query;  // without "?"; empty when there is none
        HttpHeaders headers;
        std::string body;

        std::optional<std::string> header(std::string_view name) const;
    };

    struct Reply {
        int status = 200;
        std::string body;
        std::string contentType = "application/json";
        HttpHeaders headers;
        // Waited before answering (cut short when the server stops).
        std::chrono::milliseconds delay{0};
        // Sends the status and headers, promising the body, then closes the connection.
        bool dropConnection = false;

        static Reply json(int status, std::string body);
        static Reply text(int status, std::string body);
        // Status and headers sent, then the connection closed before the promised body.
        static Reply dropped();
    };

    using Handler = std::function<Reply(const Request&)>;

    StubHttpServer();
    ~StubHttpServer();
    StubHttpServer(const StubHttpServer&) = delete;
    StubHttpServer& operator=(const StubHttpServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:<port>"
    Url baseURL() const;

    // Answers `method` `path` with `replies` in order; the last one repeats. A path that is
    // not scripted answers 404.
    void script(const std::string& method, const std::string& path, std::vector<Reply> replies);
    void handle(const std::string& method, const std::string& path, Handler handler);

    // While paused, requests are recorded at once and answered only after resume().
    void pause();
    void resume();

    std::vector<Request> requests() const;
    std::size_t requestCount() const;
    // Waits until at least `count` requests have arrived; false after `limit` without them (a
    // bound that only keeps a broken build from hanging).
    bool waitForRequests(std::size_t count,
                         std::chrono::milliseconds limit = std::chrono::minutes(1)) const;

    // Stops listening; later requests fail to connect. Called by the destructor.
    void stop();

  private:
    struct Impl;
    Reply replyFor(const Request& request);

    std::unique_ptr<Impl> impl_;
    int port_ = 0;
    std::thread thread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Request> requests_;
    std::map<std::pair<std::string, std::string>, std::vector<Reply>> scripts_;
    std::map<std::pair<std::string, std::string>, std::size_t> served_;
    std::map<std::pair<std::string, std::string>, Handler> handlers_;
    bool paused_ = false;
    bool stopping_ = false;
    bool listenEnded_ = false;
};

}  // namespace vask::test
