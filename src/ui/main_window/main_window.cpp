#include "ui/main_window/main_window.h"

#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>

#include "ui/brand_marks.h"
#include "ui/main_window/session_rows.h"
#include "ui/window_fit.h"

namespace vask::ui {

namespace {

QWidget* centredColumn(int spacing) {
    auto* page = new QWidget;
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(Theme::padding * 2, Theme::padding * 2, Theme::padding * 2,
                               Theme::padding * 2);
    column->setSpacing(spacing);
    column->addStretch();
    return page;
}

// The narrowest sidebar: 200 px, or wider where the awaiting row's label would not read whole
// beside its icon and a two-digit count, inside the sidebar's insets and the list's scroll bar.
int minimumSidebarWidth(const QWidget& sidebar) {
    const int scrollBar = sidebar.style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    return std::max(200,
                    SessionRowDelegate::awaitingRowWidth() + 2 * Theme::spacingSmall + scrollBar);
}

// The sidebar starts with some room beside its narrowest.
int defaultSidebarWidth(const QWidget& sidebar, int minimum, int maximum) {
    return std::clamp(minimumSidebarWidth(sidebar) + 2 * Theme::padding, minimum, maximum);
}

}  // namespace

MainWindow::MainWindow(Dependencies dependencies, QWidget* parent)
    : QWidget(parent), deps_(std::move(dependencies)) {
    ensureViewIcons();
    setObjectName("main");
    setWindowTitle("Vask");
    fitToScreen(this, {900, 600});
    model_ = std::make_unique<MainWindowModel>(MainWindowModel::Dependencies{
        .chat = deps_.chat,
        .sync = deps_.sync,
        .awaiting = deps_.awaiting,
        .showProactiveSurfaces = deps_.showProactiveSurfaces,
        .activate = deps_.activate,
    });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* split = new QSplitter;
    split_ = split;
    split->setChildrenCollapsible(false);
    sidebar_ = makeSidebar();
    split->addWidget(sidebar_);

    detail_ = new QStackedWidget;
    signedOutPage_ = makeSignedOutView();
    syncingPage_ = makeSyncingView();
    detail_->addWidget(signedOutPage_);
    detail_->addWidget(syncingPage_);
    split->addWidget(detail_);
    split->setStretchFactor(1, 1);
    layout->addWidget(split);
    fitPanesTo(roomOn(availableArea(screen())));

    subscriptions_.push_back(deps_.chat.observe([this] { chatChanged(); }));
    if (deps_.observeSync) {
        subscriptions_.push_back(deps_.observeSync([this] { render(); }));
    }
    if (deps_.observeAwaiting) {
        subscriptions_.push_back(deps_.observeAwaiting([this] { awaitingChanged(); }));
    }
}

MainWindow::~MainWindow() = default;

void MainWindow::fitPanesTo(Extent room) {
    // The splitter's handle takes its share of the width too.
    if (room.width > 0) {
        room.width = std::max(1, room.width - split_->handleWidth());
    }
    const auto fit = fitPanes(room, minimumSidebarWidth(*sidebar_), detailMinimum);
    sidebar_->setMinimumWidth(fit.sidebarMinimum);
    sidebar_->setVisible(fit.sidebarShown);
    detail_->setMinimumSize(fit.detailMinimum.width, fit.detailMinimum.height);
    // The splitter hears of its panes' new minimums only once shown; the window asks it now.
    split_->updateGeometry();
    if (fit.sidebarShown) {
        // What the detail leaves of the window's width caps the sidebar's first width.
        const int left = width() - split_->handleWidth() - fit.detailMinimum.width;
        const int sidebarWidth = defaultSidebarWidth(
            *sidebar_, fit.sidebarMinimum,
            std::max(fit.sidebarMinimum, std::min(sidebar_->maximumWidth(), left)));
        split_->setSizes({sidebarWidth, width() - sidebarWidth});
    }
}

SessionSidebar* MainWindow::makeSidebar() {
    auto* sidebar = new SessionSidebar(deps_.chat, deps_.sidebar);
    sidebar->setMaximumWidth(320);
    sidebar->setAutoFillBackground(true);
    setPaletteColour(sidebar, QPalette::Window, ThemeColour::panel);
    connect(sidebar, &SessionSidebar::picked, this,
            [this](const std::optional<SidebarSelection>& selection) {
                model_->select(selection);
                render();
            });
    return sidebar;
}

QWidget* MainWindow::makeAwaitingPage() {
    QWidget* page =
        deps_.makeAwaitingView
            ? deps_.makeAwaitingView([this](const AwaitingReply& r) { catchUp(r); },
                                     [this] { return !deps_.chat.isSending(); })
            : styledText("Awaiting your reply", FontRole::headline, ThemeColour::secondary);
    page->setObjectName("awaiting-detail");
    return page;
}

QWidget* MainWindow::makeSignedOutView() {
    auto* page = centredColumn(Theme::spacingSmall);
    page->setObjectName("signed-out");
    auto* column = static_cast<QVBoxLayout*>(page->layout());
    column->addWidget(symbolLabel("person.crop.circle.badge.xmark", ThemeColour::secondary, 44), 0,
                      Qt::AlignHCenter);
    auto* title = styledText(MainWindowModel::signedOutTitle, FontRole::headline, ThemeColour::ink);
    column->addWidget(title, 0, Qt::AlignHCenter);
    signedOutDescription_ = styledText({}, FontRole::body, ThemeColour::secondary, true);
    signedOutDescription_->setObjectName("signed-out-description");
    signedOutDescription_->setAlignment(Qt::AlignCenter);
    column->addWidget(signedOutDescription_);
    if (deps_.signIn) {
        auto* signIn = new QPushButton(MainWindowModel::signInTitle);
        signIn->setObjectName("signed-out-sign-in");
        signIn->setAccessibleName(signIn->text());
        signIn->setDefault(true);
        Theme::useAccentButton(signIn);
        connect(signIn, &QPushButton::clicked, this, [this] { deps_.signIn(); });
        column->addSpacing(Theme::spacingSmall);
        column->addWidget(signIn, 0, Qt::AlignHCenter);
    }
    column->addStretch();
    return page;
}

QWidget* MainWindow::makeSyncingView() {
    auto* page = centredColumn(10);
    page->setObjectName("syncing");
    auto* column = static_cast<QVBoxLayout*>(page->layout());
    column->addWidget(new BreathingDot(14), 0, Qt::AlignHCenter);
    column->addWidget(
        styledText(MainWindowModel::syncingText, FontRole::body, ThemeColour::secondary), 0,
        Qt::AlignHCenter);
    syncError_ = styledText({}, FontRole::callout, errorRed(), true);
    syncError_->setObjectName("sync-error");
    syncError_->setAlignment(Qt::AlignCenter);
    column->addWidget(syncError_);
    column->addStretch();
    return page;
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Moved to another screen (another size or scale), the panes give way to that one.
    if (QWindow* window = windowHandle(); window != nullptr && !followsScreen_) {
        followsScreen_ = true;
        connect(window, &QWindow::screenChanged, this,
                [this](QScreen* screen) { fitPanesTo(roomOn(availableArea(screen))); });
    }
    model_->appear();
    lastSessionID_ = deps_.chat.currentSessionID();
    lastAwaitingFocus_ = deps_.awaiting.pendingFocus();
    appeared_ = true;
    render();
}

void MainWindow::chatChanged() {
    if (appeared_) {
        if (deps_.chat.pendingSessionFocus()) {
            model_->pendingSessionFocusChanged();
        }
        const auto current = deps_.chat.currentSessionID();
        if (current != lastSessionID_) {
            lastSessionID_ = current;
            model_->currentSessionChanged();
        }
    }
    render();
}

void MainWindow::awaitingChanged() {
    const bool focus = deps_.awaiting.pendingFocus();
    if (appeared_ && focus && !lastAwaitingFocus_) {
        model_->awaitingPendingFocusChanged();
    }
    lastAwaitingFocus_ = deps_.awaiting.pendingFocus();
    render();
}

void MainWindow::catchUp(const AwaitingReply& reply) {
    if (!model_->catchUp(reply)) {
        return;
    }
    render();
    // The chat that answers takes the keyboard: the control pressed went with the awaiting
    // screen, and the toolkit would have moved the focus on to the sidebar's New Chat, where a
    // second Return started another chat.
    if (shown_ == MainWindowModel::Detail::chat) {
        chatPage_->setFocus(Qt::OtherFocusReason);
    }
}

void MainWindow::render() {
    sidebar_->render(model_->selection());
    shown_ = model_->detail();
    switch (shown_) {
        case MainWindowModel::Detail::awaitingReplies:
            if (!awaitingPage_) {
                awaitingPage_ = makeAwaitingPage();
                detail_->addWidget(awaitingPage_);
            }
            detail_->setCurrentWidget(awaitingPage_);
            setWindowTitle("Vask");
            return;
        case MainWindowModel::Detail::signedOut:
            signedOutDescription_->setText(
                qs(MainWindowModel::signedOutDescription(deps_.hasTray && deps_.hasTray())));
            detail_->setCurrentWidget(signedOutPage_);
            break;
        case MainWindowModel::Detail::syncing: {
            const auto error = deps_.sync.lastError();
            syncError_->setText(error ? qs(*error) : QString());
            syncError_->setVisible(error.has_value());
            detail_->setCurrentWidget(syncingPage_);
            break;
        }
        case MainWindowModel::Detail::chat:
            if (!chatPage_) {
                chatPage_ = deps_.makeChatView ? deps_.makeChatView() : new QWidget;
                chatPage_->setObjectName("conversation");
                detail_->addWidget(chatPage_);
            }
            detail_->setCurrentWidget(chatPage_);
            break;
    }
    // The chat's title names the window whatever covers the chat.
    const auto title = deps_.chat.currentTitle();
    setWindowTitle(title.empty() ? QString("Vask") : qs(title));
}

}  // namespace vask::ui
