#pragma once

#include <QObject>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
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

// Qt's message box opens a link in its texts by itself, through the toolkit's own desktop
// services: past Vask's opener, with Vask's whole environment and inherited descriptors, and
// with no word when it fails. Every box shown turns that off.
void closeQtLinkOpening(QMessageBox& box);

// The About box, one at a time: asked for again, the open one comes to the front. It is wide
// enough for the window manager to show its title whole beside the title bar's buttons. Its links
// open through `opener`, and one that did not open is said in the box.
QMessageBox* showAboutBox(const QString& title, const QString& html, const QPixmap& icon,
                          UrlOpener& opener);

// Message boxes whose caller waits for the answer, modal to their own window only (the rest of
// Vask stays usable); the first button is the default.
class QtAlertPresenter final : public AlertPresenter {
  public:
    int runModal(const Alert& alert) override;
};

class QtClipboard final : public Clipboard {
  public:
    void setText(const std::string& text) override;
};

// Opens through the desktop's opener (xdg-open), whose exit status says whether the address was
// shown: a link nothing on the desktop takes is reported, not dropped.
class QtUrlOpener final : public UrlOpener {
  public:
    QtUrlOpener();
    ~QtUrlOpener() override;
    bool open(const std::string& url) override;
    void openReporting(const std::string& url, Finished finished) override;

  private:
    std::unique_ptr<UrlOpener> opener_;
};

// The one way a view opens an address: through `opener`, and when it was not shown, `failed`
// runs on the GUI thread with the words to show ("Couldn't open the link (...)"), while
// `asker` still exists. `what` names the address for the user ("the link", "the account
// page"). The failure is logged too, without the address (it may be private).
void openFor(QObject* asker, UrlOpener& opener, const std::string& url, const std::string& what,
             std::function<void(const QString& failure)> failed);

// The application becomes active when one of its windows gets the focus, and once right after
// launch (a tray application may never have a focused window).
class QtApplicationActivation final : public QObject, public ApplicationActivation {
    Q_OBJECT
  public:
    QtApplicationActivation();

    bool isActive() const override;
    // Brings forward the window Vask last brought to the front, while its activation has not
    // landed, else the active window (`windowToActivate`).
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
