#pragma once

#include <QLayout>
#include <QList>

namespace vask::ui {

// A row of controls that wraps: each goes on the line it fits on, left to right, and the next
// line starts where the width runs out, so the row is never wider than what holds it (a draft's
// Dismiss, Regenerate and Copy Reply on a small screen at twice the scale). Its least width is
// its widest control's. Lines sit at the leading edge, or at the trailing one (`Qt::AlignRight`,
// mirrored right to left).
class FlowRow final : public QLayout {
  public:
    explicit FlowRow(Qt::Alignment alignment = Qt::AlignLeft, int spacing = 8,
                     QWidget* parent = nullptr);
    ~FlowRow() override;

    void addItem(QLayoutItem* item) override;
    int count() const override;
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;
    Qt::Orientations expandingDirections() const override;
    bool hasHeightForWidth() const override;
    int heightForWidth(int width) const override;
    QSize minimumSize() const override;
    QSize sizeHint() const override;
    void setGeometry(const QRect& rect) override;

  private:
    // Lays the items out in `rect` (only measures when `apply` is false); the height taken.
    int arrange(const QRect& rect, bool apply) const;

    QList<QLayoutItem*> items_;
    Qt::Alignment alignment_;
    int gap_;
};

}  // namespace vask::ui
