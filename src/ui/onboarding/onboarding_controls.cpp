#include "ui/onboarding/onboarding_controls.h"

#include <QFocusEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QShowEvent>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

#include "ui/brand_marks.h"
#include "ui/settings/form_parts.h"
#include "ui/symbols.h"
#include "ui/theme.h"

namespace vask::ui {

namespace {

QLabel* textLabel(const QString& content, const QFont& font, const Shade& colour) {
    auto* label = new QLabel(content);
    label->setFont(font);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    setTextColour(label, colour);
    return label;
}

QColor withAlpha(QColor colour, qreal alpha) {
    colour.setAlphaF(static_cast<float>(colour.alphaF() * alpha));
    return colour;
}

// The faint fill the hint and the notice sit on: the ink's quaternary tone at half strength.
QColor quaternaryFill() {
    return withAlpha(Theme::palette().ink, 0.07);
}

// A symbol before a text, as one row.
QWidget* iconLabel(const QString& symbol, const Shade& colour, QLabel* text) {
    auto* holder = new QWidget;
    auto* row = new QHBoxLayout(holder);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    auto* icon = new QLabel;
    setSymbol(icon, symbol, colour, 16);
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addWidget(text);
    return holder;
}

}  // namespace

QWidget* widthLimited(QWidget* inner, int maxWidth) {
    auto* holder = new QWidget;
    auto* row = new QHBoxLayout(holder);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    inner->setMaximumWidth(maxWidth);
    QSizePolicy policy = inner->sizePolicy();
    policy.setHorizontalPolicy(QSizePolicy::Expanding);
    inner->setSizePolicy(policy);
    row->addStretch(1);
    row->addWidget(inner, 1000);
    row->addStretch(1);
    return holder;
}

AppIconView::AppIconView(int side, QWidget* parent) : QWidget(parent) {
    setFixedSize(side, side);
    auto* mark = new CurlMark(false, this);
    const int markSide = side * 56 / 100;
    mark->setGeometry((side - markSide) / 2, (side - markSide) / 2, markSide, markSide);
    setAccessibleName("Vask");
}

void AppIconView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const auto brand = Theme::palette();
    const QRectF tile = QRectF(rect()).adjusted(1, 1, -1, -1);
    const qreal radius = tile.width() * 0.225;
    QLinearGradient fill(tile.topLeft(), tile.bottomLeft());
    fill.setColorAt(0, brand.canvas.lighter(Theme::current() == Appearance::dark ? 135 : 100));
    fill.setColorAt(1, brand.panel);
    painter.setBrush(fill);
    painter.setPen(QPen(brand.edge, std::max<qreal>(1, tile.width() / 80)));
    painter.drawRoundedRect(tile, radius, radius);
}

OnboardingPrimaryButton::OnboardingPrimaryButton(QWidget* parent) : QPushButton(parent) {
    setObjectName("onboarding.primaryCTA");
    QFont font = Theme::font(FontRole::body);
    font.setWeight(QFont::DemiBold);
    setFont(font);
    setCursor(Qt::PointingHandCursor);
    setDefault(true);
}

QSize OnboardingPrimaryButton::sizeHint() const {
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 36, metrics.height() + 18};
}

QColor OnboardingPrimaryButton::fill(Appearance appearance, bool enabled, bool pressed) {
    const QColor accent = Theme::palette(appearance).accent;
    if (!enabled) {
        return withAlpha(accent, 0.4);
    }
    // Darker rather than fainter: a faded capsule would leave its text below 4.5:1.
    return pressed ? Theme::pressedAccent(accent) : accent;
}

QColor OnboardingPrimaryButton::textColour(Appearance appearance, bool enabled) {
    // White would read at under 3:1 on the light accent of the dark appearance. On the faint
    // capsule of a disabled button, the page's own fainter ink.
    return enabled ? Theme::palette(appearance).onAccent
                   : Shade(ThemeColour::secondary).colour(appearance);
}

void OnboardingPrimaryButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF capsule = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = capsule.height() / 2;
    painter.setPen(Qt::NoPen);
    const Appearance appearance = Theme::current();
    painter.setBrush(fill(appearance, isEnabled(), isDown()));
    painter.drawRoundedRect(capsule, radius, radius);
    painter.setPen(textColour(appearance, isEnabled()));
    painter.setFont(font());
    painter.drawText(rect(), Qt::AlignCenter, text());
}

