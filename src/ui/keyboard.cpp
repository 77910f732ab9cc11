#include "ui/keyboard.h"

#include <QAbstractButton>
#include <QApplication>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QFocusFrame>
#include <QKeyEvent>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <vector>

namespace vask::ui {

namespace {

constexpr const char* focusKeyProperty = "vaskFocusKey";
constexpr const char* standsInForProperty = "vaskStandsInFor";
constexpr const char* focusKeeperName = "vask-focus-keeper";

// Rings the widget that has the keyboard focus whenever the user did not put it there with the
// pointer: Tab and Shift+Tab, a window taking the keyboard, and Vask moving the focus itself (a
// control handing it to its stand-in, Copy Link after a failed sign-in), whatever draws the
// widget (flat buttons, lists and fields styled without a focus look of their own would show
// none). Tab in a window with one control rings that control. A pointer press puts the ring
// away until the focus moves again by other means.
class KeyboardFocusRing final : public QObject {
  public:
    explicit KeyboardFocusRing(QApplication& app) : QObject(&app) {
        app.installEventFilter(this);
        connect(&app, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
            if (now == nullptr || now->isWindow()) {
                putAway();
            }
        });
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::KeyPress: {
                const int key = static_cast<QKeyEvent*>(event)->key();
                // Where Tab moves nothing (the window's only control), it still shows where the
                // keyboard is; where it moves the focus, the focus event rings the next one.
                if ((key == Qt::Key_Tab || key == Qt::Key_Backtab) &&
                    watched == QApplication::focusWidget()) {
                    ring(QApplication::focusWidget());
                }
                break;
            }
            case QEvent::MouseButtonPress:
                putAway();
                break;
            case QEvent::FocusIn:
                if (watched->isWidgetType()) {
                    if (static_cast<QFocusEvent*>(event)->reason() == Qt::MouseFocusReason) {
                        putAway();
                    } else {
                        ring(static_cast<QWidget*>(watched));
                    }
                }
                break;
            default:
                break;
        }
        return QObject::eventFilter(watched, event);
    }

    // Whether `widget` shows the ring now: the keyboard, or Vask, put the focus there.
    bool rings(const QWidget* widget) const {
        return frame_ && frame_->isVisible() && frame_->widget() == widget;
    }

  private:
    void ring(QWidget* widget) {
        if (widget == nullptr || widget->isWindow() || !widget->hasFocus()) {
            putAway();
            return;
        }
        if (!frame_) {
            frame_ = new QFocusFrame;
            frame_->setObjectName("keyboardFocusRing");
        }
        frame_->setWidget(widget);
        frame_->show();
    }

    void putAway() {
        if (frame_) {
            frame_->setWidget(nullptr);
            frame_->hide();
        }
    }

    QPointer<QFocusFrame> frame_;
};

QPointer<KeyboardFocusRing>& focusRing() {
    static QPointer<KeyboardFocusRing> ring;
    return ring;
}

// How a keeper moves the focus it keeps: as it came. A control the pointer focused, rebuilt
// after its click, takes the focus back without a ring.
Qt::FocusReason keptReason(bool ringed) {
    return ringed ? Qt::OtherFocusReason : Qt::MouseFocusReason;
}

// Return and Enter press the push or tool button that has the keyboard focus, in every window,
// as they do in Qt's dialogs (Space already does): the focused button takes them before any
// shortcut or default button of its window.
class ButtonKeys final : public QObject {
  public:
    explicit ButtonKeys(QApplication& app) : QObject(&app) { app.installEventFilter(this); }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride) {
            return QObject::eventFilter(watched, event);
        }
        auto* button = qobject_cast<QAbstractButton*>(watched);
        const auto* key = static_cast<QKeyEvent*>(event);
        // Key events go to the focus widget first: a button they reach as `watched` has it.
        if (button == nullptr || !isEnter(*key) || !button->isEnabled() ||
            (qobject_cast<QPushButton*>(button) == nullptr &&
             qobject_cast<QToolButton*>(button) == nullptr)) {
            return QObject::eventFilter(watched, event);
        }
        if (event->type() == QEvent::ShortcutOverride) {
            // The key is the button's: no shortcut of the window takes it.
            event->accept();
            return true;
        }
        if (!key->isAutoRepeat()) {
            button->click();
        }
        return true;
    }

  private:
    static bool isEnter(const QKeyEvent& key) {
        return (key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter) &&
               (key.modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    }
};

// Shown, or to be shown on the event loop's next turn (added to a shown layout), as far up as
// `top`.
bool shownUnder(const QWidget* widget, const QWidget* top) {
    for (const QWidget* w = widget; w != top; w = w->parentWidget()) {
        if (w == nullptr || w->isWindow() ||
            (w->isHidden() && w->testAttribute(Qt::WA_WState_ExplicitShowHide))) {
            return false;
        }
    }
    return top->isVisible();
}

