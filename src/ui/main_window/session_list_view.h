#pragma once

#include <QListView>

namespace vask::ui {

// The sidebar's list. It tells a row the user made current (a click, an arrow key) from one the
// view made current by itself: a list that takes the focus (Tab into it, its window activated)
// with no current row makes its first row current, and that is no pick, so Tab changes no
// screen. Return and Space open a row: with none current, the first one that opens anything.
class SessionListView : public QListView {
  public:
    using QListView::QListView;

    // True while the list handles the user's click (or drag) or key.
    bool userIsPicking() const { return picking_; }

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    bool picking_ = false;
};

}  // namespace vask::ui
