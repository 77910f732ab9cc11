#include "ui/chat/chat_style.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>

#include "ui/symbols.h"

// The resources live in a static library, so nothing registers them unless asked.
static void registerChatResources() {
    Q_INIT_RESOURCE(chat);
    // "arrow.up.right" and "ellipsis.circle" are drawn once, with the awaiting screen's icons.
    Q_INIT_RESOURCE(awaiting);
}

namespace vask::ui::chat_style {

void ensureResources() {
    static const bool registered = [] {
        Theme::initResources();
        registerChatResources();
        return true;
    }();
    (void)registered;
}

Shade shade(Tone tone) {
    switch (tone) {
        case Tone::primary:
            return ThemeColour::ink;
        case Tone::secondary:
            return ThemeColour::secondary;
        case Tone::tertiary:
            return ThemeColour::tertiary;
        case Tone::accent:
            return ThemeColour::accent;
        case Tone::onAccent:
            return ThemeColour::onAccent;
        case Tone::red:
            return ThemeColour::red;
        case Tone::orange:
            return ThemeColour::orange;
    }
    return ThemeColour::ink;
}

QColor colour(Tone tone) {
    return shade(tone).colour();
}

QFont textFont(FontRole role, QFont::Weight weight, bool smaller) {
    QFont f = Theme::font(role);
    if (smaller) {
        f.setPointSizeF(f.pointSizeF() - 1);
    }
    f.setWeight(weight);
    return f;
}

QString qt(const std::string& text) {
    return QString::fromStdString(text);
}

namespace {}  // namespace

QLabel* symbolLabel(const QString& symbol, Tone tone, int size, QWidget* parent) {
    ensureResources();
    auto* label = new QLabel(parent);
    setSymbol(label, symbol, shade(tone), size);
    label->setFixedSize(size, size);
    label->setObjectName(symbol);
    label->setAccessibleName(symbol);
    return label;
}

QLabel* textLabel(const QString& text, const QFont& font, Tone tone, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    setTextColour(label, shade(tone));
    return label;
}

QLabel* selectableLabel(const QString& text, const QFont& font, Tone tone, int maxLines,
                        QWidget* parent) {
    auto* label = textLabel(text, font, tone, parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    if (maxLines > 0) {
        label->setMaximumHeight(QFontMetrics(font).lineSpacing() * maxLines + 2);
    }
    return label;
}

ElidingLabel::ElidingLabel(const QString& text, Qt::TextElideMode mode, QWidget* parent)
    : QLabel(text, parent), mode_(mode) {
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

QSize ElidingLabel::minimumSizeHint() const {
    return {fontMetrics().horizontalAdvance(QStringLiteral("\u2026")) * 3, fontMetrics().height()};
}

void ElidingLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.setFont(font());
    const QRect box = contentsRect();
    painter.drawText(box,
                     static_cast<int>((alignment() & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter),
                     fontMetrics().elidedText(text(), mode_, box.width()));
}

ElidingLabel* elidingLabel(const QString& text, const QFont& font, Tone tone,
                           Qt::TextElideMode mode) {
    auto* label = new ElidingLabel(text, mode);
    label->setFont(font);
    setTextColour(label, shade(tone));
    return label;
}

RowButton::RowButton(int spacing, QWidget* parent) : QPushButton(parent) {
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
    setStyleSheet("QPushButton { border: none; background: transparent; padding: 0; }");
    row_ = new QHBoxLayout(this);
    row_->setContentsMargins(0, 0, 0, 0);
    row_->setSpacing(spacing);
}

void RowButton::add(QWidget* part) {
    part->setAttribute(Qt::WA_TransparentForMouseEvents);
    row_->addWidget(part, 0, Qt::AlignVCenter);
}

QSize RowButton::sizeHint() const {
    return row_->sizeHint();
}

QSize RowButton::minimumSizeHint() const {
    return row_->minimumSize();
}

QPushButton* textButton(const QString& title, const QFont& font, Tone tone, QWidget* parent) {
    auto* button = new QPushButton(title, parent);
    button->setFlat(true);
    button->setFont(font);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(
        "QPushButton { border: none; background: transparent; padding: 0; text-align: left; }");
    setTextColour(button, shade(tone));
    return button;
}

RoundedPanel::RoundedPanel(Shade fill, qreal radius, std::optional<Shade> border, QWidget* parent)
    : QWidget(parent), fill_(fill), radius_(radius), border_(border) {}

void RoundedPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled()) {
        // A disabled control fades into the window, as disabled text does.
        painter.setOpacity(disabledOpacity);
    }
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath path;
    path.addRoundedRect(box, radius_, radius_);
    painter.fillPath(path, fill_.colour());
    if (border_) {
        painter.setPen(QPen(border_->colour(), 1));
        painter.drawPath(path);
    }
}

}  // namespace vask::ui::chat_style