// Shows now what `shownUnder` says is to be shown: a hidden widget cannot take the focus.
void showUnder(QWidget* widget, const QWidget* top) {
    std::vector<QWidget*> hidden;
    for (QWidget* w = widget; w != top; w = w->parentWidget()) {
        if (w->isHidden()) {
            hidden.push_back(w);
        }
    }
    std::for_each(hidden.rbegin(), hidden.rend(), [](QWidget* w) { w->show(); });
}

// The widget of `inside`'s window that has the keyboard focus, or has it again once the window
// is active: a window behind a dialog (Private Memory behind its confirmation) keeps its own.
QWidget* focusOf(const QWidget* inside) {
    return inside->window()->focusWidget();
}

bool isTabStop(const QWidget* widget) {
    return (widget->focusPolicy() & Qt::TabFocus) != 0 && widget->focusProxy() == nullptr;
}

bool isStandIn(const QWidget* widget) {
    return !widget->property(standsInForProperty).toStringList().isEmpty();
}

// Orders a container's Tab stops again after its rows changed: a change lays them out again
// (their parent is asked for a layout) or adds a child.
class TabOrderKeeper final : public QObject {
  public:
    TabOrderKeeper(QWidget* container, QWidget* rows) : QObject(container), container_(container) {
        rows->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        const auto type = event->type();
        if (!pending_ && (type == QEvent::LayoutRequest || type == QEvent::ChildAdded)) {
            pending_ = true;
            QTimer::singleShot(0, this, [this] {
                pending_ = false;
                orderTabStops(container_);
            });
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    QWidget* container_;
    bool pending_ = false;
};

}  // namespace

namespace {

// A row of dialog buttons (a message box's) hands the focus it is given to its first button, its
// focus proxy, and Qt's own description of the row then says it has the focus too: the
// accessibility bus reported an unnamed panel as focused while OK or "Delete Chat" had it. The
// row, no control itself, says it has the focus only when it holds it itself.
class ButtonRowAccessible final : public QAccessibleWidget {
  public:
    explicit ButtonRowAccessible(QWidget* row) : QAccessibleWidget(row, QAccessible::Grouping) {}

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.focused = QApplication::focusWidget() == widget();
        return state;
    }
};

QAccessibleInterface* describeButtonRow(const QString& className, QObject* object) {
    if (className == QLatin1String("QDialogButtonBox") && object != nullptr &&
        object->isWidgetType()) {
        return new ButtonRowAccessible(static_cast<QWidget*>(object));
    }
    return nullptr;
}

}  // namespace

void installKeyboardHandling(QApplication& app) {
    static const bool describesButtonRows = [] {
        QAccessible::installFactory(describeButtonRow);
        return true;
    }();
    (void)describesButtonRows;
    if (!focusRing()) {
        focusRing() = new KeyboardFocusRing(app);
    }
    static QPointer<ButtonKeys> buttonKeys;
    if (!buttonKeys) {
        buttonKeys = new ButtonKeys(app);
    }
}

void markDestructive(QWidget* control) {
    control->setProperty("vaskDestructive", true);
}

bool isDestructive(const QWidget* control) {
    return control->property("vaskDestructive").toBool();
}

void focusFirstField(QWidget* window) {
    QWidget* first = nullptr;
    for (QWidget* stop = window->nextInFocusChain(); stop != nullptr && stop != window;
         stop = stop->nextInFocusChain()) {
        if (isTabStop(stop) && stop->isVisibleTo(window) && stop->isEnabled() &&
            stop->window() == window && !isDestructive(stop)) {
            first = stop;
            break;
        }
    }
    if (first != nullptr) {
        first->setFocus(Qt::OtherFocusReason);
    }
}

void orderTabStops(QWidget* container) {
    QWidget* previous = nullptr;
    for (QWidget* widget : container->findChildren<QWidget*>()) {
        // A combo box's list is a window of its own, reached only from the box.
        if (!isTabStop(widget) || widget->window() != container->window()) {
            continue;
        }
        if (previous != nullptr) {
            QWidget::setTabOrder(previous, widget);
        }
        previous = widget;
    }
}

void keepTabStopsInReadingOrder(QWidget* container, QWidget* rows) {
    new TabOrderKeeper(container, rows);
}

void scrollIntoView(QScrollArea* area, QWidget* from, QWidget* to) {
    QWidget* page = area->widget();
    const int top = from->mapTo(page, QPoint(0, 0)).y();
    const int bottom = to->mapTo(page, QPoint(0, to->height())).y();
    const int view = area->viewport()->height();
    QScrollBar* bar = area->verticalScrollBar();
    int value = bar->value();
    if (bottom - top > view || bottom > value + view) {
        value = bottom - view;
    } else if (top < value) {
        value = top;
    }
    bar->setValue(value);
}

void setFocusKey(QWidget* control, const QString& key) {
    control->setProperty(focusKeyProperty, key);
}

