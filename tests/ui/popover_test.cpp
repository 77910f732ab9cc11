#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QToolButton>
#include <QWindow>

#include <gtest/gtest.h>

#include "chat/chat_samples.h"
#include "sample-chatdb/sample_chat_db.h"
#include "shell/app_dependencies.h"
#include "shell/popover_model.h"
#include "support/app_root_fixture.h"
#include "support/recording_opener.h"
#include "ui/brand_marks.h"
#include "ui/chat/chat_view.h"
#include "ui/keyboard.h"
#include "ui/popover/vask_menu.h"
#include "ui/qt_platform.h"
#include "ui/tray_controller.h"

namespace vask::ui {
namespace {

struct RecordingClipboard final : Clipboard {
    void setText(const std::string& text) override { texts.push_back(text); }
    std::vector<std::string> texts;
};

// A popover over a root of its own: a private home, in-memory secrets and manual executors.
struct PopoverFixture : test::AppRootFixture {
    // `withChat`: the popover holds the real chat view over the root's popover chat.
    explicit PopoverFixture(bool withMessages, bool withChat = false)
        : AppRootFixture({.instance = "VaskUITest"}) {
        if (withMessages) {
            sample::buildSampleChatDB(chatDB, {.messages = 20, .chats = 2, .seed = 3});
        }
        model = std::make_unique<PopoverModel>(PopoverModel::Dependencies{
            .authMode = [this] { return root->authMode(); },
            .access = root->makeFullDiskAccessViewModel(),
            .sync = root->shadowSyncViewModel(),
            .contacts = root->contactsSyncViewModel(),
            .hasUpdaterController = [] { return false; },
            .checkForUpdates = [this] { ++updateChecks; },
            .configLoadError = [] { return std::nullopt; },
            .contactsTrace = {},
            .chat = {.startNewSession = [this] { ++newSessions; },
                     .handOffToMain = [this] { ++handOffs; },
                     .refreshCredentials = [] {},
                     .hasContent = [this] { return chatHasContent; },
                     .lastError = [this] { return chatError; },
                     .observe =
                         [this](std::function<void()> changed) {
                             return chatChanges.subscribe([changed](const int&) { changed(); },
                                                          Delivery::changesOnly);
                         }},
        });
        QWidget* chatView = withChat ? new ChatView(root->popoverChatViewModel(),
                                                    {.isReady = true,
                                                     .showsSources = false,
                                                     .focusesInputOnAppear = true,
                                                     .keepsMessagesWhileHidden = false})
                                     : new QWidget;
        menu = std::make_unique<VaskMenu>(
            *model, chatView, clipboard,
            VaskMenu::Actions{.openMain = [this] { ++mainOpened; },
                              .openOnboarding = [this] { ++onboardingOpened; }});
    }
    ~PopoverFixture() {
        menu.reset();
        drain();
    }

    std::string page() const {
        return menu->findChild<QStackedWidget*>()->currentWidget()->objectName().toStdString();
    }
    QToolButton* visibleButton(const QString& name) const {
        for (auto* button : menu->findChildren<QToolButton*>(name)) {
            if (button->isVisibleTo(menu.get())) {
                return button;
            }
        }
        return nullptr;
    }

