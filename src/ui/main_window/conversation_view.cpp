#include "ui/main_window/conversation_view.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include "ui/settings/form_parts.h"

namespace vask::ui {

ConversationView::ConversationView(MainWindowChat& chat, QWidget* parent)
    : QWidget(parent), chat_(chat) {
    setObjectName("conversation");
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto* scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    auto* page = new QWidget;
    messages_ = new QVBoxLayout(page);
    messages_->setContentsMargins(Theme::padding * 2, Theme::padding, Theme::padding * 2,
                                  Theme::padding);
    messages_->setSpacing(Theme::spacing);
    scroll->setWidget(page);
    column->addWidget(scroll, 1);

    auto* composer = new QHBoxLayout;
    composer->setContentsMargins(Theme::padding, Theme::spacing, Theme::padding, Theme::padding);
    input_ = new QLineEdit;
    input_->setObjectName("chat-input");
    input_->setAccessibleName("Ask Vask");
    input_->setPlaceholderText("Ask about your messages\u2026");
    {
        QPalette palette = input_->palette();
        palette.setColor(QPalette::PlaceholderText, Theme::secondaryText());
        input_->setPalette(palette);
    }
    connect(input_, &QLineEdit::returnPressed, this, &ConversationView::ask);
    composer->addWidget(input_, 1);
    send_ = new QPushButton("Send");
    send_->setObjectName("chat-send");
    send_->setAccessibleName("Send");
    connect(send_, &QPushButton::clicked, this, &ConversationView::ask);
    composer->addWidget(send_);
    column->addLayout(composer);

    subscription_ = chat_.observe([this] { render(); });
    render();
}

void ConversationView::render() {
    clearLayout(messages_);
    const auto colours = Theme::palette();
    for (const auto& message : chat_.transcript()) {
        const bool mine = message.role == ChatRole::user;
        auto* bubble = styledText(qs(message.text), FontRole::body,
                                  mine ? colours.onAccent : colours.ink, true);
        bubble->setTextInteractionFlags(Qt::TextSelectableByMouse);
        bubble->setStyleSheet(QString("background: %1; border-radius: %2px; padding: 8px 12px;")
                                  .arg((mine ? colours.accent : colours.panel).name())
                                  .arg(Theme::cornerRadius));
        constexpr int widest = 520;
        const int natural = bubble->fontMetrics().horizontalAdvance(qs(message.text)) + 32;
        bubble->setMinimumWidth(std::min(natural, widest));
        bubble->setMaximumWidth(widest);
        auto* line = new QHBoxLayout;
        if (mine) {
            line->addStretch();
        }
        line->addWidget(bubble);
        if (!mine) {
            line->addStretch();
        }
        messages_->addLayout(line);
    }
    messages_->addStretch();
    const bool sending = chat_.isSending();
    send_->setEnabled(!sending);
    settleLayouts(messages_->parentWidget());
}

void ConversationView::ask() {
    const QString text = input_->text().trimmed();
    if (text.isEmpty() || chat_.isSending()) {
        return;
    }
    chat_.setInputText(text.toStdString());
    chat_.send();
    input_->clear();
}

}  // namespace vask::ui
