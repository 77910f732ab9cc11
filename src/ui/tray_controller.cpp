#include "ui/tray_controller.h"

#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <utility>

#include "ui/brand_marks.h"
#include "ui/tray_presence.h"
#include "ui/window_registry.h"

namespace vask::ui {

namespace {

constexpr int gap = 4;

}  // namespace

QPoint popoverPosition(const QRect& anchor, const QSize& popover, const QRect& screen) {
    int x = anchor.center().x() - popover.width() / 2;
    int y = anchor.bottom() + gap;
    if (y + popover.height() > screen.bottom()) {
        y = anchor.top() - gap - popover.height();
    }
    x = std::clamp(x, screen.left(), std::max(screen.left(), screen.right() - popover.width() + 1));
    y = std::clamp(y, screen.top(), std::max(screen.top(), screen.bottom() - popover.height() + 1));
    return {x, y};
}

QSize popoverSize(const QRect& anchor, const QSize& preferred, const QSize& minimum,
                  const QRect& screen) {
    const int below = screen.bottom() - (anchor.bottom() + gap);
    const int above = anchor.top() - gap - screen.top();
    // An icon in a panel at the side: the popover goes beside the panel, as tall as the area.
    const bool beside = anchor.right() < screen.left() || anchor.left() > screen.right();
    const int room = beside ? screen.height() : std::max(below, above);
    return {std::min(preferred.width(), screen.width()),
            std::max(minimum.height(), std::min(preferred.height(), room))};
}

QRect popoverRoom(const QRect& screen, const QRect& available) {
    if (available != screen || screen.height() <= 4 * panelAllowance) {
        return available;
    }
    return available.adjusted(0, panelAllowance, 0, -panelAllowance);
}

TrayController::TrayController(QWidget* popover, Actions actions,
                               std::unique_ptr<TrayPresence> presence, QObject* parent)
    : QObject(parent),
      placedByCompositor_(compositorPlaces(QGuiApplication::platformName())),
      actions_(std::move(actions)),
      presence_(std::move(presence)) {
    setPopover(popover);
    // Reached over D-Bus, with no input event of Vask's: what an item brings forward comes with
    // the token the panel offered for the click, where it offers one.
    const auto add = [this](const QString& title, const std::function<void()>& action) {
        QAction* item = menu_.addAction(title);
        connect(item, &QAction::triggered, this, [action] {
            offerActivationToken(takePanelActivationToken(), OfferedToken::panel);
            action();
        });
    };
    add("Open Vask", actions_.openVask);
    add("Settings…", actions_.openSettings);
    menu_.addSeparator();
    add("About Vask", actions_.showAbout);
    if (actions_.checkForUpdates) {
        add("Check for Updates…", actions_.checkForUpdates);
    }
    menu_.addSeparator();
    add("Quit", actions_.quit);
}

TrayController::~TrayController() = default;

bool TrayController::install() {
    if (std::exchange(installed_, true)) {
        return hasIcon();
    }
    if (!presence_) {
        presence_ = std::make_unique<DesktopTrayPresence>();
    }
    connect(presence_.get(), &TrayPresence::mayHaveAppeared, this, [this] {
        if (!hasIcon() && dock()) {
            emit trayAppeared();
        }
    });
    return dock();
}

bool TrayController::dock() {
    if (icon_) {
        return true;
    }
    if (!presence_->present()) {
        return false;
    }
    icon_ = std::make_unique<QSystemTrayIcon>(trayIcon());
    icon_->setToolTip("Vask");
    icon_->setContextMenu(&menu_);
    connect(icon_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) {
                    offerActivationToken(takePanelActivationToken(), OfferedToken::panel);
                    togglePopover();
                }
            });
    icon_->show();
    return true;
}

void TrayController::togglePopover() {
    if (!popover_) {
        return;
    }
    if (popover_->isVisible()) {
        popover_->hide();
        return;
    }
    QRect anchor = icon_ ? icon_->geometry() : QRect();
    if (anchor.isEmpty()) {
        anchor = QRect(QCursor::pos(), QSize(1, 1));
    }
    showPopoverAt(anchor);
}

void TrayController::setPopover(QWidget* popover) {
    if (popover_) {
        popover_->removeEventFilter(this);
    }
    popover_ = popover;
    if (popover_) {
        popover_->installEventFilter(this);
        popoverLeast_ = popover_->minimumSize();
        popoverMost_ = popover_->maximumSize();
        adoptPopover();
    }
}

