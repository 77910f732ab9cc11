#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "chat/chat_view_model.h"
#include "platform/manual_executor.h"
#include "platform/user_defaults.h"
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
        conversation.title = "Ana & Ben";
        for (int quoted = 0; quoted < 3; ++quoted) {
            conversation.messages.push_back({"guid-" + std::to_string(quoted), "Ana",
                                             "Dinner at 7 on Saturday?", 1'700'000'000});
        }
        message.sources = std::vector<AnswerSource>{{conversation}};
    }
    return message;
}

std::vector<ChatSession> benchSessions(int count) {
    std::vector<ChatSession> sessions;
    for (int s = 0; s < count; ++s) {
        ChatSession session;
        session.id = Uuid::random().uppercaseString();
        session.createdAt = std::chrono::system_clock::now() - std::chrono::hours(s + 1);
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
    fs::path folder =
        fs::temp_directory_path() / ("vask-chat-bench-" + Uuid::random().lowercaseString());
    std::vector<ChatSession> sessions;

    explicit Fixture(int count) : sessions(benchSessions(count)) {
        fs::create_directories(folder);
        SQLiteSessionStore(path()).saveSessions(sessions);
    }
    ~Fixture() { fs::remove_all(folder); }
    Fixture(const Fixture&) = delete;
    Fixture& operator=(const Fixture&) = delete;

    fs::path path() const { return folder / "sessions.db"; }
};

// Time the main executor spends committing one answer while the whole history is saved in the
// background.
void BM_CommitOnMainExecutor(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    ManualExecutor main;
    ManualExecutor worker;
    InMemoryDefaults defaults;
    ChatViewModel::Dependencies deps{.main = main, .worker = worker, .defaults = defaults};
    deps.shadowDBPath = (fixture.folder / "shadow.db").string();
    deps.sessionStore = std::make_shared<SQLiteSessionStore>(fixture.path());
    deps.persistsSessions = true;
    auto model = ChatViewModel::make(std::move(deps));
    const std::string session = model->currentSessionID.get();
    for (auto _ : state) {
        ChatMessage question = benchMessage(0, 0);
        model->commitTurn(question, Uuid::random(), "The dinner is at 7 on Saturday.", false,
                          std::nullopt, {}, std::nullopt, session);
    }
    model->flushPendingSaves();
}

// The background save of the whole history that a commit asks for.
void BM_BackgroundSave(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    SessionSaveQueue queue(std::make_shared<SQLiteSessionStore>(fixture.path()),
                           StructuredLogger("chat"));
    ChatViewModel::SessionList list;
    for (const auto& session : fixture.sessions) {
        list.push_back(std::make_shared<const ChatSession>(session));
    }
    int round = 0;
    for (auto _ : state) {
        auto changed = std::make_shared<ChatSession>(*list[0]);
        changed->messages.push_back(benchMessage(0, ++round));
        list[0] = changed;
        queue.save(list);
        queue.flush();
    }
}

BENCHMARK(BM_CommitOnMainExecutor)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BackgroundSave)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vask