    RecordingClipboard clipboard;
    std::unique_ptr<PopoverModel> model;
    std::unique_ptr<VaskMenu> menu;
    int updateChecks = 0, newSessions = 0, handOffs = 0, mainOpened = 0, onboardingOpened = 0;
    bool chatHasContent = false;
    std::optional<std::string> chatError;
    Published<int> chatChanges{0};
};

TEST(PopoverTest, SignedOutShowsTheSetupPromptAndChecksNothingButUpdates) {
    PopoverFixture f(true);
    f.menu->show();
    f.drain();
    EXPECT_EQ(f.page(), "popover.setupPrompt");
    EXPECT_EQ(f.updateChecks, 1);
    EXPECT_FALSE(f.model->dependencies().sync->hasSynced.get());
    EXPECT_NE(f.visibleButton("popover.openInVask"), nullptr);
    ASSERT_NE(f.visibleButton("popover.new"), nullptr);
    EXPECT_FALSE(f.visibleButton("popover.new")->isEnabled());

    auto* cont = f.menu->findChild<QPushButton*>("popover.continueSetup");
    ASSERT_NE(cont, nullptr);
    cont->click();
    EXPECT_EQ(f.onboardingOpened, 1);
    EXPECT_FALSE(f.menu->isVisible());
}

// The popover has an outline all round, in both appearances, so it stands apart from the
// windows behind it.
// Ctrl+W pressed while the popover is up closes the popover, never the window behind it (the
// active window: a popup never is one). The key comes as the desktop sends it, to the active
// window, which hands it to the popup.
TEST(PopoverTest, CtrlWClosesThePopoverNotTheWindowBehindIt) {
    PopoverFixture f(true, true);
    f.signIn();
    QObject owner;
    new StandardKeys({}, &owner);
    QWidget main;
    main.resize(400, 300);
    main.show();
    QApplication::setActiveWindow(&main);
    f.menu->show();
    f.drain();
    ASSERT_EQ(QApplication::activePopupWidget(), f.menu.get());
    QKeyEvent press(QEvent::KeyPress, Qt::Key_W, Qt::ControlModifier);
    QApplication::sendEvent(main.windowHandle(), &press);
    EXPECT_FALSE(f.menu->isVisible());
    EXPECT_TRUE(main.isVisible());
}

TEST(PopoverTest, AnOutlineSetsThePopoverOff) {
    PopoverFixture f(false);
    f.menu->show();
    f.drain();
    const QImage image = f.menu->grab().toImage();
    const QColor canvas = f.menu->palette().color(QPalette::Window);
    const QColor outline = VaskMenu::outline().colour();
    ASSERT_NE(outline.rgb(), canvas.rgb());
    const int w = image.width() - 1;
    const int h = image.height() - 1;
    for (const QPoint corner : {QPoint(w / 2, 0), QPoint(w / 2, h), QPoint(0, h / 2),
                                QPoint(w, h / 2)}) {
        EXPECT_NE(image.pixelColor(corner).rgb(), canvas.rgb())
            << corner.x() << "," << corner.y();
    }
}

TEST(PopoverTest, SignedInWithAccessSyncsOnceAndShowsTheChatWithItsCount) {
    PopoverFixture f(true);
    f.signIn();
    f.menu->show();
    f.drain();
    EXPECT_EQ(f.page(), "popover.mainView");
    EXPECT_TRUE(f.model->dependencies().sync->hasSynced.get());
    const auto synced = f.model->dependencies().sync->syncGeneration.get();
    EXPECT_EQ(f.menu->findChild<QLabel*>("popover.count")->text().toStdString(), "20 messages");

    // Shown again after a successful run: no second run.
    f.menu->hide();
    f.menu->show();
    f.drain();
    EXPECT_EQ(f.model->dependencies().sync->syncGeneration.get(), synced);

    f.chatHasContent = true;
    f.menu->render();
    f.visibleButton("popover.new")->click();
    EXPECT_EQ(f.newSessions, 1);
    f.visibleButton("popover.openInVask")->click();
    EXPECT_EQ(f.handOffs, 1);
    EXPECT_EQ(f.mainOpened, 1);
}

TEST(PopoverTest, AFailedFirstSyncIsTriedAgainOnEveryShowing) {
    // Access was granted long ago, so the check on showing changes nothing; a check that cannot
    // tell (the Messages database busy) changes nothing either. Either way the failed first
    // synchronisation runs again.
    struct Case {
        const char* name;
        bool laterCheckInconclusive;
    };
    for (const auto& c :
         {Case{"access confirmed again", false}, Case{"access check inconclusive", true}}) {
        SCOPED_TRACE(c.name);
        PopoverFixture f(true);
        f.signIn();
        bool inconclusive = false;
        auto access = FullDiskAccessViewModel::make({
            .probe =
                [&inconclusive](const StructuredLogger&) {
                    return inconclusive ? FullDiskAccessResult{false, "database is locked"}
                                        : FullDiskAccessResult{true, std::nullopt};
                },
            .chatDBPath = {},
            .folderOpener = nullptr,
            .main = f.main,
            .worker = f.worker,
        });
        auto deps = f.model->dependencies();
        deps.access = access;
        PopoverModel model(deps);
        // Nothing can be written where the shadow database goes: the first run fails.
        const auto shadow = f.root->supportDirectory() / "shadow.db";
        std::filesystem::create_directories(shadow);
        model.onAppear();
        f.drain();
        const auto& sync = *deps.sync;
        ASSERT_TRUE(access->hasAccess.get());
        ASSERT_FALSE(sync.hasSynced.get());
        ASSERT_TRUE(sync.lastError.get().has_value());

        std::filesystem::remove_all(shadow);
        inconclusive = c.laterCheckInconclusive;
        model.onAppear();
        f.drain();
        EXPECT_TRUE(sync.hasSynced.get());
        EXPECT_EQ(sync.lastError.get(), std::nullopt);
    }
}

TEST(PopoverTest, ErrorRowsFollowTheFixedOrderAndCopyTheirText) {
    PopoverFixture f(true);
    f.signIn();
    f.menu->show();
    f.drain();
    f.model->dependencies().access->lastError.set("no access");
    f.model->dependencies().sync->lastError.set("sync broke");
    auto rows = f.menu->findChildren<ErrorRow*>();
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0]->accessibleName().toStdString(), "Sync: sync broke");
    EXPECT_EQ(rows[1]->accessibleName().toStdString(), "Access: no access");
    rows[0]->click();
    EXPECT_TRUE(rows[0]->isShowingCopied());
    EXPECT_EQ(f.clipboard.texts, std::vector<std::string>{"[Sync] sync broke"});
}

