// The sidebar's search over a long history: indexing the saved sessions once per change of the
// list, then one filter per keystroke as the user types.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "shell/session_sidebar_model.h"

namespace {

using namespace vask;

MainWindowChat::SessionList sampleSessions(int count) {
    static const char* words[] = {"dinner",  "Lisbon", "cabin",   "birthday", "Maya",  "Tom",
                                  "flight",  "rent",   "dentist", "Ölçek",    "café",  "weekend",
                                  "invoice", "school", "pickup",  "gift",     "plans", "trip"};
    std::mt19937 random(7);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(words) - 1);
    MainWindowChat::SessionList sessions;
    for (int i = 0; i < count; ++i) {
        ChatSession session;
        session.id = "session-" + std::to_string(i);
        session.title =
            std::string(words[pick(random)]) + " " + words[pick(random)] + " " + std::to_string(i);
        for (int m = 0; m < 4; ++m) {
            ChatMessage message;
            for (int w = 0; w < 40; ++w) {
                message.text += std::string(words[pick(random)]) + (w % 9 == 8 ? "\n" : " ");
            }
            session.messages.push_back(std::move(message));
        }
        sessions.push_back(std::make_shared<const ChatSession>(std::move(session)));
    }
    return sessions;
}

void BM_IndexSessions(benchmark::State& state) {
    const auto sessions = sampleSessions(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        SessionFilter filter(sessions);
        benchmark::DoNotOptimize(filter.rows().data());
    }
}
BENCHMARK(BM_IndexSessions)->Arg(1000)->Unit(benchmark::kMicrosecond);

// Every prefix of a query, as typed one character at a time; the figure is per keystroke.
void BM_FilterPerKeystroke(benchmark::State& state) {
    const SessionFilter filter(sampleSessions(static_cast<int>(state.range(0))));
    const std::string query = "Birthday Maya";
    std::size_t shown = 0;
    for (auto _ : state) {
        for (std::size_t length = 1; length <= query.size(); ++length) {
            shown += filter.filter(std::string_view(query).substr(0, length)).size();
        }
    }
    benchmark::DoNotOptimize(shown);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(query.size()));
}
BENCHMARK(BM_FilterPerKeystroke)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
