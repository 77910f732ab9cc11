#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/subscription.h"
#include "shell/main_window_model.h"
#include "ui/main_window/session_sidebar.h"
#include "ui/window_fit.h"

class QLabel;
class QSplitter;
class QStackedWidget;

namespace vask::ui {

// The window "main": the session sidebar beside the detail, which is the awaiting-reply screen,
// the chat, or in its place the signed-out or syncing notice.
class MainWindow : public QWidget {
    Q_OBJECT
  public:
    using CatchUp = std::function<void(const AwaitingReply&)>;
    using Observe = std::function<Subscription(std::function<void()>)>;

    struct Dependencies {
        MainWindowChat chat;
        MainWindowModel::Sync sync;
        MainWindowModel::Awaiting awaiting;
        std::function<bool()> showProactiveSurfaces;
        std::function<void()> activate;
        // Call back after any change of the synchronisation or of the awaiting list and its
        // focus request. Either may be empty.
        Observe observeSync;
        Observe observeAwaiting;
        SessionSidebar::Dependencies sidebar;
        // The awaiting-reply screen, asking through `catchUp`; empty: a plain placeholder.
        // The awaiting screen, told how to catch up and whether it can now.
        std::function<QWidget*(CatchUp catchUp, std::function<bool()> canCatchUp)> makeAwaitingView;
        // The chat of the current session; empty: a plain conversation view.
        std::function<QWidget*()> makeChatView;
        // Whether Vask's icon is in a tray now, read when the signed-out notice shows (it names
        // the tray only then); empty: no tray.
        std::function<bool()> hasTray = {};
        // The signed-out notice's "Sign In…" (onboarding's sign-in); empty: no button.
        std::function<void()> signIn = {};
    };

    explicit MainWindow(Dependencies dependencies, QWidget* parent = nullptr);
    ~MainWindow() override;

    MainWindowModel& model() { return *model_; }
    SessionSidebar& sidebar() { return *sidebar_; }
    MainWindowModel::Detail shownDetail() const { return shown_; }
    // The "Catch me up" action handed to the awaiting-reply screen.
    void catchUp(const AwaitingReply& reply);

    void render();

    // What the detail asks for where the screen has room.
    static constexpr Extent detailMinimum{420, 360};
    // Shares a window's `room` between the sidebar and the detail (done for the screen the
    // window opens on).
    void fitPanesTo(Extent room);

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    SessionSidebar* makeSidebar();
    QWidget* makeSignedOutView();
    QWidget* makeAwaitingPage();
    QWidget* makeSyncingView();
    void chatChanged();
    void awaitingChanged();

    Dependencies deps_;
    std::unique_ptr<MainWindowModel> model_;
    QSplitter* split_ = nullptr;
    SessionSidebar* sidebar_ = nullptr;
    QStackedWidget* detail_ = nullptr;
    QWidget* awaitingPage_ = nullptr;
    QWidget* signedOutPage_ = nullptr;
    QLabel* signedOutDescription_ = nullptr;
    QWidget* syncingPage_ = nullptr;
    QLabel* syncError_ = nullptr;
    QWidget* chatPage_ = nullptr;
    MainWindowModel::Detail shown_ = MainWindowModel::Detail::chat;
    bool appeared_ = false;
    bool followsScreen_ = false;
    std::optional<std::string> lastSessionID_;
    bool lastAwaitingFocus_ = false;
    std::vector<Subscription> subscriptions_;
};

}  // namespace vask::ui