TEST(PopoverTest, NewAndTheChatErrorFollowTheChatWhileOpen) {
    PopoverFixture f(true);
    f.signIn();
    f.menu->show();
    f.drain();
    ASSERT_NE(f.visibleButton("popover.new"), nullptr);
    EXPECT_FALSE(f.visibleButton("popover.new")->isEnabled());
    EXPECT_TRUE(f.menu->findChildren<ErrorRow*>().empty());

    // The chat changes while the popover stays open: no one calls render().
    f.chatHasContent = true;
    f.chatError = "The helper stopped.";
    f.chatChanges.set(1);
    EXPECT_TRUE(f.visibleButton("popover.new")->isEnabled());
    EXPECT_EQ(f.menu->findChildren<ErrorRow*>().size(), 1);

    f.chatHasContent = false;
    f.chatError.reset();
    f.chatChanges.set(2);
    EXPECT_FALSE(f.visibleButton("popover.new")->isEnabled());
    EXPECT_TRUE(f.menu->findChildren<ErrorRow*>().empty());
}

// A screen shorter than the popover (768 pixels at twice the density are 384 logical ones, and
// a panel takes some): the popover takes the room beside its icon, inside the available area and
// off the icon, with its chat's composer and its footer in view (the conversation scrolls).
TEST(PopoverTest, AScreenShorterThanThePopoverHoldsItBesideItsIcon) {
    PopoverFixture f(true, true);
    f.signIn();
    chat_samples::show(*f.root->popoverChatViewModel(), chat_samples::session(4, 1796630400));
    TrayController tray(f.menu.get(), {.openVask = [] {},
                                       .openSettings = [] {},
                                       .showAbout = [] {},
                                       .checkForUpdates = {},
                                       .quit = [] {}});
    struct Case {
        const char* name;
        QRect available;
        QRect icon;
    };
    const std::vector<Case> cases = {
        {"panel at the top", QRect(0, 24, 683, 360), QRect(600, 0, 24, 24)},
        {"panel at the bottom", QRect(0, 0, 683, 360), QRect(600, 360, 24, 24)},
        {"panel at the left", QRect(24, 0, 659, 384), QRect(0, 300, 24, 24)},
        {"at the pointer", QRect(0, 0, 683, 384), QRect(640, 380, 1, 1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tray.placePopover(c.icon, c.available);
        f.menu->show();
        f.drain();
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
            QApplication::processEvents();
        }
        EXPECT_EQ(f.page(), "popover.mainView");
        const QRect shown = f.menu->geometry();
        EXPECT_TRUE(c.available.contains(shown))
            << shown.top() << ".." << shown.bottom() << " in " << c.available.top() << ".."
            << c.available.bottom();
        EXPECT_FALSE(shown.intersects(c.icon));
        EXPECT_LT(shown.height(), VaskMenu::height);
        for (const char* name : {"composerBox", "popover.count", "chatMessages"}) {
            auto* part = f.menu->findChild<QWidget*>(name);
            ASSERT_NE(part, nullptr) << name;
            EXPECT_TRUE(part->isVisibleTo(f.menu.get())) << name;
            const QRect at(part->mapTo(f.menu.get(), QPoint(0, 0)), part->size());
            EXPECT_TRUE(f.menu->rect().contains(at)) << name << " ends at " << at.bottom();
            EXPECT_GT(at.height(), 0) << name;
        }
        // The conversation scrolls, each message drawn whole.
        auto* transcript = f.menu->findChild<QScrollArea*>("chatMessages");
        EXPECT_GT(transcript->verticalScrollBar()->maximum(), 0);
        const auto texts = f.menu->findChildren<QTextBrowser*>("messageText");
        EXPECT_EQ(texts.size(), 8);
        for (auto* text : texts) {
            EXPECT_GE(text->height(), text->heightForWidth(text->width()))
                << text->toPlainText().toStdString();
        }
        f.menu->hide();
    }
}

}  // namespace
}  // namespace vask::ui

