#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

#include "chat/chat_view_model.h"
#include "platform/manual_executor.h"
#include "platform/user_defaults.h"

namespace vask::bench {

// The seconds `body` took.
template <typename Body>
double secondsOf(Body&& body) {
    const auto start = std::chrono::steady_clock::now();
    std::forward<Body>(body)();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A helper run that hands its callbacks to the benchmark, which streams through them.
struct StreamingRunner final : ChatHelperRunner {
    std::function<void(const RLMHelperRunner::RunCallbacks&)> stream;
    RLMHelperResult runTurn(RLMTurnAttempt::TurnInputs, const RLMTurnRetry::Refresh&,
                            RLMUsageAccumulator&, const RLMHelperRunner::RunCallbacks& callbacks,
                            std::stop_token) const override {
        stream(callbacks);
        RLMHelperResult result;
        result.answer = "done";
        return result;
    }
};

// A chat view model over manual executors whose helper streams what `runner->stream` sends.
struct StreamingChat {
    StreamingChat() {
        ChatViewModel::Dependencies deps{
            .main = main, .worker = worker, .defaults = defaults, .presets = presets};
        deps.shadowDBPath = "/nonexistent/shadow.db";
        deps.supportDirectory = [] { return std::filesystem::path("/nonexistent"); };
        deps.helperRunnerFactory = [runner = runner](PersonaContextHostFactory) { return runner; };
        model = ChatViewModel::make(std::move(deps));
    }
    // Sends a question; its helper streams on this thread.
    void ask() {
        model->inputText.set("why?");
        model->send();
        worker.runUntilIdle();
    }

    ManualExecutor main;
    ManualExecutor worker;
    InMemoryDefaults defaults;
    PresetSelection presets{defaults};
    std::shared_ptr<StreamingRunner> runner = std::make_shared<StreamingRunner>();
    std::shared_ptr<ChatViewModel> model;
};

}  // namespace vask::bench
