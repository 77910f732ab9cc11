#pragma once

#include <QObject>

#include <atomic>
#include <functional>
#include <map>
#include <vector>

#include "platform/alert_presenter.h"
#include "platform/executor.h"
#include "platform/url_opener.h"
#include "shell/application_activation.h"

class QAbstractButton;
class QMessageBox;
class QPixmap;
class QString;

namespace vask::ui {

// The main executor of the application: the Qt event loop. post() may be called from any thread.
// At quit it stops accepting: results that workers finish afterwards are dropped, never run on
// a dying application.
class QtMainExecutor final : public MainExecutor {
  public:
    void post(Task task) override;
    void stopAccepting() { accepting_ = false; }

  private:
    std::atomic<bool> accepting_{true};
};

// Lays `alert` out in `box`: icon, texts and its buttons (OK when it names none), the first one
// the default. Returns the buttons in the alert's order.
std::vector<QAbstractButton*> fillAlertBox(QMessageBox& box, const Alert& alert);

// The About box, one at a time: asked for again, the open one comes to the front. It is wide
// enough for the window manager to show its title whole beside the title bar's buttons.
QMessageBox* showAboutBox(const QString& title, const QString& html, const QPixmap& icon);

// Modal message boxes; the first button is the default.
class QtAlertPresenter final : public AlertPresenter {
  public:
    int runModal(const Alert& alert) override;
};

class QtClipboard final : public Clipboard {
  public:
    void setText(const std::string& text) override;
};

// Opens through the desktop (xdg-open and friends).
class QtUrlOpener final : public UrlOpener {
  public:
    bool open(const std::string& url) override;
};

// The application becomes active when one of its windows gets the focus, and once right after
// launch (a tray application may never have a focused window).
class QtApplicationActivation final : public QObject, public ApplicationActivation {
    Q_OBJECT
  public:
    QtApplicationActivation();

    bool isActive() const override;
    void activateIgnoringOtherApps() override;
    Subscription observeDidBecomeActive(std::function<void()> handler) override;

    // Tells every observer once; the launch calls it when start-up is done.
    void announceLaunchActivation();

  private:
    void notify();

    int nextId_ = 0;
    std::map<int, std::function<void()>> handlers_;
};

}  // namespace vask::ui
