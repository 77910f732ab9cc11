// The chat view's cost of taking one more answer into a long conversation: the diff of the
// message list, the new bubble and the layout pass that follows, offscreen.
#include <QApplication>

#include <benchmark/benchmark.h>

#include "chat/chat_samples.h"
#include "chat/chat_view_model.h"
#include "platform/manual_executor.h"
#include "platform/user_defaults.h"
#include "ui/chat/chat_view.h"
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
    auto model = ChatViewModel::make({.main = main, .worker = worker, .defaults = defaults});
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
BENCHMARK(BM_AppendAnswerDiffOnly)->Arg(500)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AppendAnswerToLongConversation)->Arg(10)->Arg(500)->Unit(benchmark::kMillisecond);

}  // namespace
