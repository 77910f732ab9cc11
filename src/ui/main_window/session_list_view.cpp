#include "ui/main_window/session_list_view.h"

#include <QFocusEvent>

#include <utility>

namespace vask::ui {

namespace {

// Marks the view as picking while `handle` runs.
template <typename Handle>
void picking(bool& flag, Handle&& handle) {
    const bool was = std::exchange(flag, true);
    std::forward<Handle>(handle)();
    flag = was;
}

}  // namespace

void SessionListView::mousePressEvent(QMouseEvent* event) {
    picking(picking_, [&] { QListView::mousePressEvent(event); });
}

void SessionListView::mouseMoveEvent(QMouseEvent* event) {
    picking(picking_, [&] { QListView::mouseMoveEvent(event); });
}

void SessionListView::mouseReleaseEvent(QMouseEvent* event) {
    picking(picking_, [&] { QListView::mouseReleaseEvent(event); });
}

void SessionListView::keyPressEvent(QKeyEvent* event) {
    picking(picking_, [&] { QListView::keyPressEvent(event); });
}

void SessionListView::focusInEvent(QFocusEvent* event) {
    if (event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason) {
        picking(picking_, [&] { QListView::focusInEvent(event); });
    } else {
        QListView::focusInEvent(event);
    }
}

}  // namespace vask::ui
