#include <QApplication>
#include <QStackedWidget>
#include <QVariantAnimation>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "support/temp_dir.h"
#include "ui/brand_marks.h"
#include "ui/single_instance.h"
#include "ui/symbols.h"
#include "ui/theme.h"
#include "ui/tray_controller.h"

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
    qputenv("XDG_RUNTIME_DIR", runtime.path().c_str());
    const QString instance = "ui-test-" + QString::number(QCoreApplication::applicationPid());

    SingleInstance primary(instance);
    ASSERT_EQ(primary.claimOrForward(std::nullopt, false), SingleInstance::Role::primary);
    QStringList urls;
    int reopens = 0;
    QObject::connect(&primary, &SingleInstance::urlReceived, [&](const QString& url) { urls << url; });
    QObject::connect(&primary, &SingleInstance::reopenRequested, [&] { ++reopens; });

    SingleInstance second(instance);
    EXPECT_EQ(second.claimOrForward(QString("vasktest://New?x=1"), false),
              SingleInstance::Role::forwarded);
    SingleInstance third(instance);
    EXPECT_EQ(third.claimOrForward(std::nullopt, false), SingleInstance::Role::forwarded);

    EXPECT_TRUE(spinUntil([&] { return urls.size() == 1 && reopens == 1; }));
    EXPECT_EQ(urls, QStringList{"vasktest://New?x=1"});
}

TEST(TrayControllerTest, PopoverHangsFromTheAnchorAndStaysOnScreen) {
    const QRect screen(0, 0, 1920, 1080);
    const QSize popover(340, 500);
    const std::vector<std::tuple<QRect, QPoint>> cases = {
        {QRect(1000, 0, 24, 24), QPoint(841, 27)},       // top panel: below the icon
        {QRect(1000, 1056, 24, 24), QPoint(841, 552)},   // bottom panel: above it
        {QRect(1900, 0, 20, 24), QPoint(1580, 27)},      // right edge: pushed back on screen
        {QRect(0, 0, 10, 10), QPoint(0, 13)},            // left edge
    };
    for (const auto& [anchor, expected] : cases) {
        EXPECT_EQ(popoverPosition(anchor, popover, screen), expected) << anchor.x() << "," << anchor.y();
    }
}

TEST(TrayControllerTest, MenuHasNoUpdateItemWithoutAnUpdater) {
    QWidget popover;
    int quits = 0;
    TrayController tray(&popover, {.openVask = [] {}, .openSettings = [] {}, .showAbout = [] {},
                                   .checkForUpdates = {}, .quit = [&] { ++quits; }});
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
        const auto* animation = mark->findChild<QVariantAnimation*>();
        return animation != nullptr && animation->state() == QAbstractAnimation::Running;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QStackedWidget window;
        auto* page = new QWidget;
        auto* other = new QWidget;
        window.addWidget(page);
        window.addWidget(other);
        QWidget* mark = c.make(page);
        ASSERT_NE(mark->findChild<QVariantAnimation*>(), nullptr);
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
    EXPECT_EQ(dot->findChild<QVariantAnimation*>(), nullptr);
    Theme::setReduceMotion(false);
}

TEST(SymbolsTest, EverySymbolTheViewsUseHasAnIconOnABareDesktop) {
    for (const char* name : {"sparkles", "arrow.right", "message", "exclamationmark.triangle",
                             "doc.on.doc"}) {
        EXPECT_FALSE(symbolIcon(name, Qt::black, false).isNull()) << name;
    }
    EXPECT_TRUE(symbolIcon("no.such.symbol", Qt::black, false).isNull());
    EXPECT_FALSE(menubarIcon(true).pixmap(22, 22).isNull());
}

}  // namespace
}  // namespace vask::ui
