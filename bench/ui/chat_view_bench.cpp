// The chat view's cost of taking one more answer into a long conversation: the diff of the
// message list, the new bubble and the layout pass that follows, offscreen.
#include <QApplication>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "chat/chat_samples.h"
#include "chat/chat_view_model.h"
#include "platform/manual_executor.h"
#include "platform/user_defaults.h"
#include "support/streaming_chat.h"
#include "ui/chat/chat_view.h"
#include "ui/chat/message_bubble.h"
#include "ui/theme.h"

namespace {

using namespace vask;

constexpr std::int64_t now = 1'800'000'000;

QApplication& application() {
    static int argc = 1;
    static char name[] = "bench_ui";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Left to the process's end: the benchmark library's own exit runs after main's statics.
    static QApplication& app = *new QApplication(argc, argv);
    static const bool themed = [] {
        ui::Theme::initResources();
        ui::Theme::apply(*qApp, ui::Appearance::light);
        return true;
    }();
    (void)themed;
    return app;
}

struct NoOpener final : UrlOpener {
    bool open(const std::string&) override { return false; }
};

void appendAnswer(benchmark::State& state, bool layOut) {
    application();
    ManualExecutor main;
    ManualExecutor worker;
    InMemoryDefaults defaults;
    PresetSelection presets{defaults};
    auto model = ChatViewModel::make(
        {.main = main, .worker = worker, .defaults = defaults, .presets = presets});
    NoOpener opener;
    const auto exchanges = static_cast<int>(state.range(0)) / 2;
    const ChatSession base = chat_samples::session(exchanges, now);
    chat_samples::show(*model, base);
    ui::ChatView view(
        model,
        {.isReady = true, .showsSources = true, .urlOpener = &opener, .now = [] { return now; }});
    view.resize(700, 800);
    view.show();
    QApplication::processEvents();

    ChatSession longer = base;
    longer.messages.push_back(chat_samples::answer(
        "Another **answer** with `code` and [a link](https://example.com).", 2, 1, now));
    const auto longerSession = std::make_shared<const ChatSession>(longer);
    const auto baseSession = std::make_shared<const ChatSession>(base);
    for (auto _ : state) {
        // The model publishes the session with the answer, as a commit does; the view diffs,
        // builds one bubble and lays the list out again.
        model->sessions.set({longerSession});
        if (layOut) {
            QApplication::processEvents();
        }
        state.PauseTiming();
        model->sessions.set({baseSession});
        QApplication::processEvents();
        state.ResumeTiming();
    }
    state.counters["messages"] = static_cast<double>(base.messages.size());
}
// The whole append as the user sees it: the view's update and the layout and paint after it.
void BM_AppendAnswerToLongConversation(benchmark::State& state) {
    appendAnswer(state, true);
}
// The view's own update alone: the message list's diff and the new bubble.
void BM_AppendAnswerDiffOnly(benchmark::State& state) {
    appendAnswer(state, false);
}
// The main thread's time for `range(0)` reasoning pieces of 256 bytes through the model and the
// offscreen chat view, with a conversation of 20 answers on screen. Each piece is taken by the
// main executor, drawn (the frame is ended at once, so every piece is drawn: the worst case)
// and laid out and painted before the next arrives. `max_event_ms` is the longest piece.
void BM_ReasoningDeltasThroughTheView(benchmark::State& state) {
    application();
    const auto pieces = static_cast<int>(state.range(0));
    const std::string piece = std::string(255, 'r') + "\n";
    double longest = 0;
    double total = 0;
    for (auto _ : state) {
        bench::StreamingChat chat;
        auto& model = chat.model;
        chat_samples::show(*model, chat_samples::session(20, now));
        NoOpener opener;
        ui::ChatView view(model,
                          {.isReady = true, .showsSources = true, .urlOpener = &opener, .now = [] {
                               return now;
                           }});
        view.resize(700, 800);
        view.show();
        QApplication::processEvents();
        double mainSeconds = 0;
        double lastThousand = 0;
        const auto drain = [&](bool last) {
            const double seconds = bench::secondsOf([&] {
                chat.main.runUntilIdle();
                view.flushFrame();
                QApplication::processEvents();
            });
            mainSeconds += seconds;
            lastThousand += last ? seconds : 0;
            longest = std::max(longest, seconds);
        };
        chat.runner->stream = [&](const RLMHelperRunner::RunCallbacks& callbacks) {
            for (int i = 0; i < pieces; ++i) {
                callbacks.onReasoning(piece);
                drain(i >= pieces - 1000);
            }
        };
        chat.ask();
        state.SetIterationTime(mainSeconds);
        total += mainSeconds;
        state.counters["last_1000_us_per_piece"] = lastThousand * 1e6 / 1000;
        chat.main.runUntilIdle();
    }
    state.counters["us_per_piece"] =
        total * 1e6 / static_cast<double>(pieces) / static_cast<double>(state.iterations());
    state.counters["max_event_ms"] = longest * 1000;
}
BENCHMARK(BM_ReasoningDeltasThroughTheView)
    ->Arg(2000)
    ->Arg(8000)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// One answer of `range(0)` characters of ordinary Markdown shown in a new bubble and laid out:
// what the bound on a bubble's text keeps in check.
void BM_ShowLongAnswer(benchmark::State& state) {
    application();
    std::string text;
    while (text.size() < static_cast<std::size_t>(state.range(0))) {
        text += "Dinner with **Ana** is at `7pm` on Saturday, see [the thread](https://x.org). ";
    }
    const auto answer = chat_samples::answer(text, 0, 0, now);
    for (auto _ : state) {
        ui::MessageBubble bubble(answer, true, {});
        bubble.resize(700, bubble.heightForWidth(700));
        bubble.show();
        QApplication::processEvents();
    }
}
BENCHMARK(BM_ShowLongAnswer)
    ->Arg(3000)
    ->Arg(10'000)
    ->Arg(30'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);

BENCHMARK(BM_AppendAnswerDiffOnly)->Arg(500)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AppendAnswerToLongConversation)->Arg(10)->Arg(500)->Unit(benchmark::kMillisecond);

}  // namespace
