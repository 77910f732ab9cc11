#include "ui/chat/thinking_view.h"

#include <QFontDatabase>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/chat/chat_style.h"
#include "ui/symbols.h"

namespace vask::ui {

using namespace chat_style;

namespace {

constexpr int maxTextHeight = 120;
constexpr QChar ellipsis(0x2026);

// The last `count` UTF-16 units of `text`, not starting inside a surrogate pair.
QString tail(const QString& text, int count) {
    if (text.size() <= count) {
        return text;
    }
    qsizetype from = text.size() - count;
    if (text.at(from).isLowSurrogate()) {
        ++from;
    }
    return QString(ellipsis) + text.mid(from);
}

}  // namespace

ThinkingView::ThinkingView(std::string_view text, bool expanded, QWidget* parent)
    : QWidget(parent), expanded_(expanded) {
    setObjectName("thinkingView");
    ensureResources();
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    header_ = new RowButton(6);
    header_->setObjectName("thinkingToggle");
    header_->setAccessibleName("Thinking");
    header_->row()->setContentsMargins(Theme::padding, 6, Theme::padding, 6);
    header_->add(symbolLabel("brain", Tone::tertiary, 14));
    header_->add(
        textLabel("Thinking", textFont(FontRole::caption, QFont::Medium), Tone::secondary));
    chevron_ = new QLabel;
    header_->add(chevron_);
    header_->row()->addStretch();
    connect(header_, &QPushButton::clicked, this, [this] { setExpanded(!expanded_); });
    column->addWidget(header_);

    // A plain text document lays out only the paragraph that changed when text is appended.
    text_ = new QPlainTextEdit;
    text_->setObjectName("thinkingText");
    text_->setReadOnly(true);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    text_->setFrameShape(QFrame::NoFrame);
    text_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    text_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    text_->setFocusPolicy(Qt::NoFocus);
    text_->setUndoRedoEnabled(false);
    text_->viewport()->setAutoFillBackground(false);
    // A style sheet owns the box of the widget it styles: the insets go in it too.
    text_->setStyleSheet(
        QString("QPlainTextEdit { background: transparent; padding: 0 %1px 6px %1px; }")
            .arg(Theme::padding));
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(Theme::font(FontRole::caption).pointSizeF());
    text_->setFont(mono);
    setPaletteColour(text_, QPalette::Text, shade(Tone::secondary));
    text_->document()->setDocumentMargin(0);
    column->addWidget(text_);
    // The newest reasoning is at the bottom: keep it in view as the text grows.
    connect(text_->verticalScrollBar(), &QScrollBar::rangeChanged, this,
            [this](int, int max) { text_->verticalScrollBar()->setValue(max); });

    setText(text);
    setExpanded(expanded);
}

QString ThinkingView::shownText() const {
    return text_->toPlainText();
}

void ThinkingView::setText(std::string_view text) {
    text_->setPlainText(
        tail(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())), keptCharacters));
    fitHeight(true);
}

void ThinkingView::append(std::string_view piece) {
    if (piece.empty()) {
        return;
    }
    const QString added = QString::fromUtf8(piece.data(), static_cast<qsizetype>(piece.size()));
    if (added.size() >= keptCharacters) {
        // Nothing shown so far would stay.
        text_->setPlainText(tail(added, keptCharacters));
    } else {
        QTextCursor end(text_->document());
        end.movePosition(QTextCursor::End);
        end.insertText(added);
        dropOldText();
    }
    fitHeight();
}

void ThinkingView::dropOldText() {
    auto* document = text_->document();
    // The document counts one more than its text (the final paragraph separator).
    const int length = document->characterCount() - 1;
    if (length <= 2 * keptCharacters) {
        return;
    }
    QTextCursor cursor(document);
    int cut = length - keptCharacters;
    if (document->characterAt(cut).isLowSurrogate()) {
        ++cut;
    }
    cursor.setPosition(cut, QTextCursor::KeepAnchor);
    cursor.insertText(QString(ellipsis));
}

void ThinkingView::fitHeight(bool force) {
    // As tall as the text up to the cap: once past the cap the height stays, so no layout of the
    // whole text is needed to know it.
    if (!force && text_->minimumHeight() >= maxTextHeight) {
        return;
    }
    const QFontMetrics metrics(text_->font());
    // The text's width inside the panel's insets and beside the scroll bar.
    const int width = std::max(
        100, this->width() - 2 * Theme::padding - text_->verticalScrollBar()->sizeHint().width());
    const QRect bounds = metrics.boundingRect(QRect(0, 0, width, maxTextHeight * 4),
                                              Qt::TextWordWrap, text_->toPlainText().left(4000));
    const int wanted = std::max(bounds.height(), metrics.height()) + 6 + 4;
    text_->setFixedHeight(std::min(maxTextHeight, wanted));
}

void ThinkingView::setExpanded(bool expanded) {
    expanded_ = expanded;
    setSymbol(chevron_, expanded ? "chevron.down" : "chevron.right", shade(Tone::tertiary), 10);
    text_->setVisible(expanded);
    if (expanded) {
        QTimer::singleShot(0, this, [this] {
            text_->verticalScrollBar()->setValue(text_->verticalScrollBar()->maximum());
        });
    }
}

void ThinkingView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The wrapped height depends on the width, known only now.
    fitHeight(true);
}

void ThinkingView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QColor fill = Theme::palette().panel;
    fill.setAlphaF(0.5F);
    painter.fillRect(rect(), fill);
}

}  // namespace vask::ui