StepDots::StepDots(int count, int current, QWidget* parent)
    : QWidget(parent), count_(std::max(0, count)), current_(current) {
    setObjectName("onboarding.stepDots");
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void StepDots::setCurrent(int current) {
    current_ = current;
    setAccessibleName(QString("Step %1 of %2").arg(current_ + 1).arg(count_));
    update();
}

std::optional<int> StepDots::highlighted() const {
    if (current_ < 0 || current_ >= count_) {
        return std::nullopt;
    }
    return current_;
}

QSize StepDots::sizeHint() const {
    return {count_ > 0 ? count_ * 7 + (count_ - 1) * 6 : 0, 7};
}

void StepDots::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const qreal top = (height() - 7) / 2.0;
    for (int i = 0; i < count_; ++i) {
        painter.setBrush(highlighted() == i ? Theme::palette().accent
                                            : withAlpha(Theme::secondaryText(), 0.3));
        painter.drawEllipse(QRectF(i * 13.0, top, 7, 7));
    }
}

BusyIndicator::BusyIndicator(int side, QWidget* parent) : QWidget(parent) {
    setFixedSize(side, side);
    setAccessibleName("In progress");
}

void BusyIndicator::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (timer_ == 0 && !Theme::reduceMotion()) {
        timer_ = startTimer(40);
    }
}

void BusyIndicator::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (timer_ != 0) {
        killTimer(timer_);
        timer_ = 0;
    }
}

void BusyIndicator::timerEvent(QTimerEvent*) {
    angle_ = (angle_ + 12) % 360;
    update();
}

void BusyIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal pen = std::max<qreal>(1.5, width() / 8.0);
    const QRectF circle = QRectF(rect()).adjusted(pen, pen, -pen, -pen);
    painter.setPen(QPen(withAlpha(Theme::secondaryText(), 0.35), pen));
    painter.drawEllipse(circle);
    painter.setPen(QPen(Theme::secondaryText(), pen, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(circle, (90 - angle_) * 16, -100 * 16);
}

HintRow::HintRow(QWidget* parent) : QFrame(parent) {}

void HintRow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF tile = QRectF(rect()).adjusted(1, 1, -1, -1);
    painter.setBrush(quaternaryFill());
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(tile, 10, 10);
}

StatusArea::StatusArea(int maxTextWidth, QWidget* parent)
    : QWidget(parent), maxTextWidth_(maxTextWidth) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    spinner_ = new BusyIndicator(16);
    column->addWidget(spinner_, 0, Qt::AlignHCenter);
    lines_ = new QVBoxLayout;
    lines_->setSpacing(4);
    column->addLayout(lines_);
    spinner_->hide();
}

void StatusArea::setStatus(const OnboardingStepsModel::Status& status) {
    if (status == shown_ && lines_->count() == static_cast<int>(status.lines.size())) {
        return;
    }
    shown_ = status;
    spinner_->setVisible(status.showsSpinner);
    while (QLayoutItem* item = lines_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const auto& line : status.lines) {
        auto* label = textLabel(QString::fromStdString(line.text), Theme::font(FontRole::callout),
                                line.isError ? errorRed() : Shade(ThemeColour::secondary));
        lines_->addWidget(widthLimited(label, maxTextWidth_));
    }
    setVisible(status.showsSpinner || !status.lines.empty());
}

QStringList StatusArea::lines() const {
    QStringList texts;
    for (const auto& line : shown_.lines) {
        texts << QString::fromStdString(line.text);
    }
    return texts;
}

bool StatusArea::showsSpinner() const {
    return shown_.showsSpinner;
}

PathField::PathField(QWidget* parent) : QLineEdit(parent) {
    setReadOnly(true);
    setFrame(false);
    setStyleSheet("QLineEdit { background: transparent; }");
}

void PathField::setPath(const QString& path) {
    path_ = path;
    setToolTip(path_ + "\nThe folder chat.db is read from: select it to copy");
    showPath();
}

void PathField::showPath() {
    if (expanded_) {
        setText(path_);
        return;
    }
    // The line edit's own inner margins, on both sides.
    constexpr int textMargins = 8;
    setText(fontMetrics().elidedText(path_, Qt::ElideMiddle,
                                     std::max(0, contentsRect().width() - textMargins)));
    setCursorPosition(0);
}

void PathField::resizeEvent(QResizeEvent* event) {
    QLineEdit::resizeEvent(event);
    showPath();
}

void PathField::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    // Reached to be selected; a window that comes up with the focus here leaves it short.
    const auto reason = event->reason();
    if (reason == Qt::MouseFocusReason || reason == Qt::TabFocusReason ||
        reason == Qt::BacktabFocusReason || reason == Qt::ShortcutFocusReason) {
        expanded_ = true;
        setText(path_);
        selectAll();
    }
}

void PathField::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    expanded_ = false;
    showPath();
}