namespace vask::ui {
namespace {

// On a 1024x600 screen at twice the scale (512x300 logical), a new chat in the popover opens at
// its top: the mark above "Ask anything about your messages" whole, not scrolled past.
TEST(PopoverTest, ANewChatOpensAtItsTopOnASmallScreen) {
    PopoverFixture f(true, true);
    f.signIn();
    f.root->shadowSyncViewModel()->simulateSynced();
    TrayController tray(f.menu.get(), {.openVask = [] {},
                                       .openSettings = [] {},
                                       .showAbout = [] {},
                                       .checkForUpdates = {},
                                       .quit = [] {}});
    tray.placePopover(QRect(470, 288, 24, 12), QRect(0, 0, 512, 288));
    f.menu->show();
    f.drain();
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QApplication::processEvents();
    }
    auto* transcript = f.menu->findChild<QScrollArea*>("chatMessages");
    ASSERT_NE(transcript, nullptr);
    ASSERT_GT(transcript->verticalScrollBar()->maximum(), 0) << "the empty chat fits: no test";
    EXPECT_EQ(transcript->verticalScrollBar()->value(), 0);
    auto* empty = f.menu->findChild<QWidget*>("chatEmptyState");
    ASSERT_NE(empty, nullptr);
    auto* mark = empty->findChild<CurlMark*>();
    ASSERT_NE(mark, nullptr);
    const QRect at(mark->mapTo(transcript->viewport(), QPoint(0, 0)), mark->size());
    EXPECT_TRUE(transcript->viewport()->rect().contains(at)) << "the mark starts at " << at.top();
}

}  // namespace
}  // namespace vask::ui

