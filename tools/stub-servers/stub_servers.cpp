// stub-servers: stand-ins for the cloud backend and the model relay on 127.0.0.1, so that the
// application runs signed in without an account: the end-to-end run and the demo start it.
//
//   stub-servers [--log FILE] [--silent]
//
// Prints "cloud=PORT relay=PORT" on one line once both listen (ephemeral ports), appends
// "<server> <method> <path> <status>" to FILE for every request, and serves until SIGTERM or
// SIGINT. Requests without a bearer token or API key are refused with 401, as the real servers
// do. With --silent both are one port whose connections are accepted (by the system) and never
// answered: a server that hangs, for checking that nothing waits on it for long.

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

constexpr const char* usage = "Usage: stub-servers [--log FILE] [--silent]\n";

std::mutex logMutex;
std::string logPath;

void record(const char* server, const httplib::Request& request, int status) {
    if (logPath.empty()) {
        return;
    }
    std::lock_guard lock(logMutex);
    std::ofstream(logPath, std::ios::app)
        << server << ' ' << request.method << ' ' << request.path << ' ' << status << '\n';
}

bool authorised(const httplib::Request& request) {
    return request.get_header_value("Authorization").starts_with("Bearer ") ||
           !request.get_header_value("X-API-Key").empty();
}

void reply(httplib::Response& response, int status, const json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

// The model's text for a prompt: a verdict list for needs-reply prompts, a title for title
// prompts, otherwise a reply draft.
std::string completion(const std::string& prompt) {
    if (prompt.find("need a reply") != std::string::npos) {
        static const std::regex idPattern(R"(\d+\. id=("(?:[^"\\]|\\.)*"))");
        json verdicts = json::array();
        for (auto it = std::sregex_iterator(prompt.begin(), prompt.end(), idPattern);
             it != std::sregex_iterator(); ++it) {
            const auto id = json::parse((*it)[1].str(), nullptr, false);
            if (id.is_string()) {
                verdicts.push_back({{"id", id}, {"needs_reply", true}});
            }
        }
        return verdicts.dump();
    }
    if (prompt.find("title for this chat") != std::string::npos) {
        return "Dinner Plans Recap";
    }
    return "Sounds good, see you there!";
}

void serveCloud(httplib::Server& server) {
    server.Post("/api/v1/auth/refresh", [](const httplib::Request& request, auto& response) {
        const auto body = json::parse(request.body, nullptr, false);
        if (!body.is_object() || !body.contains("refresh_token")) {
            reply(response, 400, {{"error", "refresh_token is required"}});
        } else {
            reply(response, 200,
                  {{"access_token", "stub-access-token"},
                   {"refresh_token", "stub-refresh-token"},
                   {"refresh_expires_at", "2099-01-01T00:00:00Z"},
                   {"customer_token", "stub-customer-token"}});
        }
        record("cloud", request, response.status);
    });
}

void serveRelay(httplib::Server& server) {
    const auto guarded = [](auto handler) {
        return [handler](const httplib::Request& request, httplib::Response& response) {
            if (!authorised(request)) {
                reply(response, 401, {{"error", "unauthorized"}});
            } else {
                handler(request, response);
            }
            record("relay", request, response.status);
        };
    };
    server.Post("/api/v1/responses", guarded([](const auto& request, auto& response) {
                    const auto body = json::parse(request.body, nullptr, false);
                    std::string prompt;
                    if (body.is_object()) {
                        for (const auto& item : body.value("input", json::array())) {
                            for (const auto& part : item.value("content", json::array())) {
                                prompt += part.value("text", "");
                            }
                        }
                    }
                    reply(response, 200,
                          {{"output",
                            {{{"type", "message"},
                              {"role", "assistant"},
                              {"content", {{{"type", "text"}, {"text", completion(prompt)}}}}}}}});
                }));
    server.Get(
        "/api/v1/customers/me/models", guarded([](const auto&, auto& response) {
            reply(response, 200,
                  {{"models",
                    {{"presets",
                      {{{"code", "balanced"},
                        {"display_name", "Balanced"},
                        {"description", "The stand-in's only preset"},
                        {"is_default", true},
                        {"kind", "single"},
                        {"model",
                         {{"model_id", "stub-model"}, {"model_display_name", "Stub Model"}}}}}}}}});
        }));
    server.Get("/api/v1/customers/me/subscription", guarded([](const auto&, auto& response) {
                   reply(response, 200,
                         {{"subscription",
                           {{"tier_code", "plus"},
                            {"tier_display_name", "Plus"},
                            {"price_amount_cents", 900},
                            {"price_interval", "month"},
                            {"current_period_end", "2099-01-01T00:00:00Z"}}}});
               }));
    server.Get("/api/v1/customers/me/usage", guarded([](const auto&, auto& response) {
                   reply(response, 200,
                         {{"usage",
                           {{"requests", 12},
                            {"tokens", 34000},
                            {"total_cost_microcents", 125000000},
                            {"spend_limit_cents", 2000},
                            {"spend_remaining_microcents", 1875000000},
                            {"percentage_used", 6.25},
                            {"low", false},
                            {"window_end", "2099-01-01T00:00:00Z"}}}});
               }));
    server.Get("/api/v1/account/balance", guarded([](const auto&, auto& response) {
                   reply(response, 200,
                         {{"balance_cents", 1500},
                          {"balance_formatted", "$15.00"},
                          {"currency", "usd"},
                          {"low_balance_threshold_cents", 200}});
               }));
}

void logUnknown(const char* name, httplib::Server& server) {
    server.set_error_handler([name](const httplib::Request& request, httplib::Response& response) {
        if (response.status == 404) {
            reply(response, 404, {{"error", "not served by the stand-in"}});
            record(name, request, 404);
        }
    });
}

// Listens on 127.0.0.1 and never accepts: the system completes the connections (up to the
// backlog) and keeps what clients send, and nothing ever answers.
int serveSilently(const sigset_t& stopSignals) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 128) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::fputs("stub-servers: cannot listen on 127.0.0.1\n", stderr);
        return 1;
    }
    const int port = ntohs(address.sin_port);
    std::printf("cloud=%d relay=%d\n", port, port);
    std::fflush(stdout);
    int received = 0;
    sigwait(&stopSignals, &received);
    ::close(listener);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool silent = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--log") == 0 && i + 1 < argc) {
            logPath = argv[++i];
        } else if (std::strcmp(argv[i], "--silent") == 0) {
            silent = true;
        } else {
            std::fputs(usage, std::strcmp(argv[i], "--help") == 0 ? stdout : stderr);
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }
    // Wait for the end in one place: block the signals before any server thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    if (silent) {
        return serveSilently(stopSignals);
    }

    httplib::Server cloud;
    httplib::Server relay;
    serveCloud(cloud);
    serveRelay(relay);
    logUnknown("cloud", cloud);
    logUnknown("relay", relay);
    const int cloudPort = cloud.bind_to_any_port("127.0.0.1");
    const int relayPort = relay.bind_to_any_port("127.0.0.1");
    if (cloudPort <= 0 || relayPort <= 0) {
        std::fputs("stub-servers: cannot listen on 127.0.0.1\n", stderr);
        return 1;
    }
    std::thread cloudThread([&] { cloud.listen_after_bind(); });
    std::thread relayThread([&] { relay.listen_after_bind(); });
    std::printf("cloud=%d relay=%d\n", cloudPort, relayPort);
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    cloud.stop();
    relay.stop();
    cloudThread.join();
    relayThread.join();
    return 0;
}
