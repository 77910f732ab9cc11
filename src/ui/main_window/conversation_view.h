#pragma once

#include <QWidget>

#include "platform/subscription.h"
#include "shell/main_window_chat.h"

class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace vask::ui {

// A plain view of the current session: its messages in order and a line to ask the next
// question. The main window shows it where no richer chat view is supplied.
class ConversationView : public QWidget {
    Q_OBJECT
  public:
    explicit ConversationView(MainWindowChat& chat, QWidget* parent = nullptr);

    void render();

  private:
    void ask();

    MainWindowChat& chat_;
    QVBoxLayout* messages_ = nullptr;
    QLineEdit* input_ = nullptr;
    QPushButton* send_ = nullptr;
    Subscription subscription_;
};

}  // namespace vask::ui
