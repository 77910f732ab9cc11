#include "ui/main_window/session_list_view.h"

#include <QKeyEvent>

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
    const bool opens = (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
                        event->key() == Qt::Key_Space) &&
                       (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (!opens) {
        picking(picking_, [&] { QListView::keyPressEvent(event); });
        return;
    }
    // The current row is the one shown; with none, the first row that opens a screen.
    event->accept();
    if (currentIndex().isValid() || model() == nullptr) {
        return;
    }
    for (int row = 0; row < model()->rowCount(rootIndex()); ++row) {
        const QModelIndex index = model()->index(row, 0, rootIndex());
        if (index.flags().testFlag(Qt::ItemIsSelectable)) {
            picking(picking_, [&] {
                selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
            });
            return;
        }
    }
}

}  // namespace vask::ui
