#include "ui/window_registry.h"

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
        if (window && window->isVisible()) {
            return true;
        }
    }
    return false;
}

}  // namespace vask::ui
