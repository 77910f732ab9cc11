#include <QAccessible>
#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QDialog>
#include <QElapsedTimer>
#include <QFocusFrame>
#include <QHBoxLayout>
#include <QHash>
#include <QImage>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QStackedWidget>
#include <QStyleOptionButton>
#include <QStyleOptionSlider>
#include <QToolButton>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "contrast.h"

#include "foundation/application_secrets.h"
#include "platform/open_command.h"
#include "platform/unique_fd.h"
#include "support/eventually.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"
#include "ui/brand_marks.h"
#include "ui/keyboard.h"
#include "ui/main_window/session_sidebar.h"
#include "ui/onboarding/onboarding_controls.h"
#include "ui/popover/vask_menu.h"
#include "ui/portal_reader.h"
#include "ui/qt_platform.h"
#include "ui/settings/form_parts.h"
#include "ui/single_instance.h"
#include "ui/symbols.h"
#include "ui/theme.h"
#include "ui/tray_controller.h"
#include "ui/tray_presence.h"
#include "ui/window_fit.h"
#include "ui/window_registry.h"

namespace vask::ui {
namespace {

// Waits on the event loop until `done` holds or two seconds pass.
template <typename Predicate>
bool spinUntil(Predicate done) {
    for (int i = 0; i < 200 && !done(); ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
}

TEST(SingleInstanceTest, ALaterLaunchHandsItsURLOrAReopenToTheRunningOne) {
    test::TempDir runtime;
    test::TempDir dataFolder;
    qputenv("XDG_RUNTIME_DIR", runtime.path().c_str());
    const QString instance = "ui-test-" + QString::number(QCoreApplication::applicationPid());
    const QString data = QString::fromStdString(dataFolder.path().string());

    SingleInstance primary(instance, data);
    ASSERT_EQ(primary.claimOrForward(std::nullopt, false), SingleInstance::Role::primary);
    QStringList urls;
    int reopens = 0;
    QObject::connect(&primary, &SingleInstance::urlReceived,
                     [&](const QString& url) { urls << url; });
    QObject::connect(&primary, &SingleInstance::reopenRequested, [&] { ++reopens; });

    // A launch waits for the running instance's answer, which its event loop (here) sends.
    const auto launch = [&](std::optional<QString> url) {
        auto role = std::async(std::launch::async, [&instance, &data, url] {
            SingleInstance later(instance, data);
            return later.claimOrForward(url, false);
        });
        while (role.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return role.get();
    };
    EXPECT_EQ(launch(QString("vasktest://New?x=1")), SingleInstance::Role::forwarded);
    EXPECT_EQ(launch(std::nullopt), SingleInstance::Role::forwarded);

    EXPECT_TRUE(spinUntil([&] { return urls.size() == 1 && reopens == 1; }));
    EXPECT_EQ(urls, QStringList{"vasktest://New?x=1"});

    // A launch from a desktop launcher hands its startup id on, so the window it brings forward
    // may come to the front; one that is no id (blanks, control characters) is not sent.
    std::vector<QByteArray> ids;
    QObject::connect(&primary, &SingleInstance::reopenRequested,
                     [&](const QByteArray& id) { ids.push_back(id); });
    for (const QByteArray& id :
         {QByteArray("vask-42-host-_TIME123456"), QByteArray("a b"), QByteArray("bad\tid")}) {
        qputenv("DESKTOP_STARTUP_ID", id);
        EXPECT_EQ(launch(std::nullopt), SingleInstance::Role::forwarded);
    }
    qunsetenv("DESKTOP_STARTUP_ID");
    EXPECT_TRUE(spinUntil([&] { return ids.size() == 3; }));
    EXPECT_EQ(ids, (std::vector<QByteArray>{"vask-42-host-_TIME123456", "", ""}));
}

// The launch's activation token wins over a startup id: under Wayland the launcher hands over a
// fresh token, while a DESKTOP_STARTUP_ID may be one left over in the session's environment. What
// is no id (empty, blanks) is passed over.
TEST(SingleInstanceTest, TheActivationTokenIsPreferredToTheStartupId) {
    const std::vector<std::tuple<QByteArray, QByteArray, QByteArray>> cases = {
        {"wl-token-1", "stale-42_TIME1", "wl-token-1"},
        {"", "vask-42-host-_TIME123456", "vask-42-host-_TIME123456"},
        {"a b", "vask-42-host-_TIME123456", "vask-42-host-_TIME123456"},
        {"wl-token-1", "", "wl-token-1"},
        {"", "bad\tid", ""},
        {"", "", ""},
    };
    for (const auto& [token, startupId, chosen] : cases) {
        EXPECT_EQ(chooseStartupId(token, startupId), chosen)
            << token.toStdString() << " / " << startupId.toStdString();
    }
}

TEST(TrayControllerTest, PopoverHangsFromTheAnchorAndStaysOnScreen) {
    const QRect screen(0, 0, 1920, 1080);
    const QSize popover(340, 500);
    const std::vector<std::tuple<QRect, QPoint>> cases = {
        {QRect(1000, 0, 24, 24), QPoint(841, 27)},      // top panel: below the icon
        {QRect(1000, 1056, 24, 24), QPoint(841, 552)},  // bottom panel: above it
        {QRect(1900, 0, 20, 24), QPoint(1580, 27)},     // right edge: pushed back on screen
        {QRect(0, 0, 10, 10), QPoint(0, 13)},           // left edge
    };
    for (const auto& [anchor, expected] : cases) {
        EXPECT_EQ(popoverPosition(anchor, popover, screen), expected)
            << anchor.x() << "," << anchor.y();
    }
}

// The popover keeps the height it would like where the screen has room for it beside the icon,
// and takes the roomier side's height where it has not.
TEST(TrayControllerTest, ThePopoverIsAsTallAsTheRoomBesideItsIcon) {
    const QSize preferred(340, 500);
    const QSize minimum(340, 250);
    struct Case {
        const char* name;
        QRect screen;
        QRect anchor;
        QSize expected;
    };
    const std::vector<Case> cases = {
        {"room enough", QRect(0, 0, 1920, 1080), QRect(1000, 0, 24, 24), {340, 500}},
        {"short, panel at the top", QRect(0, 24, 683, 360), QRect(600, 0, 24, 24), {340, 356}},
        {"short, panel at the bottom", QRect(0, 0, 683, 360), QRect(600, 360, 24, 24), {340, 356}},
        {"short, panel at the side", QRect(24, 0, 659, 384), QRect(0, 300, 24, 24), {340, 384}},
        {"the pointer mid-screen", QRect(0, 0, 683, 384), QRect(300, 100, 1, 1), {340, 279}},
        {"less room than its least", QRect(0, 0, 683, 200), QRect(600, 200, 24, 24), {340, 250}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(popoverSize(c.anchor, preferred, minimum, c.screen), c.expected) << c.name;
    }
}

// Under Wayland the compositor places the popover: a window of its own rather than a popup, of a
// fixed size the screen holds (a tiling compositor floats it), never moved to the icon, put away
// when it loses the keyboard. Elsewhere it is a popup hanging from the icon.
TEST(TrayControllerTest, WhereTheCompositorPlacesThePopoverItIsAWindowOfItsOwn) {
    for (const auto& [platform, placed] : {std::pair{"wayland", true}, std::pair{"wayland-egl", true},
                                           std::pair{"xcb", false}, std::pair{"offscreen", false}}) {
        EXPECT_EQ(TrayController::compositorPlaces(platform), placed) << platform;
    }
    struct Tall final : QWidget {
        Tall() : QWidget(nullptr, Qt::Popup | Qt::FramelessWindowHint) { setFixedWidth(340); }
        QSize sizeHint() const override { return {340, 5000}; }
        QSize minimumSizeHint() const override { return {340, 200}; }
    } popover;
    TrayController tray(&popover, {.openVask = [] {},
                                   .openSettings = [] {},
                                   .showAbout = [] {},
                                   .checkForUpdates = {},
                                   .quit = [] {}});
    const QRect icon(600, 0, 24, 24);
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();

    tray.setPlacedByCompositor(true);
    EXPECT_EQ(popover.windowType(), Qt::Window);
    tray.showPopoverAt(icon);
    ASSERT_TRUE(popover.isVisible());
    EXPECT_EQ(popover.minimumSize(), popover.maximumSize()) << "a fixed size";
    EXPECT_LE(popover.height(), available.height());
    EXPECT_GE(popover.height(), 200);
    EXPECT_NE(popover.pos(), popoverPosition(icon, popover.size(), available));
    QEvent deactivated(QEvent::WindowDeactivate);
    QApplication::sendEvent(&popover, &deactivated);
    EXPECT_FALSE(popover.isVisible());

    tray.setPlacedByCompositor(false);
    EXPECT_EQ(popover.windowType(), Qt::Popup);
    tray.showPopoverAt(icon);
    ASSERT_TRUE(popover.isVisible());
    EXPECT_EQ(popover.pos(), popoverPosition(icon, popover.size(), available));
    QApplication::sendEvent(&popover, &deactivated);
    popover.hide();
}

TEST(TrayControllerTest, MenuHasNoUpdateItemWithoutAnUpdater) {
    QWidget popover;
    int quits = 0;
    TrayController tray(&popover, {.openVask = [] {},
                                   .openSettings = [] {},
                                   .showAbout = [] {},
                                   .checkForUpdates = {},
                                   .quit = [&] { ++quits; }});
    QStringList titles;
    for (const QAction* action : tray.menu()->actions()) {
        if (!action->isSeparator()) {
            titles << action->text();
        }
    }
    EXPECT_EQ(titles, (QStringList{"Open Vask", "Settings…", "About Vask", "Quit"}));
    tray.menu()->actions().last()->trigger();
    EXPECT_EQ(quits, 1);
}

TEST(TrayControllerTest, ARightClickOnTheIconWhileThePopoverIsUpOpensTheMenu) {
    struct Case {
        const char* name;
        Qt::MouseButton button;
        QPoint offset;  // from the icon
        bool menu;
    };
    const std::vector<Case> cases = {
        {"rightOnIcon", Qt::RightButton, {2, 3}, true},
        {"leftOnIcon", Qt::LeftButton, {2, 3}, false},
        {"rightElsewhere", Qt::RightButton, {400, 300}, false},
    };
    for (const auto& c : cases) {
        QWidget popover(nullptr, Qt::Popup);
        popover.resize(200, 150);
        TrayController tray(&popover, {.openVask = [] {},
                                       .openSettings = [] {},
                                       .showAbout = [] {},
                                       .checkForUpdates = {},
                                       .quit = [] {}});
        const QRect icon(600, 0, 1, 1);
        tray.showPopoverAt(icon);
        ASSERT_TRUE(popover.isVisible()) << c.name;
        const QPoint global = icon.topLeft() + c.offset;
        QMouseEvent press(QEvent::MouseButtonPress, popover.mapFromGlobal(QPointF(global)),
                          QPointF(global), c.button, c.button, Qt::NoModifier);
        QApplication::sendEvent(&popover, &press);
        spinUntil([&] { return tray.menu()->isVisible(); });
        EXPECT_EQ(tray.menu()->isVisible(), c.menu) << c.name;
        tray.menu()->hide();
    }
}

// A panel started after Vask: no icon at first, and the icon as soon as the tray appears,
// announced once.
TEST(TrayControllerTest, ATrayThatAppearsLaterGetsTheIcon) {
    struct FakePresence final : TrayPresence {
        bool present() override {
            ++asked;
            return there;
        }
        bool there = false;
        int asked = 0;
    };
    auto owned = std::make_unique<FakePresence>();
    FakePresence* presence = owned.get();
    QWidget popover;
    TrayController tray(&popover,
                        {.openVask = [] {},
                         .openSettings = [] {},
                         .showAbout = [] {},
                         .checkForUpdates = {},
                         .quit = [] {}},
                        std::move(owned));
    int appeared = 0;
    QObject::connect(&tray, &TrayController::trayAppeared, [&] { ++appeared; });
    EXPECT_FALSE(tray.install());
    EXPECT_FALSE(tray.hasIcon());
    // Word of a tray that is not (yet) there changes nothing.
    emit presence->mayHaveAppeared();
    EXPECT_FALSE(tray.hasIcon());
    EXPECT_EQ(appeared, 0);
    presence->there = true;
    emit presence->mayHaveAppeared();
    EXPECT_TRUE(tray.hasIcon());
    EXPECT_EQ(appeared, 1);
    // Docked: later word (a tray restarting) is the toolkit's to follow.
    const int asked = presence->asked;
    emit presence->mayHaveAppeared();
    EXPECT_EQ(appeared, 1);
    EXPECT_EQ(presence->asked, asked);
    EXPECT_TRUE(tray.install());
}

// An unchecked box is plain to see against the window in both appearances (a box outlined
// only in the window's own colour darkened is all but invisible on a dark one).
TEST(ThemeTest, AnUncheckedBoxIsOutlinedInBothAppearances) {
    const Appearance before = Theme::current();
    for (const auto appearance : {Appearance::light, Appearance::dark}) {
        SCOPED_TRACE(appearance == Appearance::dark ? "dark" : "light");
        Theme::apply(*qApp, appearance);
        QWidget window;
        auto* box = new QCheckBox("Show proactive surfaces", &window);
        box->move(10, 10);
        window.resize(260, 50);
        window.show();
        QApplication::processEvents();
        const QImage image = window.grab().toImage();
        QStyleOptionButton option;
        option.initFrom(box);
        const QRect indicator = box->style()
                                    ->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box)
                                    .translated(box->pos());
        const QColor background = window.palette().color(QPalette::Window);
        double most = 1;
        for (int y = indicator.top(); y <= indicator.bottom(); ++y) {
            for (int x = indicator.left(); x <= indicator.right(); ++x) {
                most = std::max(most, test::contrastRatio(image.pixelColor(x, y), background));
            }
        }
        EXPECT_GE(most, 3.0);
    }
    Theme::apply(*qApp, before);
}

// A menu item's icon, drawn in ink or in red, stays plain to see when the item is highlighted
// (red on the accent's highlight was all but invisible), in both appearances.
TEST(ThemeTest, AHighlightedMenuItemsIconStandsOutFromTheHighlight) {
    const Appearance before = Theme::current();
    for (const auto appearance : {Appearance::light, Appearance::dark}) {
        SCOPED_TRACE(appearance == Appearance::dark ? "dark" : "light");
        Theme::apply(*qApp, appearance);
        QMenu menu;
        QAction* rename = menu.addAction(symbolIcon("pencil", ThemeColour::ink, false), "Rename");
        QAction* remove =
            menu.addAction(symbolIcon("trash", Shade(ThemeColour::red), false), "Delete Chat");
        menu.popup({0, 0});
        ASSERT_TRUE(spinUntil([&] { return menu.isVisible(); }));
        for (QAction* action : {rename, remove}) {
            SCOPED_TRACE(action->text().toStdString());
            menu.setActiveAction(action);
            QApplication::processEvents();
            const QImage image = menu.grab().toImage();
            const qreal scale = image.devicePixelRatio();
            const QRect item = menu.actionGeometry(action);
            const QColor highlight = menu.palette().color(QPalette::Highlight);
            // The icon's square, at the item's start.
            double most = 1;
            for (int y = qRound((item.top() + 2) * scale); y < qRound((item.bottom() - 1) * scale);
                 ++y) {
                for (int x = qRound((item.left() + 2) * scale);
                     x < qRound((item.left() + item.height()) * scale); ++x) {
                    most = std::max(most, test::contrastRatio(image.pixelColor(x, y), highlight));
                }
            }
            EXPECT_GE(most, 3.0);
        }
        menu.close();
    }
    Theme::apply(*qApp, before);
}

// Tab rings the widget it reached, even one drawn without a focus look of its own; a pointer
// press puts the ring away.
TEST(ThemeTest, TabRingsTheWidgetItReaches) {
    QWidget window;
    auto* first = new QPushButton("First", &window);
    auto* flat = new QPushButton("Flat", &window);
    flat->setFlat(true);
    flat->setStyleSheet("QPushButton { border: none; background: transparent; }");
    flat->move(0, 40);
    window.resize(200, 100);
    window.show();
    window.activateWindow();
    first->setFocus();
    ASSERT_TRUE(spinUntil([&] { return first->hasFocus(); }));
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(first, &tab);
    ASSERT_TRUE(flat->hasFocus());
    auto* ring = window.findChild<QFocusFrame*>("keyboardFocusRing");
    ASSERT_NE(ring, nullptr);
    EXPECT_TRUE(ring->isVisible());
    EXPECT_EQ(ring->widget(), flat);
    // The ring is drawn in the accent, around the widget.
    QApplication::processEvents();
    const QImage image = ring->grab().toImage();
    const QColor accent = Theme::palette(Appearance::light).accent;
    int ringPixels = 0;
    for (int x = 0; x < image.width(); ++x) {
        ringPixels += image.pixelColor(x, 1).rgb() == accent.rgb() ? 1 : 0;
    }
    EXPECT_GT(ringPixels, image.width() / 2);

    QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2),
                      QPointF(first->mapToGlobal(QPoint(2, 2))), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(first, &press);
    EXPECT_FALSE(ring->isVisible());
}

// The ring shows wherever the keyboard focus is that the pointer did not put there: a control
// Vask focuses itself (Copy Link after a failed sign-in, a stand-in), and the only control of a
// window once Tab is pressed there; a click puts it away.
TEST(ThemeTest, FocusNotPutByThePointerIsRinged) {
    QWidget window;
    auto* only = new QPushButton("OK", &window);
    window.resize(200, 100);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(spinUntil([&] { return QApplication::activeWindow() == &window; }));
    const auto ring = [&] { return window.findChild<QFocusFrame*>("keyboardFocusRing"); };
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2),
                      QPointF(only->mapToGlobal(QPoint(2, 2))), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(only, &press);
    ASSERT_TRUE(only->hasFocus()) << "a click focuses it";
    EXPECT_TRUE(ring() == nullptr || !ring()->isVisible()) << "the pointer put it there";
    // Tab in a window of one control: the focus stays, the ring shows where it is.
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(only, &tab);
    ASSERT_NE(ring(), nullptr);
    EXPECT_TRUE(ring()->isVisible());
    EXPECT_EQ(ring()->widget(), only);
    // Moved by Vask.
    QApplication::sendEvent(only, &press);
    EXPECT_FALSE(ring()->isVisible());
    auto* other = new QPushButton("Copy Link", &window);
    other->move(0, 40);
    other->show();
    other->setFocus(Qt::OtherFocusReason);
    EXPECT_TRUE(ring()->isVisible());
    EXPECT_EQ(ring()->widget(), other);
}

// A page that fills what holds it (the transcript, the awaiting list) is ringed just inside,
// where its holders would cut a ring outside it away; a button with room around it is ringed
// outside.
TEST(ThemeTest, TabRingsAWidgetThatFillsItsWindowInside) {
    QWidget window;
    auto* column = new QVBoxLayout(&window);
    column->setContentsMargins(0, 0, 0, 0);
    auto* page = new QScrollArea;
    page->setFrameShape(QFrame::NoFrame);
    column->addWidget(page);
    auto* button = new QPushButton("Copy Reply");
    auto* row = new QHBoxLayout;
    row->setContentsMargins(12, 12, 12, 12);
    row->addWidget(button);
    column->addLayout(row);
    window.resize(300, 200);
    window.show();
    window.activateWindow();
    button->setFocus();
    ASSERT_TRUE(spinUntil([&] { return button->hasFocus(); }));
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(button, &tab);
    ASSERT_TRUE(page->hasFocus());
    auto* ring = window.findChild<QFocusFrame*>("keyboardFocusRing");
    ASSERT_NE(ring, nullptr);
    EXPECT_TRUE(ring->isVisible());
    EXPECT_TRUE(window.rect().contains(ring->geometry())) << "the ring is cut by the window";
    // Drawn in the accent, down its left side.
    QApplication::processEvents();
    const QImage image = window.grab().toImage();
    const QColor accent = Theme::palette(Appearance::light).accent;
    int ringPixels = 0;
    for (int y = 0; y < page->height(); ++y) {
        const QColor seen = image.pixelColor(ring->geometry().left() + 1, y);
        ringPixels += test::contrastRatio(seen, accent) < 1.2 ? 1 : 0;
    }
    EXPECT_GT(ringPixels, page->height() / 2);

    QKeyEvent back(QEvent::KeyPress, Qt::Key_Backtab, Qt::ShiftModifier);
    QApplication::sendEvent(page, &back);
    ASSERT_TRUE(button->hasFocus());
    EXPECT_EQ(ring->geometry(), button->geometry().adjusted(-3, -3, 3, 3));
}

// Return and Enter press the push or tool button that has the focus, in any window, as Space
// does and as they do in Qt's dialogs; the button takes them before a shortcut of its window.
TEST(ThemeTest, ReturnAndEnterPressTheFocusedButton) {
    QWidget window;
    auto* column = new QVBoxLayout(&window);
    auto* push = new QPushButton("Copy Reply");
    auto* tool = new QToolButton;
    tool->setText("Mark All Read");
    auto* box = new QCheckBox("Show proactive surfaces");
    for (QWidget* widget : std::initializer_list<QWidget*>{push, tool, box}) {
        column->addWidget(widget);
    }
    int pushes = 0;
    int tools = 0;
    int shortcuts = 0;
    QObject::connect(push, &QPushButton::clicked, [&] { ++pushes; });
    QObject::connect(tool, &QToolButton::clicked, [&] { ++tools; });
    auto* shortcut = new QShortcut(QKeySequence(Qt::Key_Return), &window);
    QObject::connect(shortcut, &QShortcut::activated, [&] { ++shortcuts; });
    window.show();

    struct Case {
        const char* name;
        QWidget* target;
        int key;
        Qt::KeyboardModifiers modifiers;
        bool autoRepeat;
        int pushes;
        int tools;
    };
    const Case cases[] = {
        {"Return", push, Qt::Key_Return, Qt::NoModifier, false, 1, 0},
        {"Enter on the keypad", push, Qt::Key_Enter, Qt::KeypadModifier, false, 2, 0},
        {"held down", push, Qt::Key_Return, Qt::NoModifier, true, 2, 0},
        {"with Shift", push, Qt::Key_Return, Qt::ShiftModifier, false, 2, 0},
        {"a tool button", tool, Qt::Key_Return, Qt::NoModifier, false, 2, 1},
        {"a check box", box, Qt::Key_Return, Qt::NoModifier, false, 2, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QKeyEvent override(QEvent::ShortcutOverride, c.key, c.modifiers);
        override.ignore();
        QApplication::sendEvent(c.target, &override);
        const bool pressesButton = qobject_cast<QCheckBox*>(c.target) == nullptr &&
                                   (c.modifiers & ~Qt::KeypadModifier) == Qt::NoModifier;
        EXPECT_EQ(override.isAccepted(), pressesButton) << "the button keeps the key";
        QKeyEvent press(QEvent::KeyPress, c.key, c.modifiers, QString(), c.autoRepeat);
        QApplication::sendEvent(c.target, &press);
        EXPECT_EQ(pushes, c.pushes);
        EXPECT_EQ(tools, c.tools);
    }
    EXPECT_FALSE(box->isChecked());
    EXPECT_EQ(shortcuts, 0);
}

// A message and the control under it, scrolled into view as little as it takes: from below the
// fold its bottom comes to the view's bottom, from above its top to the view's top, one in view
// stays where it is, and one taller than the view shows its bottom (the control).
TEST(KeyboardTest, ScrollIntoViewShowsTheSpanOrItsBottom) {
    struct Case {
        const char* name;
        int scrolledTo;
        int top;
        int height;
        int expected;
    };
    // A page of 1000 px in a view of 200 px.
    const Case cases[] = {
        {"below the fold", 0, 500, 60, 360},
        {"above the view", 700, 100, 60, 100},
        {"in view", 400, 450, 60, 400},
        {"taller than the view", 0, 500, 300, 600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QScrollArea area;
        area.setFrameShape(QFrame::NoFrame);
        area.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        area.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        auto* page = new QWidget;
        page->resize(100, 1000);
        auto* message = new QWidget(page);
        message->setGeometry(0, c.top, 100, c.height / 2);
        auto* control = new QWidget(page);
        control->setGeometry(0, c.top + c.height / 2, 100, c.height / 2);
        area.setWidget(page);
        area.resize(120, 200);
        area.show();
        QApplication::processEvents();
        ASSERT_EQ(area.viewport()->height(), 200);
        area.verticalScrollBar()->setValue(c.scrolledTo);
        scrollIntoView(&area, message, control);
        EXPECT_EQ(area.verticalScrollBar()->value(), c.expected);
    }
}

// A scroll bar's handle stands out from its track in both appearances (Fusion's own drew the
// handle in the page's colour on a grey track in the light one, which reads as reversed).
TEST(ThemeTest, AScrollBarsHandleStandsOutFromItsTrack) {
    const Appearance before = Theme::current();
    for (const auto appearance : {Appearance::light, Appearance::dark}) {
        SCOPED_TRACE(appearance == Appearance::dark ? "dark" : "light");
        const auto colours = Theme::scrollBarColours(appearance);
        const auto brand = Theme::palette(appearance);
        EXPECT_GE(test::contrastRatio(colours.handle, colours.track), 3.0);
        EXPECT_GE(test::contrastRatio(colours.activeHandle, colours.track), 3.0);
        EXPECT_GE(test::contrastRatio(colours.handle, brand.canvas), 3.0);

        Theme::apply(*qApp, appearance);
        QWidget window;
        auto* bar = new QScrollBar(Qt::Vertical, &window);
        bar->setRange(0, 100);
        bar->setPageStep(25);
        bar->setGeometry(0, 0, bar->sizeHint().width(), 240);
        window.resize(bar->width(), 240);
        window.show();
        QApplication::processEvents();
        const QImage image = bar->grab().toImage();
        QStyleOptionSlider option;
        option.initFrom(bar);
        option.orientation = Qt::Vertical;
        option.minimum = bar->minimum();
        option.maximum = bar->maximum();
        option.sliderPosition = bar->sliderPosition();
        option.sliderValue = bar->value();
        option.pageStep = bar->pageStep();
        option.singleStep = bar->singleStep();
        option.subControls = QStyle::SC_All;
        const QRect slider = bar->style()->subControlRect(QStyle::CC_ScrollBar, &option,
                                                          QStyle::SC_ScrollBarSlider, bar);
        const QRect groove = bar->style()->subControlRect(QStyle::CC_ScrollBar, &option,
                                                          QStyle::SC_ScrollBarGroove, bar);
        ASSERT_LT(slider.bottom() + 10, groove.bottom());
        const QColor handle = image.pixelColor(slider.center());
        const QColor track =
            image.pixelColor(groove.center().x(), (slider.bottom() + groove.bottom()) / 2);
        EXPECT_GE(test::contrastRatio(handle, track), 3.0)
            << handle.name().toStdString() << " on " << track.name().toStdString();
    }
    Theme::apply(*qApp, before);
}

// A settings portal on a bus of the test's own, answering only when the test says so.
class HeldPortal final : public QDBusVirtualObject {
  public:
    explicit HeldPortal(QDBusConnection bus) : bus_(std::move(bus)) {}
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
        if (message.member() == "ReadOne" && !knowsReadOne) {
            bus_.send(message.createErrorReply("org.freedesktop.DBus.Error.UnknownMethod", "old"));
            return true;
        }
        held.push_back(message);
        return true;
    }
    QString introspect(const QString&) const override { return {}; }
    // Answers the oldest question held with `scheme` ("Read" wraps it once more).
    void answer(uint scheme) {
        const QDBusMessage question = held.takeFirst();
        QVariant value = QVariant::fromValue(QDBusVariant(scheme));
        if (question.member() == "Read") {
            value = QVariant::fromValue(QDBusVariant(value));
        }
        bus_.send(question.createReply(value));
    }
    QList<QDBusMessage> held;
    bool knowsReadOne = true;

  private:
    QDBusConnection bus_;
};

// Runs the event loop until `done`, for up to ten seconds: bus messages arrive on their own time.
template <typename Predicate>
bool busUntil(Predicate done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 10'000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return done();
}

// The portal is asked without waiting: read() returns before the portal has answered, the
// answer is taken when it comes, a newer question's answer wins, and an older portal is asked
// with "Read".
TEST(PortalReaderTest, AskingNeverWaitsForThePortal) {
    QProcess daemon;
    daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
    if (!daemon.waitForReadyRead(5000)) {
        GTEST_SKIP() << "no dbus-daemon to run a portal on";
    }
    const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
    {
        auto service = QDBusConnection::connectToBus(address, "held-portal");
        ASSERT_TRUE(service.registerService(PortalReader::service));
        HeldPortal portal(service);
        ASSERT_TRUE(service.registerVirtualObject(PortalReader::path, &portal));
        auto client = QDBusConnection::connectToBus(address, "portal-reader");
        std::vector<desktop_appearance::Preference> answers;
        PortalReader reader([&](desktop_appearance::Preference p) { answers.push_back(p); },
                            client);
        using P = desktop_appearance::Preference;

        reader.read();
        EXPECT_TRUE(answers.empty());
        ASSERT_TRUE(busUntil([&] { return portal.held.size() == 1; }));
        EXPECT_TRUE(answers.empty());
        portal.answer(1);
        ASSERT_TRUE(busUntil([&] { return !answers.empty(); }));
        EXPECT_EQ(answers, std::vector{P::dark});

        // Asked again before the first answer came: only the newer answer counts.
        answers.clear();
        reader.read();
        reader.read();
        ASSERT_TRUE(busUntil([&] { return portal.held.size() == 2; }));
        portal.answer(1);
        portal.answer(2);
        ASSERT_TRUE(busUntil([&] { return !answers.empty(); }));
        QApplication::processEvents();
        EXPECT_EQ(answers, std::vector{P::light});

        answers.clear();
        portal.knowsReadOne = false;
        reader.read();
        ASSERT_TRUE(busUntil([&] { return portal.held.size() == 1; }));
        EXPECT_EQ(portal.held.front().member(), "Read");
        portal.answer(1);
        ASSERT_TRUE(busUntil([&] { return !answers.empty(); }));
        EXPECT_EQ(answers, std::vector{P::dark});
        service.unregisterObject(PortalReader::path);
    }
    QDBusConnection::disconnectFromBus("held-portal");
    QDBusConnection::disconnectFromBus("portal-reader");
    daemon.kill();
    daemon.waitForFinished();
}

// A StatusNotifierWatcher that says whether a host has registered with it.
class FakeWatcher final : public QDBusVirtualObject {
  public:
    explicit FakeWatcher(QDBusConnection bus) : bus_(std::move(bus)) {}
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
        bus_.send(message.createReply(QVariant::fromValue(QDBusVariant(hostRegistered))));
        return true;
    }
    QString introspect(const QString&) const override { return {}; }
    bool hostRegistered = false;

  private:
    QDBusConnection bus_;
};

// A panel whose StatusNotifierItem host comes after Vask: word of it once the watcher takes its
// name with a host registered, or once a host registers with a watcher already there.
TEST(TrayPresenceTest, AStatusNotifierHostThatComesLaterIsNoticed) {
    QProcess daemon;
    daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
    if (!daemon.waitForReadyRead(5000)) {
        GTEST_SKIP() << "no dbus-daemon to run a panel on";
    }
    const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
    {
        auto panel = QDBusConnection::connectToBus(address, "late-panel");
        auto client = QDBusConnection::connectToBus(address, "tray-presence");
        DesktopTrayPresence presence(nullptr, client);
        int appeared = 0;
        QObject::connect(&presence, &TrayPresence::mayHaveAppeared, [&] { ++appeared; });
        FakeWatcher watcher(panel);
        ASSERT_TRUE(panel.registerVirtualObject("/StatusNotifierWatcher", &watcher));

        // The watcher's name without a host: nothing yet.
        ASSERT_TRUE(panel.registerService("org.kde.StatusNotifierWatcher"));
        QElapsedTimer settle;
        settle.start();
        busUntil([&] { return settle.elapsed() > 300; });
        EXPECT_EQ(appeared, 0);

        // A host registers.
        watcher.hostRegistered = true;
        panel.send(QDBusMessage::createSignal("/StatusNotifierWatcher",
                                              "org.kde.StatusNotifierWatcher",
                                              "StatusNotifierHostRegistered"));
        ASSERT_TRUE(busUntil([&] { return appeared == 1; }));

        // The panel starts again: its watcher's name comes back with a host.
        panel.unregisterService("org.kde.StatusNotifierWatcher");
        ASSERT_TRUE(panel.registerService("org.kde.StatusNotifierWatcher"));
        ASSERT_TRUE(busUntil([&] { return appeared == 2; }));
        panel.unregisterObject("/StatusNotifierWatcher");
    }
    QDBusConnection::disconnectFromBus("late-panel");
    QDBusConnection::disconnectFromBus("tray-presence");
    daemon.kill();
    daemon.waitForFinished();
}

TEST(BrandMarksTest, TheMarkFollowsTheSmallerSideAndIsCentred) {
    const auto g = CurlMarkGeometry::forSize(QSizeF(40, 60));
    EXPECT_DOUBLE_EQ(g.side, 40);
    EXPECT_DOUBLE_EQ(g.lineWidth, 5.6);
    EXPECT_DOUBLE_EQ(g.inset, 3.6);
    EXPECT_DOUBLE_EQ(g.dotDiameter, 8.8);
    EXPECT_EQ(g.square, QRectF(0, 10, 40, 40));
}

TEST(BrandMarksTest, PaletteSwitchesWithTheAppearanceExceptPlumInk) {
    const auto light = Theme::palette(Appearance::light);
    const auto dark = Theme::palette(Appearance::dark);
    EXPECT_EQ(light.onAccent, light.canvas);
    EXPECT_EQ(dark.onAccent, dark.canvas);
    EXPECT_EQ(light.plumInk, dark.plumInk);
    EXPECT_EQ(light.accent, QColor(0x93, 0x40, 0x8A));
    EXPECT_EQ(dark.accent, QColor(0xC7, 0x7D, 0xBE));

    Theme::apply(*qApp, Appearance::dark);
    EXPECT_EQ(Theme::current(), Appearance::dark);
    Theme::apply(*qApp, Appearance::light);
    EXPECT_EQ(Theme::current(), Appearance::light);
}

// Secondary, tertiary, error and warning text reads at 4.5:1 or more on the window and on a
// panel, in both appearances.
TEST(BrandMarksTest, SecondaryAndErrorTextKeepTheirContrast) {
    const std::pair<const char*, Shade> texts[] = {{"secondary", Shade(ThemeColour::secondary)},
                                                   {"tertiary", Shade(ThemeColour::tertiary)},
                                                   {"error", errorRed()},
                                                   {"warning", warningOrange()}};
    for (const auto appearance : {Appearance::light, Appearance::dark}) {
        const auto brand = Theme::palette(appearance);
        for (const auto& background : {brand.canvas, brand.panel}) {
            for (const auto& [name, shade] : texts) {
                const QColor text = shade.colour(appearance);
                const double a = text.alphaF();
                const QColor seen = QColor::fromRgbF(
                    static_cast<float>(text.redF() * a + background.redF() * (1 - a)),
                    static_cast<float>(text.greenF() * a + background.greenF() * (1 - a)),
                    static_cast<float>(text.blueF() * a + background.blueF() * (1 - a)));
                EXPECT_GE(test::contrastRatio(seen, background), 4.5)
                    << name << (appearance == Appearance::dark ? " dark on " : " light on ")
                    << background.name().toStdString();
            }
        }
    }
}

// Every button's text reads at 4.5:1 or more on what it is drawn on, in both appearances and
// while held: the outlined buttons, the accent-filled ones, the onboarding's main button, the
// link-like ones and the popover's error rows.
TEST(BrandMarksTest, EveryButtonsTextKeepsItsContrast) {
    for (const auto appearance : {Appearance::light, Appearance::dark}) {
        const auto brand = Theme::palette(appearance);
        const QColor onboardingText = OnboardingPrimaryButton::textColour(appearance, true);
        const struct {
            const char* name;
            QColor text;
            QColor background;
        } cases[] = {
            {"outlined", brand.ink, brand.canvas},
            {"outlined, held", brand.ink, brand.edge},
            {"outlined, on a panel", brand.ink, brand.panel},
            {"accent", brand.onAccent, brand.accent},
            {"accent, held", brand.onAccent, Theme::pressedAccent(brand.accent)},
            {"onboarding", onboardingText, OnboardingPrimaryButton::fill(appearance, true, false)},
            {"onboarding, held", onboardingText,
             OnboardingPrimaryButton::fill(appearance, true, true)},
            {"link", brand.accent, brand.canvas},
            {"the popover's error row", ErrorRow::labelColour(appearance), brand.canvas},
            {"the popover's error row, copied", ErrorRow::copiedColour(appearance), brand.canvas},
            {"secondary", Shade(ThemeColour::secondary).colour(appearance), brand.canvas},
        };
        for (const auto& c : cases) {
            EXPECT_GE(test::contrastRatio(Theme::seenOn(c.text, c.background), c.background), 4.5)
                << c.name << (appearance == Appearance::dark ? " in dark" : " in light");
        }
    }
}

// An endless breathing animation runs only while its mark is on screen: hidden with its window,
// or on a page of a stack that is not shown, it stops, and it starts again when shown.
TEST(BrandMarksTest, BreathingRunsOnlyWhileTheMarkIsVisible) {
    struct Case {
        const char* name;
        std::function<QWidget*(QWidget*)> make;
    };
    const std::vector<Case> cases{
        {"dot", [](QWidget* parent) { return new BreathingDot(14, parent); }},
        {"breathing mark", [](QWidget* parent) { return new CurlMark(true, parent); }},
    };
    const auto running = [](QWidget* mark) {
        const auto* breath = mark->findChild<Breath*>();
        return breath != nullptr && breath->isRunning();
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QStackedWidget window;
        auto* page = new QWidget;
        auto* other = new QWidget;
        window.addWidget(page);
        window.addWidget(other);
        QWidget* mark = c.make(page);
        ASSERT_NE(mark->findChild<Breath*>(), nullptr);
        EXPECT_FALSE(running(mark)) << "made but never shown";

        window.show();
        EXPECT_TRUE(running(mark));
        window.setCurrentWidget(other);
        EXPECT_FALSE(running(mark)) << "on a page not shown";
        window.setCurrentWidget(page);
        EXPECT_TRUE(running(mark));
        window.hide();
        EXPECT_FALSE(running(mark)) << "its window hidden";
        window.show();
        mark->hide();
        EXPECT_FALSE(running(mark)) << "hidden itself";
        mark->show();
        EXPECT_TRUE(running(mark));
    }
}

TEST(BrandMarksTest, ReduceMotionKeepsTheMarksStillAndFollowsItsSwitch) {
    EXPECT_FALSE(Theme::reduceMotionRequested({}));
    EXPECT_FALSE(Theme::reduceMotionRequested({{"VASK_REDUCE_MOTION", "0"}}));
    EXPECT_TRUE(Theme::reduceMotionRequested({{"VASK_REDUCE_MOTION", "1"}}));

    Theme::setReduceMotion(true);
    QWidget window;
    auto* dot = new BreathingDot(14, &window);
    window.show();
    EXPECT_EQ(dot->findChild<Breath*>(), nullptr);
    Theme::setReduceMotion(false);
}

// Hands each event a widget gets to a function, before the widget sees it.
class EventRecorder final : public QObject {
  public:
    EventRecorder(QWidget* widget, std::function<void(QEvent*)> record)
        : record_(std::move(record)) {
        widget->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override {
        record_(event);
        return false;
    }

  private:
    std::function<void(QEvent*)> record_;
};

// A breath eases in and out over 4.8 s, takes a new phase only once it shows (and before a step
// could be seen), and draws again only the breathing dot: the ring and what lies around the mark
// stay as they were.
TEST(BrandMarksTest, ABreathEasesInAndOutAndRedrawsOnlyTheDot) {
    const struct {
        qint64 elapsed;
        qreal phase;
    } phases[] = {{0, 0}, {1200, 0.5}, {2400, 1}, {3600, 0.5}, {4800, 0}, {6000, 0.5}};
    for (const auto& p : phases) {
        EXPECT_NEAR(Breath::phaseAt(p.elapsed), p.phase, 1e-9) << p.elapsed;
    }

    QWidget window;
    window.resize(120, 120);
    auto* mark = new CurlMark(true, &window);
    mark->setGeometry(40, 40, 40, 40);
    QRegion painted;
    EventRecorder recorder(mark, [&](QEvent* event) {
        if (event->type() == QEvent::Paint) {
            painted += static_cast<QPaintEvent*>(event)->region();
        }
    });
    window.show();
    ASSERT_TRUE(vask::test::eventually([&] {
        QApplication::processEvents();
        return painted.boundingRect() == mark->rect();
    }));
    painted = QRegion();
    ASSERT_TRUE(vask::test::eventually([&] {
        QApplication::processEvents();
        return !painted.isEmpty();
    }));
    // The dot, 8.8 points at rest and 18 % more at its fullest, in the middle of the 40-point mark.
    EXPECT_TRUE(QRect(14, 14, 12, 12).contains(painted.boundingRect()))
        << painted.boundingRect().x() << "," << painted.boundingRect().width();

    // Over a whole breath: no frame moves the dot visibly, none is drawn that looks the same,
    // and the turns are drawn too.
    int frames = 0;
    qreal largestStep = 0;
    qreal smallestStep = 1;  // of the frames not drawn only because the breath turns
    qreal deepest = 1;
    qreal fullest = 0;
    for (qint64 t = 0; t < Breath::cycleMilliseconds; ++frames) {
        const qint64 next = t + Breath::frameAfter(t);
        const qreal step = std::abs(Breath::phaseAt(next) - Breath::phaseAt(t));
        largestStep = std::max(largestStep, step);
        if (next - t < Breath::longestFrameMilliseconds) {
            smallestStep = std::min(smallestStep, step);
        }
        t = next;
        deepest = std::min(deepest, Breath::phaseAt(t));
        fullest = std::max(fullest, Breath::phaseAt(t));
    }
    EXPECT_LT(largestStep * (1 - 0.45), 0.03);
    EXPECT_GE(smallestStep, Breath::phaseStep);
    EXPECT_LE(frames, Breath::cycleMilliseconds / 100);
    EXPECT_LT(deepest, 0.02);
    EXPECT_GT(fullest, 0.98);
}

TEST(SymbolsTest, EverySymbolTheViewsUseHasAnIconOnABareDesktop) {
    for (const char* name :
         {"sparkles", "arrow.right", "message", "exclamationmark.triangle", "doc.on.doc"}) {
        EXPECT_FALSE(symbolIcon(name, ThemeColour::ink, false).isNull()) << name;
    }
    EXPECT_TRUE(symbolIcon("no.such.symbol", ThemeColour::ink, false).isNull());
    // Asked again on every redraw: drawn once per colour and size, never twice.
    const auto drawn = [](const QColor& colour) {
        return symbolIcon("sparkles", Shade::fixed(colour), false).pixmap(16, 16).cacheKey();
    };
    EXPECT_EQ(drawn(Qt::red), drawn(Qt::red));
    EXPECT_NE(drawn(Qt::red), drawn(Qt::blue));
}

// A symbol holds the name of its colour: the same icon, on a button or a label, is drawn in the
// colour of whichever appearance is shown, without being set again.
TEST(SymbolsTest, ASymbolIsDrawnInTheAppearanceShown) {
    const Appearance before = Theme::current();
    const auto centre = [](const QPixmap& pixmap) {
        const QImage image = pixmap.toImage();
        // The middle of the sparkle's largest star is filled.
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (qAlpha(image.pixel(x, y)) == 255) {
                    return QColor(image.pixel(x, y));
                }
            }
        }
        return QColor();
    };
    Theme::apply(*qApp, Appearance::light);
    const QIcon icon = symbolIcon("sparkles", ThemeColour::accent, false);
    QLabel label;
    setSymbol(&label, "sparkles", ThemeColour::accent, 32);
    for (const auto appearance : {Appearance::dark, Appearance::light}) {
        Theme::apply(*qApp, appearance);
        QApplication::processEvents();
        const QColor accent = Theme::palette(appearance).accent;
        EXPECT_EQ(centre(icon.pixmap(32, 32)), accent);
        EXPECT_EQ(centre(label.pixmap()), accent);
    }
    Theme::apply(*qApp, before);
}

// The panel's colour is the desktop's, not the application's: the tray icon's body must stand
// out from a white panel and from a black one alike, at the sizes panels ask for.
TEST(BrandIconTest, TrayIconReadsOnLightAndDarkPanels) {
    for (const int size : {16, 22, 24, 32}) {
        const QImage image = trayIcon().pixmap(size, size).toImage();
        ASSERT_FALSE(image.isNull()) << size;
        // The colour most of the icon's opaque pixels share: its body.
        QHash<QRgb, int> counts;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                if (pixel.alpha() == 255) {
                    ++counts[pixel.rgb()];
                }
            }
        }
        ASSERT_FALSE(counts.isEmpty()) << size;
        QRgb body = 0;
        int most = 0;
        for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
            if (it.value() > most) {
                body = it.key();
                most = it.value();
            }
        }
        EXPECT_GE(test::contrastRatio(QColor::fromRgb(body), Qt::white), 3.0) << size;
        EXPECT_GE(test::contrastRatio(QColor::fromRgb(body), Qt::black), 3.0) << size;
    }
}

