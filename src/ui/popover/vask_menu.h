#pragma once

#include <QFrame>
#include <QPointer>
#include <QPushButton>

#include <functional>
#include <vector>

#include "platform/subscription.h"
#include "platform/url_opener.h"
#include "shell/popover_model.h"
#include "ui/theme.h"

class QLabel;
class QStackedWidget;
class QVBoxLayout;

namespace vask::ui {

// One line of the popover's error list: copies "[label] message" when clicked and says "Copied"
// for a moment.
class ErrorRow : public QPushButton {
    Q_OBJECT
  public:
    ErrorRow(popover::ErrorEntry entry, Clipboard& clipboard, QWidget* parent = nullptr);

    bool isShowingCopied() const { return copied_; }
    void copyToClipboard();
    // The label's red and the green of "Copied", readable on the popover in `appearance`.
    static QColor labelColour(Appearance appearance);
    static QColor copiedColour(Appearance appearance);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    popover::ErrorEntry entry_;
    Clipboard& clipboard_;
    bool copied_ = false;
};

// The menu-bar popover: the set-up prompt until the user is signed in with access to the
// Messages database, then the quick chat with its header, syncing row and status bar.
class VaskMenu : public QFrame {
    Q_OBJECT
  public:
    struct Actions {
        std::function<void()> openMain;
        std::function<void()> openOnboarding;
    };

    // `chatView` is the popover chat's view; the popover takes it over.
    VaskMenu(PopoverModel& model, QWidget* chatView, Clipboard& clipboard, Actions actions,
             QWidget* parent = nullptr);

    static constexpr int width = 340;
    static constexpr int height = 500;

    // Re-reads everything shown from the models.
    void render();
    // Its size where the screen has room for it.
    QSize sizeHint() const override;

    // The outline around the popover, which sets it off from the windows behind it: a
    // desktop without a compositor draws no shadow.
    static Shade outline();

  protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    QWidget* makeHeader();
    QWidget* makeSetupPrompt();
    QWidget* makeMainView(QWidget* chatView);
    void dismissThen(const std::function<void()>& action);

    PopoverModel& model_;
    Clipboard& clipboard_;
    Actions actions_;
    QStackedWidget* pages_ = nullptr;
    QWidget* syncingRow_ = nullptr;
    QWidget* errorBlock_ = nullptr;
    QVBoxLayout* errorRows_ = nullptr;
    QLabel* countIcon_ = nullptr;
    QLabel* countLabel_ = nullptr;
    std::vector<popover::ErrorEntry> shownErrors_;
    std::vector<Subscription> subscriptions_;
};

}  // namespace vask::ui
