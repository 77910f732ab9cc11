#include "shell/main_window_chat.h"

#include "chat/chat_view_model.h"

namespace vask {

MainWindowChat mainWindowChat(const std::shared_ptr<ChatViewModel>& chat) {
    return {
        .observe =
            [chat](std::function<void()> changed) {
                // A running turn's streamed updates change nothing the window shows.
                return chat->observeOutline(std::move(changed));
            },
        .hasCredentials = [chat] { return chat->hasCredentials.get(); },
        .refreshCredentials = [chat] { chat->refreshCredentials(); },
        .isSending = [chat] { return chat->isSending(); },
        .savedSessions = [chat] { return chat->savedSessions(); },
        .currentSessionID = [chat] { return chat->currentSessionID.get(); },
        .currentTitle = [chat] { return chat->currentTitle(); },
        .transcript = [chat] { return chat->transcript(); },
        .pendingSessionFocus = [chat] { return chat->pendingSessionFocus.get(); },
        .clearPendingSessionFocus = [chat] { chat->pendingSessionFocus.set(std::nullopt); },
        .startNewSession = [chat] { chat->startNewSession(); },
        .switchSession = [chat](const std::string& id) { chat->switchSession(id); },
        .renameSession = [chat](const std::string& id,
                                const std::string& title) { chat->renameSession(id, title); },
        .deleteSession = [chat](const std::string& id) { chat->deleteSession(id); },
        .askInNewSession =
            [chat](const std::string& question) { return chat->askInNewSession(question); },
    };
}

}  // namespace vask
