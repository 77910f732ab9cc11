#include "ui/chat/chat_composer_text_view.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTextBlock>

#include "chat/chat_presenters.h"

namespace vask::ui {

ChatComposerTextView::ChatComposerTextView(Callbacks callbacks, QWidget* parent)
    : QPlainTextEdit(parent), callbacks_(std::move(callbacks)) {
    setFrameShape(QFrame::NoFrame);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTabChangesFocus(true);
    document()->setDocumentMargin(0);
    viewport()->setAutoFillBackground(false);
    setAutoFillBackground(false);
    setStyleSheet("QPlainTextEdit { background: transparent; }");
    setObjectName("chatComposer");
    setAccessibleName("Message");
    connect(this, &QPlainTextEdit::textChanged, this, [this] {
        if (!settingText_ && callbacks_.textChanged) {
            callbacks_.textChanged(text());
        }
        updateHeight();
    });
    updateHeight();
}

int ChatComposerTextView::minimumHeight() {
    static const int height = QFontInfo(QApplication::font()).pixelSize() + 3;
    return height;
}

void ChatComposerTextView::setText(const std::string& text) {
    if (text == this->text()) {
        return;
    }
    settingText_ = true;
    setPlainText(QString::fromStdString(text));
    settingText_ = false;
    moveCursor(QTextCursor::End);
    updateHeight();
}

std::string ChatComposerTextView::text() const {
    return toPlainText().toStdString();
}

int ChatComposerTextView::lineHeight() const {
    return fontMetrics().lineSpacing();
}

bool ChatComposerTextView::showsScroller() const {
    return verticalScrollBarPolicy() != Qt::ScrollBarAlwaysOff;
}

void ChatComposerTextView::keyPressEvent(QKeyEvent* event) {
    const bool isReturn = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (!isReturn || composing_) {
        QPlainTextEdit::keyPressEvent(event);
        return;
    }
    if (event->modifiers().testFlag(Qt::ShiftModifier)) {
        insertPlainText("\n");
    } else if (callbacks_.submit) {
        callbacks_.submit();
    }
    event->accept();
}

void ChatComposerTextView::inputMethodEvent(QInputMethodEvent* event) {
    composing_ = !event->preeditString().isEmpty();
    QPlainTextEdit::inputMethodEvent(event);
}

void ChatComposerTextView::focusInEvent(QFocusEvent* event) {
    QPlainTextEdit::focusInEvent(event);
    if (callbacks_.focusChanged) {
        callbacks_.focusChanged(true);
    }
}

void ChatComposerTextView::focusOutEvent(QFocusEvent* event) {
    QPlainTextEdit::focusOutEvent(event);
    if (callbacks_.focusChanged) {
        callbacks_.focusChanged(false);
    }
}

void ChatComposerTextView::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    updateHeight();
}

void ChatComposerTextView::updateHeight() {
    // Each block's bounding rectangle lays it out at the current width, wrapped lines included.
    double content = 0;
    auto* layout = document()->documentLayout();
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        content += layout->blockBoundingRect(block).height();
    }
    const double line = lineHeight();
    const auto box = chat_presentation::composerHeight(content, line);
    setVerticalScrollBarPolicy(box.showsScroller ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
    if (chat_presentation::composerHeightChanged(boxHeight_, box.height) ||
        height() != static_cast<int>(box.height)) {
        boxHeight_ = static_cast<int>(box.height);
        setFixedHeight(boxHeight_);
    }
}

}  // namespace vask::ui
