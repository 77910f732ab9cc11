// One persona-context request over a real loopback socket against a 1,000,000-message shadow
// database: connect, send, read the whole answer. The database is built once and kept in the
// build folder between runs.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "proactive/loopback_persona_context_host.h"
#include "sample-chatdb/sample_chat_db.h"
#include "store/shadow_sync.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"

namespace {

namespace fs = std::filesystem;

struct Fixture {
    fs::path shadow;
    std::string recipient;  // the handle the user wrote to most
    std::string chatId;     // its one-to-one chat
};

const Fixture& fixture() {
    static const Fixture built = [] {
        Fixture f;
        const fs::path folder = fs::path(VASK_BENCH_CACHE_DIR) / "persona-1m";
        f.shadow = folder / "shadow.db";
        if (!fs::exists(folder / "complete")) {
            fs::remove_all(folder);
            fs::create_directories(folder);
            vask::sample::buildSampleChatDB(folder / "chat.db", {1000000, 5000, 1});
            vask::ShadowSync(folder / "chat.db", f.shadow).performSync();
            fs::remove(folder / "chat.db");
            std::ofstream(folder / "complete") << "1\n";
        }
        auto db = vask::SQLiteConnection::open(f.shadow, vask::SQLiteSupport::OpenMode::readOnly);
        vask::SQLiteStatement pick(db.get(),
                                   "SELECT recipient_handle, chat_id FROM messages WHERE "
                                   "is_from_me = 1 AND is_group = 0 AND recipient_handle IS NOT "
                                   "NULL GROUP BY 1, 2 ORDER BY COUNT(*) DESC LIMIT 1");
        if (!pick.step()) {
            throw std::runtime_error("no one-to-one messages in the sample");
        }
        f.recipient = pick.columnText(0);
        f.chatId = pick.columnText(1);
        return f;
    }();
    return built;
}

std::string exchange(std::uint16_t port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    std::string answer;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char chunk[8192];
        for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
            answer.append(chunk, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return answer;
}

void personaRequest(benchmark::State& state, bool withChat) {
    const Fixture& f = fixture();
    vask::LoopbackPersonaContextHost host(f.shadow);
    std::string body = R"({"recipient_handle":")" + f.recipient + "\"";
    if (withChat) {
        body += R"(,"chat_id":")" + f.chatId + "\"";
    }
    body += "}";
    const std::string request =
        "POST /persona-context HTTP/1.1\r\nAuthorization: Bearer " + host.token() +
        "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    std::vector<double> ms;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const auto answer = exchange(host.port(), request);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        if (!answer.starts_with("HTTP/1.1 200 OK")) {
            state.SkipWithError("the endpoint did not answer 200");
            break;
        }
    }
    if (ms.empty()) {
        return;
    }
    std::sort(ms.begin(), ms.end());
    state.counters["p50_ms"] = ms[ms.size() / 2];
    state.counters["p95_ms"] = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
}

void BM_PersonaContextRequest_ExemplarsOnly(benchmark::State& state) {
    personaRequest(state, false);
}
void BM_PersonaContextRequest_WithThread(benchmark::State& state) {
    personaRequest(state, true);
}

BENCHMARK(BM_PersonaContextRequest_ExemplarsOnly)->Unit(benchmark::kMillisecond)->Iterations(200);
BENCHMARK(BM_PersonaContextRequest_WithThread)->Unit(benchmark::kMillisecond)->Iterations(200);

}  // namespace
