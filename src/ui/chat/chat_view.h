#pragma once

#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chat/chat_transient_line.h"
#include "chat/chat_view_model.h"
#include "platform/freed_memory.h"
#include "platform/subscription.h"
#include "platform/url_opener.h"
#include "records/conversation_source.h"

class QLabel;
class QPropertyAnimation;
class QTimer;
class QPushButton;
class QScrollArea;
class QToolButton;
class QVBoxLayout;

namespace vask::ui {

class ChatComposerTextView;
class MessageBubble;
class ThinkingView;
class TokenUsageSummaryView;

// The conversation screen over one chat view model: the messages with the empty state, under
// each question that got no answer its error row or usage-limit card, the reasoning and progress
// row while a question runs, and the composer with its send button. Everything shown follows the
// model's published state; every action calls the model.
//
// Hosts build it with the model and these options, for example the main window:
//     new ui::ChatView(deps.chatViewModel(),
//                      {.isReady = true, .showsSources = true, .openSettings = openSettings});
// and the popover:
//     new ui::ChatView(deps.popoverChatViewModel(),
//                      {.isReady = synced, .showsSources = false, .focusesInputOnAppear = true});
class ChatView : public QWidget {
    Q_OBJECT
  public:
    struct Options {
        // False blocks sending (the host is not set up yet); change it with setReady(). Sending
        // also waits while the model reads its saved chats.
        bool isReady = true;
        // Shows the "New Chat" button beside the composer.
        bool showsSessionControls = false;
        // False hides every citation of the answers.
        bool showsSources = true;
        // Puts the keyboard focus in the composer when the view is shown.
        bool focusesInputOnAppear = false;
        // False: while hidden the view holds no message bubbles (they are built again when it is
        // shown), so a chat that grows while no one looks at it costs only its messages.
        bool keepsMessagesWhileHidden = true;
        // Opens the settings window on the memory manager (an answer's "View in Settings");
        // may be empty.
        std::function<void()> openSettings{};
        // Opens web links, the account page and Messages; null: the desktop's own. What did
        // not open is said above the composer.
        UrlOpener* urlOpener = nullptr;
        // Whether a Messages application answers a source's link: without one, source cards
        // offer no "Open in Messages".
        bool messagesAppPresent = messagesApplicationPresent;
        // Unix seconds for the ages of quoted messages; empty: the system clock.
        std::function<std::int64_t()> now{};
        // Called once the bubbles the view let go of at once (a chat switched away from, a new
        // chat, a hidden view's) are deleted: the allocator keeps their memory otherwise.
        std::function<void()> releaseMemory = returnFreedMemory;
    };

    ChatView(std::shared_ptr<ChatViewModel> viewModel, Options options, QWidget* parent = nullptr);
    ~ChatView() override;

    void setReady(bool ready);
    bool isReady() const { return options_.isReady; }
    // The least height of the conversation above the composer: a host shorter than the window
    // (the popover on a small screen) lowers it, and the conversation scrolls.
    void setMinimumTranscriptHeight(int height);

    // A running turn's streamed changes (progress, reasoning, live usage) are drawn at most once
    // per frame, however many arrive; other changes are drawn at once.
    static constexpr int frameMs = 16;

    // For tests and benchmarks.
    ChatComposerTextView* composer() const { return composer_; }
    QToolButton* sendButton() const { return send_; }
    std::size_t bubbleCount() const { return bubbles_.size(); }
    MessageBubble* bubble(const Uuid& messageID) const;
    ThinkingView* thinkingView() const { return thinking_; }
    // What did not open, shown above the composer; hidden when all did.
    QLabel* openFailureLabel() const { return openFailureLabel_; }
    // How often the running turn's area was drawn.
    std::size_t turnRenderCount() const { return turnRenders_; }
    // Draws what waits for the next frame now.
    void flushFrame();

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

  private:
    QWidget* makeInputArea();
    QWidget* makeProgressRow();
    void render();
    void stateChanged(const ChatState& state);
    void streamChanged();
    void frameEnded();
    bool ready() const;
    void renderMessages(const std::vector<ChatMessage>& messages);
    void renderTail();
    void renderTurn();
    void renderInput();
    QWidget* makeEmptyState();
    QWidget* makeLoadingState();
    // `action`: the button beside it (the keyring's way on), when there is one.
    QWidget* makeErrorRow(const std::string& error, std::optional<std::string_view> action);
    QWidget* makeUsageLimitCard(AuthType authType, const std::optional<std::string>& tierCode);
    // The error row or the usage-limit card under a question that got no answer, and what it
    // was made from.
    QWidget* makeTurnNote(const ChatState& ended);
    std::string turnNoteKey(const ChatState& ended) const;
    void submit();
    // `what` names the address in a failure ("the account page"); empty: from the address.
    void openURL(const std::string& url, const std::string& what = {});
    // Says what did not open under the chat `sessionID`, until the next address is opened, a
    // question is sent or another chat is shown; empty: nothing.
    void showOpenFailure(const std::string& sessionID, std::string failure);
    void renderOpenFailure();
    // Releases the memory of `gone` (being deleted) once the last of them is.
    void releaseOnceDeleted(const std::vector<QWidget*>& gone);
    void scrollToBottom();
    void followEnd(int max);

    std::shared_ptr<ChatViewModel> viewModel_;
    Options options_;
    std::unique_ptr<UrlOpener> ownOpener_;
    std::vector<Subscription> subscriptions_;

    QScrollArea* scroll_ = nullptr;
    QVBoxLayout* list_ = nullptr;
    std::map<Uuid, MessageBubble*> bubbles_;
    struct TurnNote {
        std::string key;
        QWidget* widget = nullptr;
    };
    // By question id.
    std::map<Uuid, TurnNote> notes_;
    // The bubbles and notes in the list, in order.
    std::vector<QWidget*> shown_;
    QWidget* tail_ = nullptr;
    std::size_t lastCount_ = 0;
    // Whether the list shows its end: then it keeps showing it as the last message grows.
    bool followsEnd_ = false;
    QPointer<QPropertyAnimation> scrollAnimation_;

    QTimer* frame_ = nullptr;
    bool framePending_ = false;
    std::size_t turnRenders_ = 0;
    // The question whose turn the turn area shows, and how much of its reasoning it has taken.
    std::optional<Uuid> turnQuestion_;
    std::size_t reasoningTaken_ = 0;

    QVBoxLayout* turnArea_ = nullptr;
    ThinkingView* thinking_ = nullptr;
    QWidget* thinkingDivider_ = nullptr;
    QWidget* progressRow_ = nullptr;
    QLabel* progressText_ = nullptr;
    QVBoxLayout* progressUsageSlot_ = nullptr;
    TokenUsageSummaryView* liveUsage_ = nullptr;

    ChatTransientLine openFailure_;
    QLabel* openFailureLabel_ = nullptr;
    QPushButton* newChat_ = nullptr;
    QWidget* composerBox_ = nullptr;
    ChatComposerTextView* composer_ = nullptr;
    QToolButton* send_ = nullptr;
};

}  // namespace vask::ui
