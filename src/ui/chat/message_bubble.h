#pragma once

#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "records/chat_message.h"
#include "ui/chat/answer_sources_list.h"

class QLabel;
class QVBoxLayout;

namespace vask::ui {

class BubbleText;
class TokenUsageSummaryView;

// One message of the open session: the question on the right on the accent colour, an answer on
// the left on the panel with its inline Markdown, and under an answer its memory changes, the
// best-effort marker, the sources it cites and its token usage. What the reader opened here is
// the bubble's own and survives new content for the same message.
class MessageBubble : public QWidget {
    Q_OBJECT
  public:
    struct Actions {
        std::function<void(const Uuid& receiptID)> undoAutoSave;
        std::function<void()> openSettings;
        std::function<void(const std::string&)> openURL;
        // Empty where no Messages application answers a source's link.
        std::function<void(const std::string&)> openInMessages;
        std::function<std::int64_t()> now;
    };
    struct LocalState {
        bool sourcesExpanded = false;
        bool autoSavesExpanded = false;
        SourcesListState sources;
    };

    MessageBubble(ChatMessage message, bool showsSources, Actions actions,
                  QWidget* parent = nullptr);

    const ChatMessage& message() const { return message_; }
    // Draws new content of the same message; the local state stays.
    void setMessage(ChatMessage message);
    const LocalState& localState() const { return state_; }

    // A long conversation lays out hundreds of bubbles for every change to one of them: each
    // keeps its height for the last widths asked until its content or its own layout changes.
    int heightForWidth(int width) const override;
    bool hasHeightForWidth() const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void renderText();
    void renderStatus();
    void renderUsage();
    QWidget* makeStatusSection();
    void linkActivated(const QString& url);
    // Forgets the remembered sizes and asks the list for a new layout.
    void contentChanged();
    void forgetSizes();

    ChatMessage message_;
    bool showsSources_;
    Actions actions_;
    LocalState state_;
    QWidget* body_ = nullptr;
    QVBoxLayout* column_ = nullptr;
    BubbleText* text_ = nullptr;
    QLabel* cutNote_ = nullptr;
    QWidget* status_ = nullptr;
    TokenUsageSummaryView* usage_ = nullptr;
    mutable std::array<std::pair<int, int>, 4> cachedHeights_{{{-1, 0}, {-1, 0}, {-1, 0}, {-1, 0}}};
    mutable std::size_t nextCachedHeight_ = 0;
    mutable QSize cachedSizeHint_;
    mutable QSize cachedMinimumSize_;
};

}  // namespace vask::ui
