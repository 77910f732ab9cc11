#include "ui/settings/form_parts.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QMessageBox>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>

#include "ui/chat/chat_style.h"
#include "ui/qt_platform.h"
#include "ui/symbols.h"

static void registerViewIcons() {
    Q_INIT_RESOURCE(settings_icons);
}

namespace vask::ui {

void ensureViewIcons() {
    static const bool registered = [] {
        registerViewIcons();
        return true;
    }();
    (void)registered;
}

Shade errorRed() {
    return Shade(ThemeColour::red);
}

Shade warningOrange() {
    return Shade(ThemeColour::orange);
}

int WrappedLabel::heightForWidth(int width) const {
    return QLabel::heightForWidth(std::max(1, width - 2 * fontMetrics().averageCharWidth()));
}

QLabel* styledText(const QString& text, FontRole role, const Shade& colour, bool wraps) {
    auto* label = wraps ? new WrappedLabel(text) : new QLabel(text);
    label->setFont(Theme::font(role));
    setTextColour(label, colour);
    label->setWordWrap(wraps);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLabel* symbolLabel(const QString& symbol, const Shade& colour, int size) {
    ensureViewIcons();
    auto* label = new QLabel;
    setSymbol(label, symbol, colour, size);
    label->setFixedSize(size, size);
    return label;
}

Badge::Badge(const QString& text, Shade ink, Shade fill, QMargins padding)
    : QLabel(text), fill_(fill) {
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignCenter);
    setContentsMargins(padding);
    setTextColour(this, ink);
}

void Badge::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill_.colour());
        const qreal radius = std::min(8.0, height() / 2.0);
        painter.drawRoundedRect(QRectF(rect()), radius, radius);
    }
    QLabel::paintEvent(event);
}

QPushButton* smallButton(const QString& title, const QString& identifier) {
    auto* button = new QPushButton(title);
    button->setObjectName(identifier);
    button->setAccessibleName(title);
    button->setFont(Theme::font(FontRole::subheadline));
    button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    Theme::useBrandButtons(button);
    return button;
}

void clearLayout(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            // Later: the widget may be the button whose click is being handled.
            widget->hide();
            widget->setParent(nullptr);
            widget->deleteLater();
        } else if (QLayout* inner = item->layout()) {
            clearLayout(inner);
        }
        delete item;
    }
}

void settleLayouts(QWidget* widget) {
    // Widgets added to a shown layout are shown only on a later turn of the event loop, and until
    // then count for nothing in its size: show them now.
    if (widget->isVisible()) {
        for (QWidget* child : widget->findChildren<QWidget*>()) {
            if (!child->testAttribute(Qt::WA_WState_ExplicitShowHide) && !child->isWindow()) {
                child->show();
            }
        }
    }
    // Wrapped labels learn their height only once laid out at their width, which asks for
    // another layout pass: a few passes settle it.
    for (int pass = 0; pass < 3; ++pass) {
        for (QWidget* w = widget; w != nullptr; w = w->parentWidget()) {
            if (QLayout* layout = w->layout()) {
                layout->invalidate();
                layout->activate();
            }
            if (w->isWindow()) {
                break;
            }
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    }
}

FormSection::FormSection(const QString& title, QWidget* parent) : QFrame(parent) {
    // Always as tall as its rows need: a long form scrolls rather than squeezing its sections.
    // Never a fixed height: a layout caps such a section at its size hint, which measures wrapped
    // text at the width it would like rather than the one it has, so a sentence whose words wrap
    // to more lines in place (a keyring sentence in place of a count) would be cut. The form's
    // closing stretch takes whatever height is left over.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(Theme::spacingSmall);
    header_ = new QHBoxLayout;
    header_->setContentsMargins(Theme::spacingSmall, 0, Theme::spacingSmall, 0);
    auto* label = styledText(title, FontRole::headline, ThemeColour::ink);
    header_->addWidget(label);
    column->addLayout(header_);

    auto* panel =
        new chat_style::RoundedPanel(ThemeColour::panel, Theme::cornerRadius, ThemeColour::edge);
    panel->setObjectName("formPanel");
    body_ = new QVBoxLayout(panel);
    body_->setContentsMargins(Theme::padding, Theme::spacing, Theme::padding, Theme::spacing);
    body_->setSpacing(Theme::spacingSmall);
    column->addWidget(panel);
}

QAbstractButton* fillConfirmation(QMessageBox& box, const Confirmation& confirmation) {
    Theme::useBrandButtons(&box);
    // The desktop's own warning picture, or none: never the toolkit's stand-in, nor an empty
    // gap where a theme names a picture it cannot draw.
    const QPixmap warning = QIcon::fromTheme("dialog-warning").pixmap(48, 48);
    if (!warning.isNull()) {
        box.setIconPixmap(warning);
    } else {
        box.setIcon(QMessageBox::NoIcon);
    }
    box.setWindowTitle(confirmation.title);
    box.setText(confirmation.title);
    box.setInformativeText(confirmation.message);
    // Wide enough for its title in the frame's title bar and for its text in a few lines; the
    // box sizes itself to its layout's minimum, which this row sets.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        const int wide = std::max(
            confirmationWidth, QFontMetrics(box.font()).horizontalAdvance(confirmation.title) * 2);
        grid->addItem(new QSpacerItem(wide, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    auto* action = box.addButton(confirmation.action, QMessageBox::DestructiveRole);
    action->setObjectName(confirmation.actionIdentifier);
    box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Cancel);
    closeQtLinkOpening(box);
    return action;
}

Confirm standardConfirm() {
    return [](QWidget* parent, const Confirmation& confirmation) {
        QMessageBox box(parent);
        QAbstractButton* action = fillConfirmation(box, confirmation);
        // It holds its own window alone: the tray and Vask's other windows stay usable.
        box.setWindowModality(Qt::WindowModal);
        box.exec();
        return box.clickedButton() == action;
    };
}

}  // namespace vask::ui