QString focusKey(const QWidget* control) {
    const QVariant key = control->property(focusKeyProperty);
    return key.isValid() ? key.toString() : control->objectName();
}

void setStandsInFor(QWidget* widget, const QStringList& keys) {
    widget->setProperty(standsInForProperty, keys);
}

FocusKeeper::FocusKeeper(QWidget* section) : QObject(section), section_(section) {
    setObjectName(focusKeeperName);
}

FocusKeeper& FocusKeeper::of(QWidget* section) {
    auto* found = section->findChild<FocusKeeper*>(focusKeeperName, Qt::FindDirectChildrenOnly);
    return found != nullptr ? *found : *new FocusKeeper(section);
}

FocusKeeper::Rebuild::Rebuild(QWidget* section) : keeper_(FocusKeeper::of(section)) {
    if (keeper_.depth_++ == 0) {
        keeper_.note();
    }
}

FocusKeeper::Rebuild::~Rebuild() {
    if (--keeper_.depth_ == 0) {
        keeper_.restore();
    }
}

void FocusKeeper::note() {
    QWidget* focus = focusOf(section_);
    if (focus == nullptr || (focus != section_ && !section_->isAncestorOf(focus))) {
        wanted_.clear();
        waiting_ = nullptr;
        return;
    }
    // Moved by the user since it was put there: the control focused now is the one to keep.
    if (focus != waiting_) {
        wanted_ = focus == section_ ? QString() : focusKey(focus);
        waiting_ = nullptr;
        ringed_ = !focusRing() || focusRing()->rings(focus);
    }
    if (focus != section_) {
        watched_ = focus;
        focus->installEventFilter(this);
    }
}

bool FocusKeeper::eventFilter(QObject* watched, QEvent* event) {
    // Hidden (itself or with what holds it) while it has the focus: the toolkit would move the
    // focus on to the next control, scrolling that into view; it waits here instead.
    if (watched == watched_ && event->type() == QEvent::Hide && focusOf(section_) == watched_) {
        waiting_ = section_;
        section_->setFocus(keptReason(ringed_));
    }
    return QObject::eventFilter(watched, event);
}

void FocusKeeper::restore() {
    if (watched_) {
        watched_->removeEventFilter(this);
    }
    // Still on the control it had (a stand-in holding the place is no such control).
    const bool kept = watched_ && watched_ != waiting_ && focusOf(section_) == watched_;
    watched_ = nullptr;
    if (kept || wanted_.isEmpty() || waiting_ == nullptr || focusOf(section_) != waiting_) {
        return;
    }
    QWidget* control = find(wanted_);
    if (control == nullptr) {
        return;
    }
    showUnder(control, section_);
    control->setFocus(keptReason(ringed_));
    // A stand-in that is no control only holds the place until the control comes back.
    waiting_ = isTabStop(control) ? nullptr : control;
}

QWidget* FocusKeeper::find(const QString& key) const {
    const auto children = section_->findChildren<QWidget*>();
    const auto usable = [this](const QWidget* widget) {
        return widget->isEnabled() && shownUnder(widget, section_);
    };
    // A stand-in that held the place is found under its own name too.
    for (QWidget* widget : children) {
        if (focusKey(widget) == key && (isTabStop(widget) || isStandIn(widget)) && usable(widget)) {
            return widget;
        }
    }
    for (QWidget* widget : children) {
        if (widget->property(standsInForProperty).toStringList().contains(key) && usable(widget)) {
            return widget;
        }
    }
    return nullptr;
}

StandardKeys::Command StandardKeys::commandFor(int key, Qt::KeyboardModifiers modifiers) {
    // Keypad and group-switch bits say nothing about which command was meant.
    const auto held = modifiers & ~(Qt::KeypadModifier | Qt::GroupSwitchModifier);
    if (held != Qt::ControlModifier) {
        return Command::none;
    }
    switch (key) {
        case Qt::Key_Q:
            return Command::quit;
        case Qt::Key_W:
            return Command::closeWindow;
        case Qt::Key_Comma:
            return Command::openSettings;
        default:
            return Command::none;
    }
}

StandardKeys::StandardKeys(Actions actions, QObject* parent)
    : QObject(parent), actions_(std::move(actions)) {
    qApp->installEventFilter(this);
}

bool StandardKeys::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress || !watched->isWidgetType()) {
        return false;
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    switch (commandFor(key->key(), key->modifiers())) {
        case Command::none:
            return false;
        case Command::quit:
            if (actions_.quit) {
                actions_.quit();
            }
            return true;
        case Command::closeWindow:
            // The window the key was pressed in: the first to see a key press is the focused
            // widget, in a popup (the tray's popover) too, which is never the active window.
            static_cast<QWidget*>(watched)->window()->close();
            return true;
        case Command::openSettings:
            if (actions_.openSettings) {
                actions_.openSettings();
            }
            return true;
    }
    return false;
}

}  // namespace vask::ui
