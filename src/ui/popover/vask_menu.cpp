#include "ui/popover/vask_menu.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QStackedWidget>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "shell/observe_all.h"
#include "ui/chat/chat_view.h"
#include "ui/symbols.h"
#include "ui/theme.h"

namespace vask::ui {

namespace {

constexpr int copiedResetMs = 1500;
// About three lines of the conversation.
constexpr int minimumTranscriptHeight = 72;

QLabel* text(const QString& content, FontRole role, const Shade& colour) {
    auto* label = new QLabel(content);
    label->setFont(Theme::font(role));
    setTextColour(label, colour);
    return label;
}

QToolButton* plainButton(const QString& title, const QString& help) {
    auto* button = new QToolButton;
    button->setText(title);
    button->setToolTip(help);
    button->setAccessibleName(title);
    button->setAutoRaise(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setFont(Theme::font(FontRole::subheadline));
    setPaletteColour(button, QPalette::ButtonText, ThemeColour::secondary);
    return button;
}

}  // namespace

ErrorRow::ErrorRow(popover::ErrorEntry entry, Clipboard& clipboard, QWidget* parent)
    : QPushButton(parent), entry_(std::move(entry)), clipboard_(clipboard) {
    setFlat(true);
    setToolTip("Click to copy error");
    setAccessibleName(QString::fromStdString(entry_.label + ": " + entry_.message));
    setCursor(Qt::PointingHandCursor);
    setFont(Theme::font(FontRole::caption));
    setMinimumHeight(fontMetrics().height() + 6);
    connect(this, &QPushButton::clicked, this, &ErrorRow::copyToClipboard);
}

void ErrorRow::copyToClipboard() {
    clipboard_.setText(popover::copiedErrorText(entry_));
    copied_ = true;
    update();
    // Each click resets on its own schedule; an earlier click's reset still fires at its time.
    QTimer::singleShot(copiedResetMs, this, [this] {
        copied_ = false;
        update();
    });
}

QColor ErrorRow::labelColour(Appearance appearance) {
    return Shade(ThemeColour::red).colour(appearance);
}

QColor ErrorRow::copiedColour(Appearance appearance) {
    return Shade(ThemeColour::green).colour(appearance);
}

void ErrorRow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QFontMetrics metrics(font());
    const int iconSize = metrics.height();
    const QColor red = labelColour(Theme::current());
    int x = 0;
    const int mid = height() / 2;
    symbolIcon("exclamationmark.triangle", Shade::fixed(red), false)
        .paint(&painter, QRect(x, mid - iconSize / 2, iconSize, iconSize));
    x += iconSize + Theme::spacingSmall;

    QFont medium = font();
    medium.setWeight(QFont::Medium);
    painter.setFont(medium);
    painter.setPen(red);
    const QString label = QString::fromStdString(entry_.label);
    const int labelWidth = QFontMetrics(medium).horizontalAdvance(label);
    painter.drawText(QRect(x, 0, labelWidth, height()), Qt::AlignVCenter, label);
    x += labelWidth + Theme::spacingSmall;

