#include "ui/flow_row.h"

#include <QWidget>

#include <algorithm>
#include <vector>

namespace vask::ui {

FlowRow::FlowRow(Qt::Alignment alignment, int spacing, QWidget* parent)
    : QLayout(parent), alignment_(alignment), gap_(spacing) {
    setContentsMargins(0, 0, 0, 0);
}

FlowRow::~FlowRow() {
    while (QLayoutItem* item = takeAt(0)) {
        delete item;
    }
}

void FlowRow::addItem(QLayoutItem* item) {
    items_.append(item);
}

int FlowRow::count() const {
    return static_cast<int>(items_.size());
}

QLayoutItem* FlowRow::itemAt(int index) const {
    return index >= 0 && index < items_.size() ? items_.at(index) : nullptr;
}

QLayoutItem* FlowRow::takeAt(int index) {
    return index >= 0 && index < items_.size() ? items_.takeAt(index) : nullptr;
}

Qt::Orientations FlowRow::expandingDirections() const {
    return {};
}

bool FlowRow::hasHeightForWidth() const {
    return true;
}

int FlowRow::heightForWidth(int width) const {
    return arrange(QRect(0, 0, width, 0), false);
}

QSize FlowRow::minimumSize() const {
    QSize size;
    for (const QLayoutItem* item : items_) {
        if (!item->isEmpty()) {
            size = size.expandedTo(item->minimumSize());
        }
    }
    const QMargins margins = contentsMargins();
    return size + QSize(margins.left() + margins.right(), margins.top() + margins.bottom());
}

QSize FlowRow::sizeHint() const {
    // On one line, where there is the room.
    int width = 0;
    int height = 0;
    for (const QLayoutItem* item : items_) {
        if (item->isEmpty()) {
            continue;
        }
        width += (width > 0 ? gap_ : 0) + item->sizeHint().width();
        height = std::max(height, item->sizeHint().height());
    }
    const QMargins margins = contentsMargins();
    return {width + margins.left() + margins.right(), height + margins.top() + margins.bottom()};
}

void FlowRow::setGeometry(const QRect& rect) {
    QLayout::setGeometry(rect);
    arrange(rect, true);
}

int FlowRow::arrange(const QRect& rect, bool apply) const {
    const QRect area = rect.marginsRemoved(contentsMargins());
    const bool trailing = (alignment_ & Qt::AlignRight) != 0;
    const bool mirrored = parentWidget() != nullptr && parentWidget()->isRightToLeft();
    // Lines of items with their sizes, filled as far as the width goes.
    struct Placed {
        QLayoutItem* item;
        QSize size;
    };
    std::vector<std::vector<Placed>> lines(1);
    int used = 0;
    for (QLayoutItem* item : items_) {
        if (item->isEmpty()) {
            continue;
        }
        QSize size =
            item->sizeHint().boundedTo(item->maximumSize()).expandedTo(item->minimumSize());
        size.setWidth(std::min(size.width(), std::max(area.width(), item->minimumSize().width())));
        const int needed = (lines.back().empty() ? 0 : used + gap_) + size.width();
        if (!lines.back().empty() && needed > area.width()) {
            lines.emplace_back();
            used = 0;
        }
        used = (lines.back().empty() ? 0 : used + gap_) + size.width();
        lines.back().push_back({item, size});
    }
    if (lines.front().empty()) {
        return 0;
    }
    int y = area.y();
    for (const auto& line : lines) {
        if (line.empty()) {
            continue;
        }
        int width = 0;
        int height = 0;
        for (const auto& placed : line) {
            width += (width > 0 ? gap_ : 0) + placed.size.width();
            height = std::max(height, placed.size.height());
        }
        int x = trailing != mirrored ? area.right() + 1 - width : area.x();
        if (apply) {
            // Right to left, the first item is at the right end.
            std::vector<Placed> ordered(line);
            if (mirrored) {
                std::reverse(ordered.begin(), ordered.end());
            }
            for (const auto& placed : ordered) {
                placed.item->setGeometry(
                    QRect(QPoint(x, y + (height - placed.size.height()) / 2), placed.size));
                x += placed.size.width() + gap_;
            }
        }
        y += height + gap_;
    }
    const QMargins margins = contentsMargins();
    return y - gap_ - area.y() + margins.top() + margins.bottom();
}

}  // namespace vask::ui