namespace vask::ui {
namespace {

TrayController::Actions noTrayActions() {
    return {.openVask = [] {},
            .openSettings = [] {},
            .showAbout = [] {},
            .checkForUpdates = {},
            .quit = [] {}};
}

// A key or a click as the window system hands it in: to the popover's window, which holds it back
// while a modal window blocks it.
void pressOnWindow(QWidget* window, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QCoreApplication::sendEvent(window->windowHandle(), &press);
    QCoreApplication::sendEvent(window->windowHandle(), &release);
}
void clickOnWindow(QWidget* window, QWidget* control) {
    const QPointF at = control->mapTo(window, control->rect().center());
    const QPointF global = window->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(window->windowHandle(), &press);
    QCoreApplication::sendEvent(window->windowHandle(), &release);
}

// Esc puts the popover away wherever the keyboard is in it, as a popup (X11) and as the window of
// its own the compositor places (Wayland), where the toolkit would not.
TEST(PopoverTest, EscPutsThePopoverAway) {
    PopoverFixture f(true, true);
    f.signIn();
    f.root->shadowSyncViewModel()->simulateSynced();
    TrayController tray(f.menu.get(), noTrayActions());
    for (const bool placedByCompositor : {true, false}) {
        SCOPED_TRACE(placedByCompositor ? "placed by the compositor" : "a popup");
        tray.setPlacedByCompositor(placedByCompositor);
        tray.showPopoverAt(QRect(600, 0, 24, 24));
        f.drain();
        QApplication::processEvents();
        ASSERT_TRUE(f.menu->isVisible());
        QWidget* composer = f.menu->findChild<QWidget*>("composerBox");
        ASSERT_NE(composer, nullptr);
        f.menu->activateWindow();
        composer->setFocus();
        pressOnWindow(f.menu.get(), Qt::Key_Escape);
        EXPECT_FALSE(f.menu->isVisible());
        f.menu->hide();
    }
}

// On a 1024x600 screen at twice the scale (512x300 logical) under Wayland, where the toolkit
// knows of no panel, the compositor centres the popover in what its panel leaves: the popover
// leaves a 28-pixel top panel its header row. A panel the toolkit knows of is taken as it is.
TEST(PopoverTest, ThePopoverTheCompositorPlacesLeavesRoomForAPanel) {
    PopoverFixture f(true, true);
    f.signIn();
    f.root->shadowSyncViewModel()->simulateSynced();
    TrayController tray(f.menu.get(), noTrayActions());
    tray.setPlacedByCompositor(true);
    const QRect screen(0, 0, 512, 300);
    tray.sizeForCompositor(screen, screen);
    const int height = f.menu->geometry().height();
    constexpr int topPanel = 28;
    EXPECT_GE((screen.height() - height) / 2, topPanel) << "popover " << height << " tall";
    f.menu->show();
    f.drain();
    QApplication::processEvents();
    for (const char* name : {"popover.new", "popover.openInVask", "composerBox"}) {
        QWidget* part = f.menu->findChild<QWidget*>(name);
        ASSERT_NE(part, nullptr) << name;
        const QRect at(part->mapTo(f.menu.get(), QPoint(0, 0)), part->size());
        EXPECT_TRUE(f.menu->rect().contains(at)) << name;
    }
    f.menu->hide();

    const QRect known = screen.adjusted(0, topPanel, 0, 0);
    tray.sizeForCompositor(screen, known);
    EXPECT_GT(f.menu->geometry().height(), height) << "the known panel's strip alone is left";
    EXPECT_LE(f.menu->geometry().height(), known.height());
}

// While About Vask is up, the tray still opens the popover and the popover takes clicks and
// keys: the About box blocks no other window.
TEST(PopoverTest, TheTrayOpensAWorkingPopoverWhileAboutIsOpen) {
    PopoverFixture f(true, true);
    f.signIn();
    f.root->shadowSyncViewModel()->simulateSynced();
    test::RecordingOpener opener;
    QPixmap icon(16, 16);
    icon.fill(Qt::magenta);
    QPointer<QMessageBox> about = showAboutBox("About Vask", "<b>Vask</b> 1.0", icon, opener);
    QApplication::processEvents();
    TrayController tray(f.menu.get(), noTrayActions());
    for (const bool placedByCompositor : {true, false}) {
        SCOPED_TRACE(placedByCompositor ? "placed by the compositor" : "a popup");
        tray.setPlacedByCompositor(placedByCompositor);
        tray.togglePopover();
        f.drain();
        QApplication::processEvents();
        ASSERT_TRUE(f.menu->isVisible());
        const int opened = f.mainOpened;
        clickOnWindow(f.menu.get(), f.visibleButton("popover.openInVask"));
        f.drain();
        EXPECT_EQ(f.mainOpened, opened + 1) << "Open in Vask took the click";
        f.menu->hide();
    }
    ASSERT_TRUE(about);
    about->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace
}  // namespace vask::ui
