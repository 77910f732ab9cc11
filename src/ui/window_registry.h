#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

namespace vask::ui {

// The application's top-level windows by identifier ("main", "onboarding", "settings"). A window
// is made on first open and kept (closing hides it), so its state survives being closed. Nothing
// opens by itself at launch.
class WindowRegistry : public QObject {
    Q_OBJECT
  public:
    using Factory = std::function<QWidget*()>;

    void registerWindow(const QString& id, const Factory& factory);
    // Makes the window when needed, shows it (restored, when it was minimised) and brings it to
    // the front.
    QWidget* open(const QString& id);
    void close(const QString& id);
    QWidget* window(const QString& id) const;
    // Whether a window is in sight: a minimised one is not.
    bool hasVisibleWindow() const;

  private:
    QHash<QString, Factory> factories_;
    QHash<QString, QPointer<QWidget>> windows_;
};

// The desktop's usual keys in every window of the application: Ctrl+Q quits, Ctrl+W closes the
// window it is pressed in (a popup too), Ctrl+, opens the settings. Filters the application's key
// presses.
class StandardKeys : public QObject {
    Q_OBJECT
  public:
    enum class Command { none, quit, closeWindow, openSettings };
    struct Actions {
        std::function<void()> quit;
        std::function<void()> openSettings;
    };

    static Command commandFor(int key, Qt::KeyboardModifiers modifiers);

    StandardKeys(Actions actions, QObject* parent);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    Actions actions_;
};

}  // namespace vask::ui
