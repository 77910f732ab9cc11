#pragma once

#include <QListView>

namespace vask::ui {

// The sidebar's list. It tells a row the user made current (a click, a key, Tab into the list)
// from one the view made current by itself: a list that takes focus back with its window, with
// no current row, makes its first row current, and that is no pick.
class SessionListView : public QListView {
  public:
    using QListView::QListView;

    // True while the list handles the user's click (or drag), key or Tab.
    bool userIsPicking() const { return picking_; }

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

  private:
    bool picking_ = false;
};

}  // namespace vask::ui
