#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/published.h"
#include "platform/text.h"
#include "platform/uuid.h"
#include "records/sqlite_session_store.h"
#include "shell/main_window_chat.h"

namespace vask::testing {

// The main window's chat as the window sees it, keeping its sessions in a sessions.db the way
// the chat view model does: every change saves the whole list.
class ChatStandIn {
  public:
    explicit ChatStandIn(std::filesystem::path databaseURL) : store_(std::move(databaseURL)) {
        for (auto& session : store_.loadSessions()) {
            sessions_.push_back(std::move(session));
        }
        startNewSession();
    }

    // Dated minutesAgo before `now`: a test that shows ages against a clock of its own hands
    // that clock's time in, so that a second passing meanwhile cannot change an age.
    static ChatSession session(
        const std::string& id, const std::string& title, std::vector<std::string> texts,
        int minutesAgo,
        std::chrono::system_clock::time_point now = std::chrono::system_clock::now()) {
        ChatSession session;
        session.id = id;
        session.title = title;
        session.lastMessageAt = now - std::chrono::minutes(minutesAgo);
        session.createdAt = session.lastMessageAt;
        for (auto& text : texts) {
            ChatMessage message;
            message.id = Uuid::random();
            message.role = session.messages.size() % 2 == 0 ? ChatRole::user : ChatRole::assistant;
            message.text = std::move(text);
            message.timestamp = session.lastMessageAt;
            session.messages.push_back(std::move(message));
        }
        session.messageCount = static_cast<std::int64_t>(session.messages.size());
        return session;
    }

    void add(ChatSession session) {
        sessions_.push_back(std::move(session));
        save();
    }
    // The receiving end of a hand-off from the popover.
    void adopt(ChatSession session) {
        std::erase_if(sessions_, [&](const ChatSession& s) { return s.id == session.id; });
        current_ = session.id;
        pendingFocus_ = session.id;
        sessions_.push_back(std::move(session));
        save();
    }
    std::vector<std::string> storedIDs() {
        std::vector<std::string> ids;
        for (const auto& session : SQLiteSessionStore(store_.databaseURL()).loadSessions()) {
            ids.push_back(session.id);
        }
        std::sort(ids.begin(), ids.end());
        return ids;
    }
    std::optional<ChatSession> stored(const std::string& id) {
        for (auto& session : SQLiteSessionStore(store_.databaseURL()).loadSessions()) {
            if (session.id == id) {
                return session;
            }
        }
        return std::nullopt;
    }

    bool hasCredentials = true;
    bool sending = false;
    std::string inputText;
    std::vector<std::string> sent;
    std::vector<std::string> switches;
    int credentialRefreshes = 0;

    MainWindowChat chat{
        .observe =
            [this](std::function<void()> f) {
                return changes_.subscribe([f](const int&) { f(); }, Delivery::changesOnly);
            },
        .hasCredentials = [this] { return hasCredentials; },
        .refreshCredentials = [this] { ++credentialRefreshes; },
        .isSending = [this] { return sending; },
        .savedSessions =
            [this] {
                MainWindowChat::SessionList saved;
                for (const auto& s : sessions_) {
                    if (!s.messages.empty()) {
                        saved.push_back(std::make_shared<const ChatSession>(s));
                    }
                }
                std::stable_sort(saved.begin(), saved.end(), [](const auto& a, const auto& b) {
                    return a->lastMessageAt > b->lastMessageAt;
                });
                return saved;
            },
        .currentSessionID = [this] { return current_; },
        .currentTitle = [this] { return find(current_) ? find(current_)->title : ""; },
        .transcript =
            [this] {
                return find(current_) ? find(current_)->messages : std::vector<ChatMessage>{};
            },
        .pendingSessionFocus = [this] { return pendingFocus_; },
        .clearPendingSessionFocus = [this] { pendingFocus_.reset(); },
        .startNewSession = [this] { startNewSession(); },
        .switchSession =
            [this](const std::string& id) {
                switches.push_back(id);
                if (id != current_ && find(id)) {
                    current_ = id;
                    changed();
                }
            },
        .renameSession =
            [this](const std::string& id, const std::string& title) {
                const std::string trimmedTitle(text::trimmed(title));
                if (auto* s = find(id); s && !trimmedTitle.empty()) {
                    s->title = trimmedTitle;
                    s->titleIsUserSet = true;
                    save();
                }
            },
        .deleteSession =
            [this](const std::string& id) {
                std::erase_if(sessions_, [&](const ChatSession& s) { return s.id == id; });
                if (current_ == id) {
                    startNewSession();
                }
                save();
            },
        .askInNewSession =
            [this](const std::string& question) {
                if (sending) {
                    return false;
                }
                // Typed in an unasked chat, the text stays there: the question gets its own.
                if (auto* s = find(current_); s && s->messages.empty() && !inputText.empty()) {
                    typedIn[current_] = std::exchange(inputText, "");
                    ChatSession fresh;
                    fresh.id = Uuid::random().lowercaseString();
                    fresh.title = "New Chat";
                    sessions_.push_back(fresh);
                    current_ = fresh.id;
                } else {
                    startNewSession();
                }
                sent.push_back(question);
                sending = true;
                changed();
                return true;
            },
    };
    // What was typed and not sent in chats no longer shown, by session id.
    std::map<std::string, std::string> typedIn;

  private:
    ChatSession* find(const std::string& id) {
        auto it = std::find_if(sessions_.begin(), sessions_.end(),
                               [&](const ChatSession& s) { return s.id == id; });
        return it == sessions_.end() ? nullptr : &*it;
    }
    void startNewSession() {
        if (auto* s = find(current_); s && s->messages.empty()) {
            return;
        }
        ChatSession fresh;
        fresh.id = Uuid::random().lowercaseString();
        fresh.title = "New Chat";
        sessions_.push_back(fresh);
        current_ = fresh.id;
        changed();
    }
    void save() {
        std::vector<ChatSession> kept;
        for (const auto& s : sessions_) {
            if (!s.messages.empty()) {
                kept.push_back(s);
            }
        }
        store_.saveSessions(kept);
        changed();
    }
    void changed() { changes_.set(changes_.get() + 1); }

    SQLiteSessionStore store_;
    std::vector<ChatSession> sessions_;
    std::string current_;
    std::optional<std::string> pendingFocus_;
    Published<int> changes_{0};
};

}  // namespace vask::testing
