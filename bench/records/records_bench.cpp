#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/crypto.h"
#include "records/sqlite_session_store.h"

namespace vask {
namespace {

namespace fs = std::filesystem;

constexpr int messagesPerSession = 50;

ChatMessage benchMessage(int session, int index) {
    ChatMessage message;
    message.id = Uuid::random();
    message.role = index % 2 == 0 ? ChatRole::user : ChatRole::assistant;
    message.text = "Message " + std::to_string(index) + " of session " + std::to_string(session) +
                   ": when is dinner with Ana and Ben on Saturday?";
    message.timestamp = std::chrono::system_clock::now();
    if (message.role == ChatRole::assistant) {
        ConversationSource conversation;
        conversation.id = "conversation:chat-" + std::to_string(index);
        conversation.chatId = "chat-" + std::to_string(index);
        conversation.title = "Ana & Ben";
        conversation.isGroup = true;
        for (int quoted = 0; quoted < 3; ++quoted) {
            conversation.messages.push_back({"guid-" + std::to_string(quoted), "Ana",
                                             "Dinner at 7 on Saturday?", 1'700'000'000});
        }
        conversation.messagesTarget = MessagesTarget{"+15551234567"};
        QueryEvidenceSource query{
            "q1", "Messages from Ana", "messages.search", QueryEvidencePreview::rows(3), 3, false};
        message.sources = std::vector<AnswerSource>{{conversation}, {query}};
        message.sourcesTruncated = false;
        message.extracted = false;
    }
    return message;
}

std::vector<ChatSession> benchSessions(int count) {
    std::vector<ChatSession> sessions;
    for (int s = 0; s < count; ++s) {
        ChatSession session;
        session.id = randomUUID();
        session.createdAt = std::chrono::system_clock::now();
        session.lastMessageAt = session.createdAt;
        session.title = "Session " + std::to_string(s);
        session.messageCount = messagesPerSession;
        for (int m = 0; m < messagesPerSession; ++m) {
            session.messages.push_back(benchMessage(s, m));
        }
        sessions.push_back(std::move(session));
    }
    return sessions;
}

struct Fixture {
    fs::path folder;
    std::vector<ChatSession> sessions;

    explicit Fixture(int count)
        : folder(fs::temp_directory_path() / ("vask-records-bench-" + randomUUID())),
          sessions(benchSessions(count)) {
        SQLiteSessionStore(path()).saveSessions(sessions);
    }
    ~Fixture() { fs::remove_all(folder); }
    Fixture(const Fixture&) = delete;
    Fixture& operator=(const Fixture&) = delete;

    fs::path path() const { return folder / "sessions.db"; }
};

void BM_SaveUnchanged(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    SQLiteSessionStore store(fixture.path());
    for (auto _ : state) {
        store.saveSessions(fixture.sessions);
    }
}

void BM_SaveOneMessageChanged(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    SQLiteSessionStore store(fixture.path());
    int round = 0;
    for (auto _ : state) {
        fixture.sessions[0].messages[10].text = "edited " + std::to_string(++round);
        store.saveSessions(fixture.sessions);
    }
}

void BM_Load(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    SQLiteSessionStore store(fixture.path());
    for (auto _ : state) {
        benchmark::DoNotOptimize(store.loadSessions());
    }
}

BENCHMARK(BM_SaveUnchanged)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveOneMessageChanged)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Load)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vask
