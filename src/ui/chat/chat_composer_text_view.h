#pragma once

#include <QPlainTextEdit>

#include <functional>
#include <string>

namespace vask::ui {

// The chat's text entry: plain text over several lines. Return submits, Shift+Return starts a
// new line (a "\n", never the toolkit's U+2028 separator); keys an input method is composing
// with are left to it. The box grows with its text from one line to five, then scrolls.
class ChatComposerTextView : public QPlainTextEdit {
    Q_OBJECT
  public:
    struct Callbacks {
        std::function<void(const std::string&)> textChanged;
        std::function<void(bool)> focusChanged;
        // Return without Shift; the host decides whether anything is sent.
        std::function<void()> submit;
    };

    explicit ChatComposerTextView(Callbacks callbacks, QWidget* parent = nullptr);

    // The height the host starts the box at: the default font's size plus 3.
    static int minimumHeight();

    // Takes the text from outside (cleared after a send, set by the host). The same text leaves
    // the caret and the undo history alone; a different one puts the caret at its end.
    void setText(const std::string& text);
    std::string text() const;

    int boxHeight() const { return boxHeight_; }
    int lineHeight() const;
    bool showsScroller() const;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void updateHeight();

    Callbacks callbacks_;
    int boxHeight_ = minimumHeight();
    bool composing_ = false;
    bool settingText_ = false;
};

}  // namespace vask::ui
