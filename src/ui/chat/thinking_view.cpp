#include "ui/chat/thinking_view.h"

#include <QFontDatabase>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/chat/chat_style.h"
#include "ui/symbols.h"

namespace vask::ui {

using namespace chat_style;

namespace {
constexpr int maxTextHeight = 120;
}

ThinkingView::ThinkingView(const std::string& text, bool expanded, QWidget* parent)
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

    scroll_ = new QScrollArea;
    scroll_->setObjectName("thinkingText");
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setStyleSheet(
        "QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }");
    text_ =
        selectableLabel({}, QFontDatabase::systemFont(QFontDatabase::FixedFont), Tone::secondary);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(Theme::font(FontRole::caption).pointSizeF());
    text_->setFont(mono);
    text_->setContentsMargins(Theme::padding, 0, Theme::padding, 6);
    text_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    scroll_->setWidget(text_);
    column->addWidget(scroll_);
    // The newest reasoning is at the bottom: keep it in view as the text grows.
    connect(scroll_->verticalScrollBar(), &QScrollBar::rangeChanged, this,
            [this](int, int max) { scroll_->verticalScrollBar()->setValue(max); });

    setText(text);
    setExpanded(expanded);
}

void ThinkingView::setText(const std::string& text) {
    text_->setText(QString::fromStdString(text));
    // As tall as the text up to the cap; the label's margins count too.
    const int width = std::max(200, scroll_->viewport()->width());
    const int wanted = text_->heightForWidth(width) + text_->contentsMargins().top() +
                       text_->contentsMargins().bottom();
    scroll_->setFixedHeight(
        std::min(maxTextHeight, std::max(wanted, text_->fontMetrics().height())));
}

void ThinkingView::setExpanded(bool expanded) {
    expanded_ = expanded;
    chevron_->setPixmap(
        symbolIcon(expanded ? "chevron.down" : "chevron.right", colour(Tone::tertiary), false)
            .pixmap(10, 10));
    scroll_->setVisible(expanded);
    if (expanded) {
        QTimer::singleShot(0, this, [this] {
            scroll_->verticalScrollBar()->setValue(scroll_->verticalScrollBar()->maximum());
        });
    }
}

void ThinkingView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QColor fill = Theme::palette().panel;
    fill.setAlphaF(0.5F);
    painter.fillRect(rect(), fill);
}

}  // namespace vask::ui
