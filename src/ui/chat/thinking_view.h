#pragma once

#include <QWidget>

#include <cstddef>
#include <string_view>

class QLabel;
class QPlainTextEdit;

namespace vask::ui {

namespace chat_style {
class RowButton;
}

// The model's running reasoning in a panel that folds to its header. While open, the newest
// text stays in view as it grows. The reasoning arrives in small pieces that are appended; only
// its newest part is kept on screen, so a long reasoning costs the same per piece as a short one.
class ThinkingView : public QWidget {
    Q_OBJECT
  public:
    explicit ThinkingView(std::string_view text, bool expanded = true, QWidget* parent = nullptr);

    // Replaces what is shown.
    void setText(std::string_view text);
    // Adds the next piece at the end.
    void append(std::string_view piece);
    bool isExpanded() const { return expanded_; }
    void setExpanded(bool expanded);

    // The text on screen, at most about `keptCharacters` long; for tests.
    QString shownText() const;
    // How much of the newest reasoning stays on screen (UTF-16 units); older text is dropped in
    // chunks of the same size, so dropping costs no more than appending.
    static constexpr int keptCharacters = 12000;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void dropOldText();
    void fitHeight(bool force = false);

    bool expanded_;
    chat_style::RowButton* header_;
    QLabel* chevron_;
    QPlainTextEdit* text_;
};

}  // namespace vask::ui