bool TrayController::compositorPlaces(const QString& platformName) {
    return platformName.startsWith(QLatin1String("wayland"));
}

void TrayController::setPlacedByCompositor(bool placed) {
    placedByCompositor_ = placed;
    adoptPopover();
}

void TrayController::adoptPopover() {
    if (!popover_) {
        return;
    }
    const Qt::WindowFlags flags = (placedByCompositor_ ? Qt::Window : Qt::Popup) |
                                  Qt::FramelessWindowHint;
    if (popover_->windowFlags() != flags) {
        popover_->setWindowFlags(flags);
        popover_->setWindowTitle(QStringLiteral("Vask"));
    }
}

QRect TrayController::iconArea() const {
    const QRect panel = icon_ ? icon_->geometry() : QRect();
    if (!panel.isEmpty()) {
        return panel;
    }
    // A tray icon is about a panel's height square; the pointer was somewhere on it.
    constexpr int reach = 24;
    return QRect(anchor_.center() - QPoint(reach, reach), QSize(2 * reach, 2 * reach));
}

bool TrayController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == popover_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->matches(QKeySequence::Cancel) && popover_->isVisible()) {
        // Esc puts the popover away, as it does a menu: the toolkit does so by itself only for a
        // popup, which the popover is not where the compositor places it.
        popover_->hide();
        return true;
    }
    if (watched == popover_ && placedByCompositor_ && event->type() == QEvent::WindowDeactivate &&
        popover_->isVisible()) {
        // The click went elsewhere.
        popover_->hide();
        return QObject::eventFilter(watched, event);
    }
    if (watched == popover_ && event->type() == QEvent::MouseButtonPress) {
        const auto* press = static_cast<QMouseEvent*>(event);
        const QPoint global = press->globalPosition().toPoint();
        if (press->button() == Qt::RightButton &&
            !popover_->rect().contains(press->position().toPoint()) &&
            iconArea().contains(global)) {
            popover_->hide();
            // Once the popover's grab is gone.
            QTimer::singleShot(0, this, [this, global] { menu_.popup(global); });
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

void TrayController::showPopoverAt(const QRect& anchor) {
    anchor_ = anchor;
    const QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
    if (placedByCompositor_) {
        sizeForCompositor(screen ? screen->geometry() : available, available);
        popover_->show();
        bringToFront(popover_);
        return;
    }
    placePopover(anchor, available);
    popover_->show();
    popover_->raise();
    popover_->activateWindow();
}

void TrayController::sizeForCompositor(const QRect& screen, const QRect& available) {
    // As tall as it would like where the screen holds it; where, the compositor says.
    const QRect room = popoverRoom(screen, available);
    popover_->setMinimumSize(popoverLeast_);
    popover_->setMaximumSize(popoverMost_);
    const QSize wanted = (popover_->sizeHint().isValid() ? popover_->sizeHint() : popover_->size())
                             .boundedTo(popoverMost_);
    popover_->setFixedSize(popoverSize(QRect(room.center().x(), room.top(), 1, 1), wanted,
                                       popover_->minimumSizeHint(), room));
}

void TrayController::placePopover(const QRect& anchor, const QRect& available) {
    // What the popover would like, laid out with nothing to limit it; a popover without a
    // preference keeps its size.
    const QSize wanted = popover_->sizeHint().isValid() ? popover_->sizeHint() : popover_->size();
    const QSize size = popoverSize(anchor, wanted, popover_->minimumSizeHint(), available);
    popover_->resize(size);
    popover_->move(popoverPosition(anchor, popover_->size(), available));
}

LastWindowWatcher::LastWindowWatcher(std::function<void()> lastClosed, QObject* parent)
    : QObject(parent), lastClosed_(std::move(lastClosed)) {}

QWidget* LastWindowWatcher::watch(QWidget* window) {
    if (window != nullptr) {
        windows_.append(window);
        window->installEventFilter(this);
    }
    return window;
}

bool LastWindowWatcher::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Hide && !event->spontaneous() && !checkPending_) {
        checkPending_ = true;
        QTimer::singleShot(0, this, [this] { check(); });
    }
    return QObject::eventFilter(watched, event);
}

void LastWindowWatcher::check() {
    checkPending_ = false;
    windows_.removeAll(nullptr);
    const bool anyLeft = std::any_of(windows_.begin(), windows_.end(),
                                     [](const QPointer<QWidget>& w) { return w->isVisible(); });
    if (!anyLeft && lastClosed_) {
        lastClosed_();
    }
}

}  // namespace vask::ui