// The icon theme's scalable picture and the painted one are the same picture.
TEST(BrandIconTest, ScalableIconMatchesThePaintedOne) {
    const int size = 128;
    const QImage painted = appIconImage(size).convertToFormat(QImage::Format_ARGB32);
    QByteArray svg = appIconSvg();
    QBuffer buffer(&svg);
    QImageReader reader(&buffer, "svg");
    reader.setScaledSize(QSize(size, size));
    QImage vector = reader.read();
    ASSERT_FALSE(vector.isNull()) << "the SVG parses: " << reader.errorString().toStdString();
    vector = vector.convertToFormat(QImage::Format_ARGB32);
    double difference = 0;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const QColor a = painted.pixelColor(x, y);
            const QColor b = vector.pixelColor(x, y);
            difference += std::abs(a.redF() - b.redF()) + std::abs(a.greenF() - b.greenF()) +
                          std::abs(a.blueF() - b.blueF()) + std::abs(a.alphaF() - b.alphaF());
        }
    }
    EXPECT_LT(difference / (size * size * 4), 0.02);
    EXPECT_FALSE(appIcon().pixmap(48, 48).isNull());
}

// The desktop's usual keys work from any widget of any window, and nothing else is taken.
TEST(StandardKeysTest, CtrlQQuitsCtrlWClosesTheActiveWindowCtrlCommaOpensSettings) {
    int quits = 0;
    int settingsOpened = 0;
    QObject owner;
    new StandardKeys({.quit = [&] { ++quits; }, .openSettings = [&] { ++settingsOpened; }}, &owner);
    QWidget window;
    auto* field = new QLineEdit(&window);
    window.show();
    QApplication::setActiveWindow(&window);
    const auto press = [field](int key, Qt::KeyboardModifiers modifiers, const QString& text = {}) {
        QKeyEvent event(QEvent::KeyPress, key, modifiers, text);
        QApplication::sendEvent(field, &event);
    };
    press(Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quits, 1);
    press(Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_EQ(settingsOpened, 1);
    // Typing is left to the field.
    press(Qt::Key_Q, Qt::NoModifier, "q");
    press(Qt::Key_Q, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(field->text(), "q");
    EXPECT_EQ(quits, 1);
    if (QApplication::activeWindow() == &window) {
        press(Qt::Key_W, Qt::ControlModifier);
        EXPECT_FALSE(window.isVisible());
    }

    using Command = StandardKeys::Command;
    EXPECT_EQ(StandardKeys::commandFor(Qt::Key_W, Qt::ControlModifier | Qt::KeypadModifier),
              Command::closeWindow);
    EXPECT_EQ(StandardKeys::commandFor(Qt::Key_Comma, Qt::AltModifier), Command::none);
}

// The last window closing is told once no watched window is left after the event loop's turn:
// not while another is shown, nor when another opens in the same turn (onboarding's end).
TEST(LastWindowWatcherTest, TellsWhenTheLastWatchedWindowCloses) {
    struct Case {
        const char* name;
        bool reopenAtOnce;
        int told;
    };
    for (const auto& c : {Case{"closed", false, 1}, Case{"another opens at once", true, 0}}) {
        int told = 0;
        QObject owner;
        auto* watcher = new LastWindowWatcher([&] { ++told; }, &owner);
        QWidget first;
        QWidget second;
        watcher->watch(&first);
        watcher->watch(&second);
        {
            QWidget gone;  // a watched window deleted counts as closed
            watcher->watch(&gone)->show();
        }
        first.show();
        second.show();
        first.close();
        QApplication::processEvents();
        EXPECT_EQ(told, 0) << c.name << ": one window is left";
        second.close();
        if (c.reopenAtOnce) {
            first.show();
        }
        QApplication::processEvents();
        EXPECT_EQ(told, c.told) << c.name;
        first.close();
        QApplication::processEvents();
    }
}

// The desktop's theme can change while Vask runs: a ThemeChange brings the brand palette in the
// desktop's appearance (this display's is light) and tells the windows to be made again.
TEST(ThemeTest, AThemeChangeOfTheDesktopBringsItsAppearance) {
    const Appearance before = Theme::current();
    Theme::apply(*qApp, Appearance::dark);
    EXPECT_EQ(Theme::desktopAppearance(*qApp), Appearance::light);
    EXPECT_EQ(Theme::current(), Appearance::dark) << "reading the desktop changes nothing";

    std::vector<Appearance> told;
    std::unique_ptr<QObject> follower(
        Theme::followDesktop(*qApp, [&](Appearance now) { told.push_back(now); }));
    QWidget window;
    window.show();
    for (int i = 0; i < 3; ++i) {
        QEvent change(QEvent::ThemeChange);
        QApplication::sendEvent(&window, &change);
    }
    spinUntil([&] { return !told.empty(); });
    EXPECT_EQ(told, std::vector<Appearance>{Appearance::light}) << "once for one change";
    EXPECT_EQ(Theme::current(), Appearance::light);
    Theme::apply(*qApp, before);
}

// Under qt6ct the desktop's palette is in qt6ct's colour scheme file, whatever palette Vask put
// on the application; a change of that file is followed both ways without any other signal.
TEST(ThemeTest, UnderQt6ctTheColourSchemeFileDecidesAndIsFollowed) {
    const Appearance before = Theme::current();
    test::TempDir config;
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    const QByteArray oldTheme = qgetenv("QT_QPA_PLATFORMTHEME");
    qputenv("XDG_CONFIG_HOME", config.path().c_str());
    qputenv("QT_QPA_PLATFORMTHEME", "qt6ct");
    const auto write = [](const std::filesystem::path& path, const std::string& text) {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    };
    const auto scheme = [](const char* window) {
        return "[ColorScheme]\nactive_colors=#ff000000, #ffefefef, #ffffffff, #ffcacaca, "
               "#ff9f9f9f, #ffb8b8b8, #ff000000, #ffffffff, #ff000000, #ffffffff, " +
               std::string(window) + ", #ffb1b1b1\n";
    };
    write(config.path() / "schemes/dark.conf", scheme("#ff222020"));
    write(config.path() / "schemes/light.conf", scheme("#ffefefef"));
    const auto choose = [&](const char* name) {
        write(config.path() / "qt6ct/qt6ct.conf",
              "[Appearance]\ncustom_palette=true\ncolor_scheme_path=" +
                  (config.path() / "schemes" / name).string() + "\n");
    };
    choose("dark.conf");
    Theme::apply(*qApp, Appearance::light);
    EXPECT_EQ(Theme::desktopAppearance(*qApp), Appearance::dark);
    choose("light.conf");
    EXPECT_EQ(Theme::desktopAppearance(*qApp), Appearance::light);

    // Settings qt6ct first writes after Vask started are followed as well as later changes.
    std::filesystem::remove_all(config.path() / "qt6ct");
    std::vector<Appearance> told;
    std::unique_ptr<QObject> follower(
        Theme::followDesktop(*qApp, [&](Appearance now) { told.push_back(now); }));
    for (const auto& [name, expected] :
         {std::pair{"dark.conf", Appearance::dark}, std::pair{"light.conf", Appearance::light}}) {
        choose(name);
        EXPECT_TRUE(spinUntil([&, expected = expected] {
            return !told.empty() && told.back() == expected;
        })) << name;
        EXPECT_EQ(Theme::current(), expected) << name;
    }
    follower.reset();
    qputenv("XDG_CONFIG_HOME", oldConfig);
    if (oldTheme.isNull()) {
        qunsetenv("QT_QPA_PLATFORMTHEME");
    } else {
        qputenv("QT_QPA_PLATFORMTHEME", oldTheme);
    }
    Theme::apply(*qApp, before);
}

// Opens nothing.
class NoOpener final : public UrlOpener {
  public:
    bool open(const std::string&) override { return false; }
};

TEST(AboutBoxTest, OneAtATimeAndWideEnoughForItsTitle) {
    NoOpener opener;
    QPixmap icon(16, 16);
    icon.fill(Qt::magenta);
    QPointer<QMessageBox> first = showAboutBox("About Vask", "<b>Vask</b> 1.0", icon, opener);
    QPointer<QMessageBox> second = showAboutBox("About Vask", "<b>Vask</b> 1.0", icon, opener);
    EXPECT_EQ(first, second);
    int boxes = 0;
    for (auto* widget : QApplication::topLevelWidgets()) {
        boxes += qobject_cast<QMessageBox*>(widget) && widget->isVisible() ? 1 : 0;
    }
    EXPECT_EQ(boxes, 1);
    QApplication::processEvents();
    const int title = QFontMetrics(QApplication::font()).horizontalAdvance("About Vask");
    EXPECT_GE(first->width(), title + 160) << "room for the title beside the title bar's buttons";
    first->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(first) << "closed, it goes";
    QPointer<QMessageBox> again = showAboutBox("About Vask", "<b>Vask</b> 1.0", icon, opener);
    EXPECT_TRUE(again && again->isVisible());
    again->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Where `label` shows a link, found as a pointer would: hovering over it, a few pixels apart.
std::optional<QPoint> linkIn(QLabel& label) {
    std::optional<QPoint> found;
    QPoint at;
    const auto hovered = QObject::connect(&label, &QLabel::linkHovered, [&](const QString& link) {
        if (!link.isEmpty()) {
            found = at;
        }
    });
    for (int y = 1; y < label.height() && !found; y += 3) {
        for (int x = 1; x < label.width() && !found; x += 4) {
            at = QPoint(x, y);
            QMouseEvent move(QEvent::MouseMove, QPointF(at), label.mapToGlobal(QPointF(at)),
                             Qt::NoButton, Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(&label, &move);
        }
    }
    QObject::disconnect(hovered);
    return found;
}

void click(QWidget& widget, QPoint at) {
    const QPointF global = widget.mapToGlobal(QPointF(at));
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(at), global, Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&widget, &press);
    QApplication::sendEvent(&widget, &release);
}

// Its link opens through Vask's opener, as every other link does, and never through Qt's own
// desktop services: the opener (here one that records what it got and fails as xdg-open does
// when nothing takes the address) gets the user's environment less Vask's secrets and no
// descriptor beyond 0-2, and its failure is said in the box.
TEST(AboutBoxTest, ItsLinkOpensThroughVasksOpenerWhichSaysItsFailureThere) {
    test::TempDir dir;
    test::ScopedEnvironment environment;
    environment.set("CORVANE_API_KEY", "key");
    environment.set("VASK_RELAY_TOKEN", "token");
    environment.set("VASK_RELAY_BASE_URL", "https://relay.example");
    environment.set("GITHUB_TOKEN", "the user's");
    environment.set("ABOUT_OPENER_LOG", (dir / "opener").string());
    // A descriptor left open to children, as a library might.
    const UniqueFd stray(::fcntl(STDERR_FILENO, F_DUPFD, 251));
    ASSERT_GE(stray.get(), 251);
    CommandUrlOpener opener({"sh", "-c",
                             // Redirected for good, the shell keeps no copy of a descriptor.
                             "exec > \"$ABOUT_OPENER_LOG.fd\"; ls /proc/$$/fd; "
                             "exec > \"$ABOUT_OPENER_LOG.env\"; env; "
                             "exec >> \"$ABOUT_OPENER_LOG.url\"; echo \"$0\"; exit 4"},
                            std::make_shared<OpenCommandRunner>(isApplicationSecret));
    QPixmap icon(16, 16);
    icon.fill(Qt::magenta);
    QPointer<QMessageBox> box = showAboutBox(
        "About Vask", "<a href=\"https://ternwick.example/about\">ternwick.example</a>", icon,
        opener);
    auto* text = box->findChild<QLabel*>("qt_msgbox_label");
    ASSERT_NE(text, nullptr);
    QApplication::processEvents();
    const auto link = linkIn(*text);
    ASSERT_TRUE(link);
    click(*text, *link);
    ASSERT_TRUE(test::eventually([&] {
        QApplication::processEvents();
        return !box->informativeText().isEmpty();
    })) << "nothing said in the box: the link went past Vask's opener, or its failure was lost";
    EXPECT_EQ(box->informativeText(), "Couldn't open the link (sh exited with status 4).");
    std::ifstream url(dir / "opener.url");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(url), {}),
              "https://ternwick.example/about\n");
    std::ifstream env(dir / "opener.env");
    std::set<std::string> names;
    for (std::string line; std::getline(env, line);) {
        names.insert(line.substr(0, line.find('=')));
    }
    for (const char* secret : {"CORVANE_API_KEY", "VASK_RELAY_TOKEN", "VASK_RELAY_BASE_URL"}) {
        EXPECT_EQ(names.count(secret), 0U) << secret;
    }
    EXPECT_EQ(names.count("GITHUB_TOKEN"), 1U);
    std::ifstream fds(dir / "opener.fd");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(fds), {}), "0\n1\n2\n");
    // No label of the box opens a link by itself, the one that says the failure included.
    for (auto* label : box->findChildren<QLabel*>()) {
        EXPECT_FALSE(label->openExternalLinks()) << label->objectName().toStdString();
    }
    box->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The About box opens with the keyboard on OK, its default: Return closes it and opens nothing.
