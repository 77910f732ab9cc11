#include "ui/window_registry.h"

#include <QApplication>
#include <QKeyEvent>

namespace vask::ui {

void WindowRegistry::registerWindow(const QString& id, const Factory& factory) {
    factories_.insert(id, factory);
}

QWidget* WindowRegistry::open(const QString& id) {
    QPointer<QWidget>& slot = windows_[id];
    if (!slot) {
        const auto factory = factories_.find(id);
        if (factory == factories_.end()) {
            return nullptr;
        }
        slot = (*factory)();
        slot->setAttribute(Qt::WA_DeleteOnClose, false);
        slot->setObjectName(id);
    }
    // A minimised window is shown already, yet out of sight: opening brings it back.
    if (slot->isMinimized()) {
        slot->setWindowState(slot->windowState() & ~Qt::WindowMinimized);
    }
    slot->show();
    slot->raise();
    slot->activateWindow();
    return slot;
}

void WindowRegistry::close(const QString& id) {
    if (QWidget* window = this->window(id)) {
        window->close();
    }
}

QWidget* WindowRegistry::window(const QString& id) const {
    return windows_.value(id);
}

bool WindowRegistry::hasVisibleWindow() const {
    for (const auto& window : windows_) {
        if (window && window->isVisible() && !window->isMinimized()) {
            return true;
        }
    }
    return false;
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
