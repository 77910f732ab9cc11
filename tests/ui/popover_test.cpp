#include <QLabel>
#include <QStackedWidget>
#include <QToolButton>

#include <gtest/gtest.h>

#include "sample-chatdb/sample_chat_db.h"
#include "shell/app_dependencies.h"
#include "shell/popover_model.h"
#include "support/app_root_fixture.h"
#include "ui/popover/vask_menu.h"

namespace vask::ui {
namespace {

struct RecordingClipboard final : Clipboard {
    void setText(const std::string& text) override { texts.push_back(text); }
    std::vector<std::string> texts;
};

// A popover over a root of its own: a private home, in-memory secrets and manual executors.
struct PopoverFixture : test::AppRootFixture {
    explicit PopoverFixture(bool withMessages) : AppRootFixture({.instance = "VaskUITest"}) {
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
        menu = std::make_unique<VaskMenu>(
            *model, new QWidget, clipboard,
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

}  // namespace
}  // namespace vask::ui
