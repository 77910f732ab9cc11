#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "chat/chat_view_model.h"
#include "platform/manual_executor.h"
#include "platform/user_defaults.h"
#include "support/fake_chat_helper_runner.h"
#include "support/fake_chat_memory_committer.h"
#include "support/fake_clock.h"
#include "support/fake_session_store.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask::test {

inline ChatMessage message(ChatRole role, std::string text) {
    ChatMessage m;
    m.id = Uuid::random();
    m.role = role;
    m.text = std::move(text);
    return m;
}

inline ChatSession storedSession(std::string title, Clock::WallTime lastMessageAt,
                                 int exchanges = 1) {
    ChatSession s;
    s.id = Uuid::random().uppercaseString();
    s.title = std::move(title);
    s.createdAt = lastMessageAt;
    s.lastMessageAt = lastMessageAt;
    for (int i = 0; i < exchanges; ++i) {
        s.messages.push_back(message(ChatRole::user, "question " + std::to_string(i)));
        s.messages.push_back(message(ChatRole::assistant, "answer " + std::to_string(i)));
    }
    s.messageCount = static_cast<std::int64_t>(s.messages.size());
    return s;
}

// A chat view model over fakes, with the main executor and the worker both drained by the test,
// so every hop between them happens exactly where the test lets it.
class ChatFixture : public ::testing::Test {
  protected:
    ChatViewModel::Dependencies dependencies(bool persists = true) {
        ChatViewModel::Dependencies deps{.main = main,
                                         .worker = worker,
                                         .defaults = defaults,
                                         .presets = presets,
                                         .clock = clock,
                                         .usageChanged = [this] { ++usageChanges; }};
        deps.shadowDBPath = "/nonexistent/shadow.db";
        deps.memoryPrincipalProvider = [] { return MemoryPrincipal::make("local"); };
        deps.memoryCommitter = memory;
        deps.authModeProvider = [this] { return authMode; };
        deps.sessionStore = persists ? store : nullptr;
        deps.accountURL = "https://cloud.example/account";
        deps.persistsSessions = persists;
        deps.supportDirectory = [] { return std::filesystem::path("/support"); };
        deps.helperRunnerFactory = [this](PersonaContextHostFactory) { return runner; };
        deps.tierSnapshotRefreshed = std::make_shared<bool>(false);
        return deps;
    }

    // A model whose saved chats, if any, have been read.
    std::shared_ptr<ChatViewModel> makeModel(bool persists = true) {
        return loaded(ChatViewModel::make(dependencies(persists)));
    }

    std::shared_ptr<ChatViewModel> loaded(std::shared_ptr<ChatViewModel> model) {
        if (model->loadingSessions.get()) {
            settle();
        }
        return model;
    }

    // Commits one answered question into `sessionID` (the current session when empty).
    ChatMessage commit(ChatViewModel& model, const std::string& question,
                       std::string sessionID = {}) {
        if (sessionID.empty()) {
            sessionID = model.currentSessionID.get();
        }
        ChatMessage q = message(ChatRole::user, question);
        model.commitTurn(q, Uuid::random(), "answer to " + question, false, std::nullopt, {},
                         std::nullopt, sessionID);
        return q;
    }

    // Makes the store's file exist, holding `stored`, so that the model reads it.
    void withStoredSessions(std::vector<ChatSession> stored) {
        std::ofstream(storeFolder / "sessions.db") << "";
        store = std::make_shared<FakeSessionStore>(storeFolder / "sessions.db");
        store->setStored(std::move(stored));
    }

    // Drains both executors until neither has work left.
    void settle() {
        while (worker.runUntilIdle() + main.runUntilIdle() > 0) {
        }
    }

    // Sends `text` and lets the turn run to its end.
    void ask(ChatViewModel& model, const std::string& text) {
        model.inputText.set(text);
        model.send();
        settle();
    }

    std::vector<std::string> sessionIDs(const ChatViewModel& model) const {
        std::vector<std::string> ids;
        for (const auto& s : model.sessions.get()) {
            ids.push_back(s->id);
        }
        return ids;
    }

    const ChatSession& sessionWithID(const ChatViewModel& model, const std::string& id) const {
        for (const auto& s : model.sessions.get()) {
            if (s->id == id) {
                return *s;
            }
        }
        throw std::runtime_error("no session " + id);
    }

    LogCapture logs;
    TempDir storeFolder;
    ManualExecutor main;
    ManualExecutor worker;
    FakeClock clock;
    InMemoryDefaults defaults;
    PresetSelection presets{defaults};
    // How often the models told that the account's usage may have changed.
    int usageChanges = 0;
    AuthMode authMode = AuthMode::managed("customer-token", "access-token");
    std::shared_ptr<FakeSessionStore> store = std::make_shared<FakeSessionStore>();
    std::shared_ptr<FakeChatMemoryCommitter> memory = std::make_shared<FakeChatMemoryCommitter>();
    std::shared_ptr<FakeChatHelperRunner> runner = std::make_shared<FakeChatHelperRunner>();
};

}  // namespace vask::test
