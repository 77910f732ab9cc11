#include "support/stub_http_server.h"

#include <httplib.h>

#include <stdexcept>

#include "platform/text.h"

namespace vask::test {

struct StubHttpServer::Impl {
    httplib::Server server;
};

std::optional<std::string> StubHttpServer::Request::header(std::string_view name) const {
    const auto lowered = text::toLower(name);
    for (const auto& [key, value] : headers) {
        if (text::toLower(key) == lowered) {
            return value;
        }
    }
    return std::nullopt;
}

StubHttpServer::Reply StubHttpServer::Reply::json(int status, std::string body) {
    Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

StubHttpServer::Reply StubHttpServer::Reply::text(int status, std::string body) {
    Reply reply = json(status, std::move(body));
    reply.contentType = "text/plain";
    return reply;
}

StubHttpServer::Reply StubHttpServer::Reply::dropped() {
    Reply reply = json(200, "{}");
    reply.dropConnection = true;
    return reply;
}

StubHttpServer::StubHttpServer() : impl_(std::make_unique<Impl>()) {
    auto& server = impl_->server;
    // Enough workers that held-back replies never starve later requests of a thread.
    server.new_task_queue = [] { return new httplib::ThreadPool(32); };
    const auto serve = [this](const httplib::Request& in, httplib::Response& out) {
        Request request{in.method, in.path, {}, {}, in.body};
        if (const auto question = in.target.find('?'); question != std::string::npos) {
            request.query = in.target.substr(question + 1);
        }
        for (const auto& [name, value] : in.headers) {
            request.headers.emplace_back(name, value);
        }
        const Reply reply = replyFor(request);
        out.status = reply.status;
        for (const auto& [name, value] : reply.headers) {
            out.set_header(name, value);
        }
        if (reply.dropConnection) {
            out.set_content_provider(
                reply.body.size() + 16, reply.contentType,
                [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
        } else {
            out.set_content(reply.body, reply.contentType);
        }
    };
    server.Get(".*", serve);
    server.Post(".*", serve);
    server.Put(".*", serve);
    server.Patch(".*", serve);
    server.Delete(".*", serve);
    server.Options(".*", serve);

    port_ = server.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        throw std::runtime_error("stub HTTP server could not bind to 127.0.0.1");
    }
    thread_ = std::thread([this, &server] {
        server.listen_after_bind();
        std::lock_guard lock(mutex_);
        listenEnded_ = true;
    });
    // stop() only reaches a server that is already listening: wait for it, so that a server
    // stopped right after creation cannot start listening afterwards and never end.
    while (!server.is_running()) {
        {
            std::lock_guard lock(mutex_);
            if (listenEnded_) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

StubHttpServer::~StubHttpServer() {
    stop();
}

void StubHttpServer::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    impl_->server.stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

Url StubHttpServer::baseURL() const {
    return *Url::parse("http://127.0.0.1:" + std::to_string(port_));
}

void StubHttpServer::script(const std::string& method, const std::string& path,
                            std::vector<Reply> replies) {
    std::lock_guard lock(mutex_);
    scripts_[{method, path}] = std::move(replies);
    served_[{method, path}] = 0;
}

void StubHttpServer::handle(const std::string& method, const std::string& path, Handler handler) {
    std::lock_guard lock(mutex_);
    handlers_[{method, path}] = std::move(handler);
}

void StubHttpServer::pause() {
    std::lock_guard lock(mutex_);
    paused_ = true;
}

void StubHttpServer::resume() {
    {
        std::lock_guard lock(mutex_);
        paused_ = false;
    }
    changed_.notify_all();
}

std::vector<StubHttpServer::Request> StubHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t StubHttpServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool StubHttpServer::waitForRequests(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return requests_.size() >= count; });
}

StubHttpServer::Reply StubHttpServer::replyFor(const Request& request) {
    Handler handler;
    Reply reply = Reply::text(404, "no stub reply for " + request.method + " " + request.path);
    {
        std::unique_lock lock(mutex_);
        requests_.push_back(request);
        changed_.notify_all();
        const std::pair key{request.method, request.path};
        if (const auto it = handlers_.find(key); it != handlers_.end()) {
            handler = it->second;
        } else if (const auto script = scripts_.find(key);
                   script != scripts_.end() && !script->second.empty()) {
            auto& index = served_[key];
            reply = script->second[std::min(index, script->second.size() - 1)];
            ++index;
        }
        changed_.wait(lock, [&] { return !paused_ || stopping_; });
    }
    if (handler) {
        reply = handler(request);
    }
    if (reply.delay.count() > 0) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, reply.delay, [&] { return stopping_; });
    }
    return reply;
}

}  // namespace vask::test
