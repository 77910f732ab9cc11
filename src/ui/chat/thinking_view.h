#pragma once

#include <QWidget>

#include <string>

class QLabel;
class QScrollArea;

namespace vask::ui {

namespace chat_style {
class RowButton;
}

// The model's running reasoning in a panel that folds to its header. While open, the newest
// text stays in view as it grows.
class ThinkingView : public QWidget {
    Q_OBJECT
  public:
    explicit ThinkingView(const std::string& text, bool expanded = true, QWidget* parent = nullptr);

    void setText(const std::string& text);
    bool isExpanded() const { return expanded_; }
    void setExpanded(bool expanded);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    bool expanded_;
    chat_style::RowButton* header_;
    QLabel* chevron_;
    QScrollArea* scroll_;
    QLabel* text_;
};

}  // namespace vask::ui