    const QString trailing = copied_ ? QString("Copied") : QString();
    const int trailingWidth = copied_ ? metrics.horizontalAdvance(trailing) : iconSize;
    const int messageWidth = std::max(0, width() - x - trailingWidth - Theme::spacingSmall);
    painter.setFont(font());
    painter.setPen(Theme::secondaryText());
    painter.drawText(
        QRect(x, 0, messageWidth, height()), Qt::AlignVCenter,
        metrics.elidedText(QString::fromStdString(entry_.message), Qt::ElideRight, messageWidth));
    const QRect end(width() - trailingWidth, 0, trailingWidth, height());
    if (copied_) {
        painter.setPen(copiedColour(Theme::current()));
        painter.drawText(end, Qt::AlignVCenter | Qt::AlignRight, trailing);
    } else {
        symbolIcon("doc.on.doc", ThemeColour::tertiary, false)
            .paint(&painter, QRect(end.left(), mid - iconSize / 2, iconSize, iconSize));
    }
}

VaskMenu::VaskMenu(PopoverModel& model, QWidget* chatView, Clipboard& clipboard, Actions actions,
                   QWidget* parent)
    : QFrame(parent, Qt::Popup | Qt::FramelessWindowHint),
      model_(model),
      clipboard_(clipboard),
      actions_(std::move(actions)) {
    setObjectName("popover");
    // Its height is what the screen has room for (TrayController::placePopover): at a large
    // scale the chat's transcript scrolls in a shorter popover.
    setFixedWidth(width);
    setMaximumHeight(height);
    setAutoFillBackground(true);
    setFrameShape(QFrame::NoFrame);

    auto* layout = new QVBoxLayout(this);
    // Room for the outline, which the content never covers.
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(0);
    pages_ = new QStackedWidget;
    pages_->addWidget(makeSetupPrompt());
    pages_->addWidget(makeMainView(chatView));
    layout->addWidget(pages_);

    const auto& deps = model_.dependencies();
    subscriptions_.push_back(observeAll([this] { render(); }, model_.hasCredentials,
                                        deps.access->hasAccess, deps.access->lastError,
                                        deps.sync->isSyncing, deps.sync->lastError,
                                        deps.sync->messageCount, deps.contacts->lastError));
    // "New" and the chat's error row follow the chat while the popover is open.
    if (deps.chat.observe) {
        subscriptions_.push_back(deps.chat.observe([this] { render(); }));
    }
    render();
}

QWidget* VaskMenu::makeHeader() {
    auto* header = new QWidget;
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(Theme::padding, 10, Theme::padding, 10);
    row->setSpacing(Theme::spacing);
    row->addWidget(text("Vask", FontRole::headline, ThemeColour::ink));
    row->addStretch();

    auto* newButton = plainButton("New", "Clear and start a fresh question");
    newButton->setObjectName("popover.new");
    connect(newButton, &QToolButton::clicked, this, [this] {
        if (model_.dependencies().chat.startNewSession) {
            model_.dependencies().chat.startNewSession();
        }
        render();
    });
    row->addWidget(newButton);

    auto* open = plainButton("Open in Vask", "Continue in the main window");
    open->setObjectName("popover.openInVask");
    open->setIcon(symbolIcon("arrow.right", ThemeColour::secondary));
    open->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    open->setLayoutDirection(Qt::RightToLeft);
    connect(open, &QToolButton::clicked, this, [this] {
        if (model_.dependencies().chat.handOffToMain) {
            model_.dependencies().chat.handOffToMain();
        }
        dismissThen(actions_.openMain);
    });
    row->addWidget(open);
    return header;
}

QWidget* VaskMenu::makeSetupPrompt() {
    auto* page = new QWidget;
    page->setObjectName("popover.setupPrompt");
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(makeHeader());
    column->addWidget(divider());

    auto* body = new QVBoxLayout;
    body->setContentsMargins(Theme::padding * 2, Theme::padding, Theme::padding * 2,
                             Theme::padding);
    body->setSpacing(14);
    body->addStretch();
    auto* sparkles = new QLabel;
    setSymbol(sparkles, "sparkles", ThemeColour::accent, 48, true);
    sparkles->setAlignment(Qt::AlignCenter);
    body->addWidget(sparkles);
    auto* title = text("Let's finish setting up Vask", FontRole::headline, ThemeColour::ink);
    title->setAlignment(Qt::AlignCenter);
    body->addWidget(title);
    auto* detail = text("A quick setup gets Vask reading and chatting with your messages.",
                        FontRole::subheadline, ThemeColour::secondary);
    detail->setAlignment(Qt::AlignCenter);
    detail->setWordWrap(true);
    body->addWidget(detail);

    auto* cont = new QPushButton("Continue Setup");
    cont->setObjectName("popover.continueSetup");
    cont->setAccessibleName("Continue Setup");
    cont->setDefault(true);
    cont->setCursor(Qt::PointingHandCursor);
    Theme::useAccentButton(cont);
    connect(cont, &QPushButton::clicked, this, [this] { dismissThen(actions_.openOnboarding); });
    auto* buttonRow = new QHBoxLayout;
    buttonRow->setContentsMargins(0, 4, 0, 0);
    buttonRow->addStretch();
    buttonRow->addWidget(cont);
    buttonRow->addStretch();
    body->addLayout(buttonRow);
    body->addStretch();
    column->addLayout(body, 1);
    return page;
}

QWidget* VaskMenu::makeMainView(QWidget* chatView) {
    auto* page = new QWidget;
    page->setObjectName("popover.mainView");
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(makeHeader());
    column->addWidget(divider());

    syncingRow_ = new QWidget;
    syncingRow_->setObjectName("popover.syncing");
    auto* syncing = new QVBoxLayout(syncingRow_);
    syncing->setContentsMargins(0, 0, 0, 0);
    syncing->setSpacing(0);
    auto* syncingLine = new QHBoxLayout;
    syncingLine->setContentsMargins(Theme::padding, 8, Theme::padding, 8);
    syncingLine->setSpacing(8);
    auto* spinner = new QProgressBar;
    spinner->setRange(0, 0);
    spinner->setFixedSize(16, 6);
    spinner->setTextVisible(false);
    syncingLine->addWidget(spinner);
    syncingLine->addWidget(text("Syncing messages...", FontRole::caption, ThemeColour::secondary));
    syncingLine->addStretch();
    syncing->addLayout(syncingLine);
    syncing->addWidget(divider());
    column->addWidget(syncingRow_);

    // The popover may be shorter than it would like (a large scale on a small screen): the
    // conversation gives up its height first.
    if (auto* chat = qobject_cast<ChatView*>(chatView)) {
        chat->setMinimumTranscriptHeight(minimumTranscriptHeight);
    }
    chatView->setParent(page);
    column->addWidget(chatView, 1);
    column->addWidget(divider());

    errorBlock_ = new QWidget;
    errorBlock_->setObjectName("popover.errors");
    auto* errors = new QVBoxLayout(errorBlock_);
    errors->setContentsMargins(0, 0, 0, 0);
    errors->setSpacing(0);
    auto* rowsHolder = new QWidget;
    errorRows_ = new QVBoxLayout(rowsHolder);
    errorRows_->setContentsMargins(Theme::padding, 6, Theme::padding, 6);
    errorRows_->setSpacing(2);
    errors->addWidget(rowsHolder);
    errors->addWidget(divider());
    column->addWidget(errorBlock_);

    auto* status = new QHBoxLayout;
    status->setContentsMargins(Theme::padding, 8, Theme::padding, 8);
    status->setSpacing(4);
    countIcon_ = new QLabel;
    setSymbol(countIcon_, "message", ThemeColour::secondary, 12, true);
    countLabel_ = text(QString(), FontRole::caption, ThemeColour::secondary);
    countLabel_->setObjectName("popover.count");
    status->addWidget(countIcon_);
    status->addWidget(countLabel_);
    status->addStretch();
    column->addLayout(status);
    return page;
}

void VaskMenu::render() {
    pages_->setCurrentIndex(model_.isSetUp() ? 1 : 0);
    // Both pages carry the header, so both "New" buttons follow the chat.
    for (auto* button : findChildren<QToolButton*>("popover.new")) {
        button->setEnabled(model_.canStartNewSession());
    }
    syncingRow_->setVisible(model_.dependencies().sync->isSyncing.get());

    const auto errors = model_.activeErrors();
    if (errors != shownErrors_) {
        while (QLayoutItem* item = errorRows_->takeAt(0)) {
            delete item->widget();
            delete item;
        }
        for (const auto& entry : errors) {
            errorRows_->addWidget(new ErrorRow(entry, clipboard_));
        }
        shownErrors_ = errors;
    }
    errorBlock_->setVisible(!errors.empty());

    const auto count = model_.messageCountText();
    countIcon_->setVisible(count.has_value());
    countLabel_->setVisible(count.has_value());
    countLabel_->setText(QString::fromStdString(count.value_or("")));
}

QSize VaskMenu::sizeHint() const {
    return {width, height};
}

Shade VaskMenu::outline() {
    return Shade(ThemeColour::ink, 0.35);
}

void VaskMenu::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.setPen(QPen(outline().colour(), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void VaskMenu::showEvent(QShowEvent* event) {
    QFrame::showEvent(event);
    model_.onAppear();
    render();
}

void VaskMenu::dismissThen(const std::function<void()>& action) {
    hide();
    if (action) {
        action();
    }
}

}  // namespace vask::ui