// The link is reached by Tab, and Return there opens it without closing the box.
TEST(AboutBoxTest, ReturnPressesOKAndTheLinkIsReachedByTab) {
    installKeyboardHandling(*qApp);
    struct RecordingOpener final : UrlOpener {
        bool open(const std::string& url) override {
            opened.push_back(url);
            return true;
        }
        std::vector<std::string> opened;
    } opener;
    QPixmap icon(16, 16);
    icon.fill(Qt::magenta);
    const auto returnTo = [](QWidget* target) {
        for (const auto type : {QEvent::ShortcutOverride, QEvent::KeyPress, QEvent::KeyRelease}) {
            QKeyEvent event(type, Qt::Key_Return, Qt::NoModifier, "\r");
            QApplication::sendEvent(target, &event);
        }
    };
    QPointer<QMessageBox> box = showAboutBox(
        "About Vask", "<a href=\"https://ternwick.example/about\">ternwick.example</a>", icon,
        opener);
    ASSERT_TRUE(spinUntil([&] { return QApplication::activeWindow() == box.data(); }));
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    EXPECT_EQ(focus, box->button(QMessageBox::Ok));
    EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Ok));

    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(focus, &tab);
    auto* text = box->findChild<QLabel*>("qt_msgbox_label");
    ASSERT_TRUE(spinUntil([&] { return QApplication::focusWidget() == text; }));
    returnTo(text);
    EXPECT_EQ(opener.opened, std::vector<std::string>{"https://ternwick.example/about"});
    EXPECT_TRUE(box->isVisible());

    box->button(QMessageBox::Ok)->setFocus(Qt::TabFocusReason);
    returnTo(box->button(QMessageBox::Ok));
    EXPECT_TRUE(!box || !box->isVisible());
    EXPECT_EQ(opener.opened.size(), 1U) << "Return on OK opened the link";
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// While a message box's button has the focus (OK in About, "Delete Chat" in the delete
// confirmation), the accessibility bus hears of that button by its name: the focus widget is
// described as a push button named by its text, and nothing else in the box says it has the
// focus (the row holding the buttons said so too, an unnamed panel).
TEST(MessageBoxTest, TheAccessibilityBusHearsOfTheFocusedButtonByName) {
    installKeyboardHandling(*qApp);
    NoOpener opener;
    QPixmap icon(16, 16);
    icon.fill(Qt::magenta);
    QPointer<QMessageBox> about = showAboutBox(
        "About Vask", "<a href=\"https://ternwick.example/about\">ternwick.example</a>", icon,
        opener);
    QMessageBox confirmation;
    QAbstractButton* deleteChat =
        fillConfirmation(confirmation, {.title = "Delete this chat?",
                                        .message = QString(SessionSidebar::deleteMessage),
                                        .action = "Delete Chat",
                                        .actionIdentifier = "confirm-delete-chat"});
    const std::vector<std::tuple<QMessageBox*, std::function<void()>, std::string>> cases = {
        {about.data(), [] {}, "OK"},
        {&confirmation, [&] { deleteChat->setFocus(Qt::TabFocusReason); }, "Delete Chat"},
    };
    for (const auto& [shown, focus, name] : cases) {
        SCOPED_TRACE(name);
        QMessageBox* box = shown;
        box->show();
        box->activateWindow();
        ASSERT_TRUE(spinUntil([&] { return QApplication::activeWindow() == box; }));
        focus();
        QAccessibleInterface* focused =
            QAccessible::queryAccessibleInterface(QApplication::focusWidget());
        ASSERT_NE(focused, nullptr);
        EXPECT_EQ(focused->role(), QAccessible::Button);
        EXPECT_EQ(focused->text(QAccessible::Name).toStdString(), name);
        EXPECT_TRUE(focused->state().focused);
        std::vector<std::string> sayFocused;
        std::function<void(QAccessibleInterface*)> walk = [&](QAccessibleInterface* node) {
            if (node->state().focused) {
                sayFocused.push_back(node->text(QAccessible::Name).toStdString() + " (" +
                                     node->object()->metaObject()->className() + ")");
            }
            for (int child = 0; child < node->childCount(); ++child) {
                walk(node->child(child));
            }
        };
        walk(QAccessible::queryAccessibleInterface(box));
        EXPECT_EQ(sayFocused, std::vector<std::string>{name + " (QPushButton)"});
        box->hide();
    }
    if (about) {
        about->close();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The boxes that say or ask something open no link by themselves either: a text that holds one
// (an error's words, say) leaves it unopened rather than handed to Qt's desktop services.
TEST(MessageBoxTest, NoBoxOpensALinkByItself) {
    const QString link = "<a href=\"https://example.com\">here</a>";
    Alert said;
    said.messageText = said.informativeText = link.toStdString();
    QMessageBox alert;
    fillAlertBox(alert, said);
    QMessageBox confirmation;
    fillConfirmation(
        confirmation,
        {.title = link, .message = link, .action = "Delete", .actionIdentifier = "delete"});
    for (QMessageBox* box : {&alert, &confirmation}) {
        const auto labels = box->findChildren<QLabel*>();
        EXPECT_GE(labels.size(), 2);
        for (auto* label : labels) {
            EXPECT_FALSE(label->openExternalLinks()) << label->objectName().toStdString();
        }
    }
}

// A window keeps the size it would like where the screen holds it with its frame; otherwise it
// takes the screen's available area and no more, its minimum included. Its maximum stays its
// own: the window manager keeps it on the screen, and a maximised window fills the work area.
// Screens are given in logical pixels: 1366x768 at twice the scale is 683x384.
TEST(WindowFitTest, AWindowIsNeverLargerThanTheScreenItOpensOn) {
    struct Case {
        const char* name;
        Extent preferred;
        Extent minimum;
        Extent maximum;
        Extent available;
        WindowFit expected;
    };
    const Extent settings{480, 740};
    const Extent main{900, 600};
    const Case cases[] = {
        {"fits", settings, {480, 320}, settings, {1920, 1050}, {settings, {480, 320}, settings}},
        {"exactly fits",
         settings,
         {480, 320},
         settings,
         {496, 788},
         {settings, {480, 320}, settings}},
        {"a 768-pixel screen under a panel",
         settings,
         {480, 320},
         settings,
         {1366, 740},
         {{480, 692}, {480, 320}, settings}},
        {"the main window on 1366x768", main, {}, noLimit, {1366, 768}, {main, {}, noLimit}},
        {"the main window on 1366x768 at twice the scale",
         main,
         {},
         noLimit,
         {683, 384},
         {{667, 336}, {}, noLimit}},
        {"the main window on 1024x600 at twice the scale",
         main,
         {},
         noLimit,
         {512, 300},
         {{496, 252}, {}, noLimit}},
        {"twice the scale on 1600x1000",
         main,
         {},
         noLimit,
         {800, 470},
         {{784, 422}, {0, 0}, noLimit}},
        {"a screen below the minimum",
         {600, 680},
         {560, 640},
         noLimit,
         {500, 400},
         {{484, 352}, {484, 352}, noLimit}},
        {"no screen known",
         settings,
         {480, 320},
         settings,
         {0, 0},
         {settings, {480, 320}, settings}},
        {"a screen smaller than its frame",
         settings,
         {480, 320},
         settings,
         {10, 20},
         {{1, 1}, {1, 1}, settings}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fitWindow(c.preferred, c.minimum, c.maximum, c.available), c.expected) << c.name;
    }
}

// The main window's panes give way on a small screen: the sidebar narrows, then the detail, and
// on the smallest the sidebar folds; neither's minimum is ever more than the window's room.
TEST(WindowFitTest, ThePanesGiveWayWhereTheScreenIsNarrow) {
    struct Case {
        const char* name;
        Extent available;
        PaneFit expected;
    };
    const int sidebar = 264;
    const Extent detail{420, 360};
    const Case cases[] = {
        {"1920x1080", {1920, 1050}, {true, sidebar, detail}},
        {"1366x768", {1366, 768}, {true, sidebar, detail}},
        {"1366x768 at twice the scale", {683, 384}, {true, narrowestSidebar, {420, 240}}},
        {"1024x600 at twice the scale", {512, 300}, {true, narrowestSidebar, {300, 240}}},
        {"800x600 at twice the scale", {400, 300}, {false, 0, {300, 240}}},
        {"a phone's screen", {200, 150}, {false, 0, {184, 102}}},
        {"no screen known", {0, 0}, {true, sidebar, detail}},
    };
    for (const auto& c : cases) {
        const Extent room = roomOn(c.available);
        const auto fit = fitPanes(room, sidebar, detail);
        EXPECT_EQ(fit, c.expected) << c.name;
        if (room.width > 0) {
            EXPECT_LE(fit.sidebarMinimum + fit.detailMinimum.width, room.width) << c.name;
            EXPECT_LE(fit.detailMinimum.height, room.height) << c.name;
        }
        if (room.width > narrowestDetail.width) {
            EXPECT_LT(fit.sidebarMinimum + fit.detailMinimum.width, room.width)
                << c.name << ": the window can still be made narrower";
        }
    }
}

TEST(WindowRegistryTest, OpeningBringsBackAMinimisedWindow) {
    WindowRegistry registry;
    for (const char* id : {"main", "settings"}) {
        registry.registerWindow(id, [] { return new QWidget; });
    }
    for (const char* id : {"main", "settings"}) {
        QWidget* window = registry.open(id);
        window->showMinimized();
        QApplication::processEvents();
        EXPECT_TRUE(window->isMinimized()) << id;
        EXPECT_FALSE(registry.hasVisibleWindow()) << id << ": minimised is out of sight";
        EXPECT_EQ(registry.open(id), window) << id;
        EXPECT_FALSE(window->isMinimized()) << id;
        EXPECT_TRUE(window->isVisible()) << id;
        EXPECT_TRUE(registry.hasVisibleWindow()) << id;
        registry.close(id);
    }
    delete registry.window("main");
    delete registry.window("settings");
}

// Opening a window that is already open, behind another, brings it to the front with the
// keyboard; a dialog modal over it (Private Memory over Settings) takes the keyboard in its
// place. The window in sight that was active last is the one a second launch brings forward.
TEST(WindowRegistryTest, OpeningAnOpenWindowBringsItForwardWithTheKeyboard) {
    WindowRegistry registry;
    for (const char* id : {"main", "settings"}) {
        registry.registerWindow(id, [] { return new QWidget; });
    }
    QWidget* main = registry.open("main");
    QWidget* settings = registry.open("settings");
    ASSERT_TRUE(spinUntil([&] { return QApplication::activeWindow() == settings; }));
    EXPECT_EQ(registry.frontWindow(), settings);
    EXPECT_EQ(registry.open("main"), main);
    EXPECT_TRUE(spinUntil([&] { return QApplication::activeWindow() == main; }))
        << "the open window stayed behind";
    EXPECT_EQ(registry.frontWindow(), main);

    auto* over = new QDialog(settings);
    over->open();
    EXPECT_EQ(keyboardWindowOf(settings), over);
    EXPECT_EQ(keyboardWindowOf(main), main);
    registry.open("settings");
    EXPECT_TRUE(spinUntil([&] { return QApplication::activeWindow() == over; }))
        << "Settings, blocked by its dialog, took the keyboard";
    over->close();
    EXPECT_EQ(keyboardWindowOf(settings), settings);
    registry.close("settings");
    registry.close("main");
    EXPECT_EQ(registry.frontWindow(), nullptr);
    delete main;
    delete settings;
}

// A change of appearance is a repaint: every window, shown or hidden, stays the object it was,
// where it was, and what it shows takes the new colours.
TEST(WindowRegistryTest, AChangeOfAppearanceKeepsEveryWindow) {
    const Appearance before = Theme::current();
    Theme::apply(*qApp, Appearance::light);
    WindowRegistry registry;
    int made = 0;
    for (const char* id : {"shown", "hidden"}) {
        registry.registerWindow(id, [&made] {
            ++made;
            auto* window = new QWidget;
            auto* label = new QLabel("text", window);
            label->setObjectName("label");
            setTextColour(label, ThemeColour::secondary);
            return window;
        });
    }
    QPointer<QWidget> shown = registry.open("shown");
    shown->setGeometry(40, 50, 300, 200);
    QPointer<QWidget> hidden = registry.open("hidden");
    registry.close("hidden");
    for (const auto appearance : {Appearance::dark, Appearance::light}) {
        Theme::apply(*qApp, appearance);
        // The application's palette reaches the windows on the next turn of the event loop.
        QApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(registry.window("shown"), shown.data());
        EXPECT_EQ(registry.window("hidden"), hidden.data());
        EXPECT_TRUE(shown->isVisible());
        EXPECT_EQ(shown->geometry().size(), QSize(300, 200));
        for (QWidget* window : {shown.data(), hidden.data()}) {
            EXPECT_EQ(window->findChild<QLabel*>("label")->palette().color(QPalette::WindowText),
                      Shade(ThemeColour::secondary).colour(appearance));
        }
    }
    EXPECT_EQ(made, 2);
    delete registry.window("shown");
    delete registry.window("hidden");
    Theme::apply(*qApp, before);
}

}  // namespace
}  // namespace vask::ui