FullDiskAccessHint::FullDiskAccessHint(QWidget* parent) : QWidget(parent) {
    setObjectName("onboarding.fullDiskAccessHint");
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 6, 0, 0);
    column->setSpacing(12);

    auto* row = new HintRow;
    row->setObjectName("onboarding.hintRow");
    row->setFixedWidth(380);
    auto* rowLayout = new QGridLayout(row);
    rowLayout->setContentsMargins(12, 10, 12, 10);
    rowLayout->setHorizontalSpacing(10);
    rowLayout->setVerticalSpacing(4);
    auto* folderIcon = new QLabel;
    folderIcon->setPixmap(style()->standardIcon(QStyle::SP_DirIcon).pixmap(22, 22));
    rowLayout->addWidget(folderIcon, 0, 0, Qt::AlignTop);
    QFont medium = Theme::font(FontRole::callout);
    medium.setWeight(QFont::Medium);
    // A path to copy: its end in view however long it is, whole once selected.
    folder_ = new PathField;
    folder_->setObjectName("onboarding.accessFolder");
    folder_->setFont(medium);
    setPaletteColour(folder_, QPalette::Text, ThemeColour::ink);
    rowLayout->addWidget(folder_, 0, 1);
    fileIcon_ = new QLabel;
    rowLayout->addWidget(fileIcon_, 1, 0, Qt::AlignTop | Qt::AlignHCenter);
    file_ = textLabel({}, Theme::font(FontRole::callout), ThemeColour::secondary);
    file_->setObjectName("onboarding.accessFile");
    file_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    rowLayout->addWidget(file_, 1, 1);
    rowLayout->setColumnStretch(1, 1);
    column->addWidget(row, 0, Qt::AlignHCenter);

    auto* noteText = textLabel(
        "Once the file is in place, Vask moves on by itself. Still waiting? Click “Quit & "
        "Reopen” — Vask relaunches and picks up right where it left off.",
        Theme::font(FontRole::callout), ThemeColour::secondary);
    noteText->setObjectName("onboarding.hintNote");
    noteText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // As wide as it is given, and as tall as its lines are at that width.
    QSizePolicy wide(QSizePolicy::Expanding, QSizePolicy::Preferred);
    wide.setHeightForWidth(true);
    noteText->setSizePolicy(wide);
    column->addWidget(
        widthLimited(iconLabel("arrow.clockwise.circle", ThemeColour::secondary, noteText), 330));

    status_ = new StatusArea(380);
    status_->setObjectName("onboarding.accessStatus");
    column->addSpacing(2);
    column->addWidget(status_);
}

void FullDiskAccessHint::setFolder(const OnboardingStepsModel::AccessFolder& folder) {
    if (shown_ == folder) {
        return;
    }
    shown_ = folder;
    folder_->setPath(QString::fromStdString(folder.folder));
    folder_->setAccessibleName(QString::fromStdString(folder.folder));
    file_->setText(QString::fromStdString(folder.fileState));
    file_->setAccessibleName(QString::fromStdString(folder.fileState));
    setSymbol(fileIcon_, folder.fileReadable ? "checkmark.circle.fill" : "exclamationmark.circle",
              folder.fileReadable ? ThemeColour::accent : ThemeColour::secondary, 14);
}

MessageRetentionNotice::MessageRetentionNotice(const MessageRetentionAssessment& assessment,
                                               QWidget* parent)
    : QFrame(parent) {
    setObjectName("onboarding.messageRetentionNotice");
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(6);

    QFont semibold = Theme::font(FontRole::callout);
    semibold.setWeight(QFont::DemiBold);
    auto* title = new QLabel("About your message history");
    title->setFont(semibold);
    auto* heading = iconLabel("clock.arrow.circlepath", ThemeColour::ink, title);
    column->addWidget(heading, 0, Qt::AlignHCenter);

    auto* message =
        textLabel(QString::fromStdString(OnboardingStepsModel::retentionMessage(assessment)),
                  Theme::font(FontRole::callout), ThemeColour::secondary);
    message->setObjectName("onboarding.retentionMessage");
    column->addWidget(message);
    if (OnboardingStepsModel::retentionShowsKeepTip(assessment)) {
        auto* tip = textLabel(
            "To keep future conversations in Messages too, choose Messages › Settings › General › "
            "Keep Messages › Forever.",
            Theme::font(FontRole::caption), ThemeColour::tertiary);
        tip->setObjectName("onboarding.retentionTip");
        column->addWidget(tip);
    }
}

void MessageRetentionNotice::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(quaternaryFill());
    painter.drawRoundedRect(QRectF(rect()), 12, 12);
    QFrame::paintEvent(event);
}

}  // namespace vask::ui
