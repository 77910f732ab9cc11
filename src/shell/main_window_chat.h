#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/subscription.h"
#include "records/chat_session.h"

namespace vask {

class ChatViewModel;

// What the main window and its sidebar use of the window's chat view model. Main executor.
struct MainWindowChat {
    using SessionList = std::vector<std::shared_ptr<const ChatSession>>;

    // Calls back after any published change of the chat (sessions, current session, state,
    // credentials, pending focus).
    std::function<Subscription(std::function<void()>)> observe;

    std::function<bool()> hasCredentials;
    std::function<void()> refreshCredentials;
    std::function<bool()> isSending;
    // Sessions with at least one message, newest last message first.
    std::function<SessionList()> savedSessions;
    std::function<std::string()> currentSessionID;
    std::function<std::string()> currentTitle;
    // The messages of the current session as the chat shows them.
    std::function<std::vector<ChatMessage>()> transcript;
    std::function<std::optional<std::string>()> pendingSessionFocus;
    std::function<void()> clearPendingSessionFocus;

    std::function<void()> startNewSession;
    std::function<void(const std::string& id)> switchSession;
    std::function<void(const std::string& id, const std::string& title)> renameSession;
    std::function<void(const std::string& id)> deleteSession;
    // Asks a question in a chat of its own, which is shown: what the user typed and did not
    // send stays with the chat it was typed in. False when it cannot be asked now.
    std::function<bool(const std::string& question)> askInNewSession;
};

// The window's view of a chat view model; the model is kept alive by it.
MainWindowChat mainWindowChat(const std::shared_ptr<ChatViewModel>& chat);

}  // namespace vask
