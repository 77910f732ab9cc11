#include "ui/qt_platform.h"

#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QUrl>
#include <QWidget>

#include "foundation/application_secrets.h"
#include "foundation/structured_logger.h"
#include "platform/open_command.h"
#include "platform/url.h"
#include "ui/window_registry.h"

namespace vask::ui {

namespace {

// Return, Enter and Space on a label whose link has the keyboard focus open the link there, as
// a click does: they never reach the box's default button.
class LinkKeys final : public QObject {
  public:
    LinkKeys(QLabel* label, std::function<void(const QString&)> open)
        : QObject(label), open_(std::move(open)) {
        label->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride) {
            return QObject::eventFilter(watched, event);
        }
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool opens = (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter ||
                            key->key() == Qt::Key_Space) &&
                           (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        static const QRegularExpression link(QStringLiteral("href=\"([^\"]+)\""));
        const auto match = link.match(static_cast<QLabel*>(watched)->text());
        if (!opens || !match.hasMatch()) {
            return QObject::eventFilter(watched, event);
        }
        event->accept();
        if (event->type() == QEvent::KeyPress && !key->isAutoRepeat()) {
            open_(match.captured(1));
        }
        return true;
    }

  private:
    std::function<void(const QString&)> open_;
};

// Room in a title bar beside its title: the window menu and the three buttons.
constexpr int aboutTitleBarAllowance = 160;

// A message box sizes itself to its text; a spanning spacer is the one way to widen it. The
// title bar's font is the desktop's, often larger than ours, and its buttons take room too. The
// box lays itself out anew when its informative text comes or goes, so this is done again then.
void widenForTitle(QMessageBox& box) {
    const int titleWidth = QFontMetrics(QApplication::font()).horizontalAdvance(box.windowTitle());
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        grid->addItem(new QSpacerItem(titleWidth * 3 / 2 + aboutTitleBarAllowance, 0,
                                      QSizePolicy::Minimum, QSizePolicy::Expanding),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
}

// The About box says under its text why its link did not open, until the link is clicked again.
void sayAboutOpenFailure(QMessageBox& box, const QString& failure) {
    if (failure == box.informativeText()) {
        return;
    }
    box.setInformativeText(failure);
    if (auto* said = box.findChild<QLabel*>("qt_msgbox_informativelabel")) {
        said->setTextFormat(Qt::PlainText);
    }
    closeQtLinkOpening(box);
    widenForTitle(box);
}

}  // namespace

void QtMainExecutor::post(Task task) {
    if (!accepting_ || qApp == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(qApp, std::move(task), Qt::QueuedConnection);
}

std::vector<QAbstractButton*> fillAlertBox(QMessageBox& box, const Alert& alert) {
    switch (alert.style) {
        case Alert::Style::informational:
            box.setIcon(QMessageBox::Information);
            break;
        case Alert::Style::warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case Alert::Style::critical:
            box.setIcon(QMessageBox::Critical);
            break;
    }
    box.setText(QString::fromStdString(alert.messageText));
    box.setInformativeText(QString::fromStdString(alert.informativeText));
    std::vector<QAbstractButton*> buttons;
    for (const auto& title : alert.buttons) {
        buttons.push_back(box.addButton(QString::fromStdString(title), QMessageBox::AcceptRole));
    }
    if (buttons.empty()) {
        buttons.push_back(box.addButton(QMessageBox::Ok));
    }
    box.setDefaultButton(qobject_cast<QPushButton*>(buttons.front()));
    closeQtLinkOpening(box);
    return buttons;
}

void closeQtLinkOpening(QMessageBox& box) {
    for (auto* label : box.findChildren<QLabel*>()) {
        label->setOpenExternalLinks(false);
    }
}

QMessageBox* showAboutBox(const QString& title, const QString& html, const QPixmap& icon,
                          UrlOpener& opener) {
    static QPointer<QMessageBox> open;
    if (!open) {
        open = new QMessageBox;
        open->setAttribute(Qt::WA_DeleteOnClose);
        // A window of its own that blocks nothing: a message box is application-modal by itself,
        // which would leave the tray icon, Ctrl+, and every window without input while it is up
        // (behind the browser its link opened, nothing would reach it).
        open->setWindowModality(Qt::NonModal);
        open->setWindowTitle(title);
        open->setIconPixmap(icon);
        open->setTextFormat(Qt::RichText);
        open->setText(html);
        open->setStandardButtons(QMessageBox::Ok);
        // It opens with the keyboard on OK: the box's first Tab stop is its link, where Return
        // meant to close the box opened the website.
        open->setDefaultButton(QMessageBox::Ok);
        open->button(QMessageBox::Ok)->setFocus(Qt::OtherFocusReason);
        closeQtLinkOpening(*open);
        widenForTitle(*open);
        if (auto* text = open->findChild<QLabel*>("qt_msgbox_label")) {
            // Its link is reached by Tab, as the OK button is, and opened by Return or Space.
            text->setTextInteractionFlags(text->textInteractionFlags() |
                                          Qt::LinksAccessibleByKeyboard);
            const auto openLink = [box = open.data(), &opener](const QString& url) {
                sayAboutOpenFailure(*box, {});
                openFor(box, opener, url.toStdString(), "the link",
                        [box](const QString& failure) { sayAboutOpenFailure(*box, failure); });
            };
            QObject::connect(text, &QLabel::linkActivated, open, openLink);
            new LinkKeys(text, openLink);
        }
    }
    if (open->isMinimized()) {
        open->setWindowState(open->windowState() & ~Qt::WindowMinimized);
    }
    open->show();
    bringToFront(open);
    return open;
}

int QtAlertPresenter::runModal(const Alert& alert) {
    QMessageBox box;
    const auto buttons = fillAlertBox(box, alert);
    // Its caller waits for the answer, while the rest of Vask stays usable: modal to its own
    // window (it has no parent), never to the application, so that an alert a background action
    // shows leaves the tray icon and every window taking input.
    box.setWindowModality(Qt::WindowModal);
    box.exec();
    const auto chosen = std::find(buttons.begin(), buttons.end(), box.clickedButton());
    return chosen == buttons.end() ? -1 : static_cast<int>(chosen - buttons.begin());
}

void QtClipboard::setText(const std::string& text) {
    QGuiApplication::clipboard()->setText(QString::fromStdString(text));
}

QtUrlOpener::QtUrlOpener()
    : opener_(std::make_unique<CommandUrlOpener>(
          std::vector<std::string>{"xdg-open"},
          std::make_shared<OpenCommandRunner>(isApplicationSecret))) {}

QtUrlOpener::~QtUrlOpener() = default;

bool QtUrlOpener::open(const std::string& url) {
    return opener_->open(url);
}

void QtUrlOpener::openReporting(const std::string& url, Finished finished) {
    opener_->openReporting(url, std::move(finished));
}

void openFor(QObject* asker, UrlOpener& opener, const std::string& url, const std::string& what,
             std::function<void(const QString& failure)> failed) {
    // The verdict may come on the opener's own thread: it reaches the asker on its thread.
    opener.openReporting(url, [asker = QPointer<QObject>(asker), what, scheme = Url::parse(url),
                               failed = std::move(failed)](std::optional<std::string> failure) {
        if (!failure || qApp == nullptr) {
            return;
        }
        QMetaObject::invokeMethod(
            qApp,
            [asker, what, scheme, failed, failure = std::move(failure)] {
                static const StructuredLogger logger("ui");
                logger.error("url_open_failed",
                             {{"what", what},
                              {"scheme", scheme ? scheme->scheme() : std::string("none")},
                              {"error", *failure}});
                if (asker && failed) {
                    failed(QString::fromStdString(openFailureText(what, *failure)));
                }
            },
            Qt::QueuedConnection);
    });
}

QtApplicationActivation::QtApplicationActivation() {
    connect(qApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
                if (state == Qt::ApplicationActive) {
                    notify();
                }
            });
}

bool QtApplicationActivation::isActive() const {
    return QGuiApplication::applicationState() == Qt::ApplicationActive;
}

void QtApplicationActivation::activateIgnoringOtherApps() {
    // The window just opened or brought forward, when its activation has not landed yet: the
    // active window then is still the one it is opened over.
    if (QWidget* window = windowToActivate()) {
        bringToFront(window);
    }
}

Subscription QtApplicationActivation::observeDidBecomeActive(std::function<void()> handler) {
    const int id = nextId_++;
    handlers_.emplace(id, std::move(handler));
    return Subscription([this, id] { handlers_.erase(id); });
}

void QtApplicationActivation::announceLaunchActivation() {
    notify();
}

void QtApplicationActivation::notify() {
    // A handler may subscribe or unsubscribe others.
    const auto handlers = handlers_;
    for (const auto& [id, handler] : handlers) {
        if (handlers_.contains(id)) {
            handler();
        }
    }
}

}  // namespace vask::ui
