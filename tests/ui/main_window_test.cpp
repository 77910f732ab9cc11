#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QStackedWidget>
#include <QToolButton>

#include <gtest/gtest.h>

#include "shell/chat_stand_in.h"
#include "support/temp_dir.h"
#include "ui/main_window/main_window.h"

namespace vask::ui {
namespace {

using Detail = MainWindowModel::Detail;
using testing::ChatStandIn;

// The window over a stand-in chat that keeps a real sessions.db.
struct WindowFixture {
    WindowFixture() {
        chat.add(ChatStandIn::session("lisbon", "Trip to Lisbon", {"Pack the tickets"}, 90));
        chat.add(ChatStandIn::session("dinner", "Dinner plans", {"Pasta at eight"}, 5));
        window = std::make_unique<MainWindow>(MainWindow::Dependencies{
            .chat = chat.chat,
            .sync = {.hasSynced = [this] { return synced; },
                     .isSyncing = [this] { return syncing; },
                     .lastError = [this] { return syncError; },
                     .syncIfPossible = [] {}},
            .awaiting = {.pendingFocus = [this] { return awaitingFocus; },
                         .setPendingFocus = [this](bool on) { awaitingFocus = on; },
                         .refreshNow = [] {}},
            .showProactiveSurfaces = [this] { return proactive; },
            .activate = {},
            .observeSync = {},
            .observeAwaiting = {},
            .sidebar = {.awaitingReplies = [this] { return replies; },
                        .displayDays = [] { return 7; },
                        .showsProactive = [this] { return proactive; },
                        .now = [] { return std::int64_t{1'800'000'000}; },
                        .confirm = [this](QWidget*, const Confirmation&) { return confirms; },
                        .prompt = [this](QWidget*, const QString&, const QString&,
                                         const QString&) { return promptAnswer; }},
            .makeAwaitingView = [this](MainWindow::CatchUp catchUp,
                                       std::function<bool()> canCatchUp) -> QWidget* {
                catchUpAction = std::move(catchUp);
                catchUpAvailable = std::move(canCatchUp);
                return new QLabel("awaiting");
            },
            .makeChatView = {},
        });
    }

    QString page() const {
        return window->findChild<QStackedWidget*>()->currentWidget()->objectName();
    }
    std::vector<std::string> rows() const {
        std::vector<std::string> ids;
        auto* list = window->findChild<QListWidget*>("session-list");
        for (int i = 0; i < list->count(); ++i) {
            const auto tag = list->item(i)->data(Qt::UserRole + 1).toString();
            if (!tag.isEmpty()) {
                ids.push_back(tag.toStdString());
            }
        }
        return ids;
    }

    test::TempDir dir;
    ChatStandIn chat{dir.path() / "sessions.db"};
    bool synced = true;
    bool syncing = false;
    std::optional<std::string> syncError;
    bool awaitingFocus = false;
    bool proactive = true;
    std::vector<AwaitingReply> replies;
    bool confirms = false;
    std::optional<QString> promptAnswer;
    MainWindow::CatchUp catchUpAction;
    std::function<bool()> catchUpAvailable;
    std::unique_ptr<MainWindow> window;
};

TEST(MainWindowTest, DetailFollowsCredentialsAndSynchronisation) {
    struct Case {
        const char* name;
        bool credentials;
        bool synced;
        bool syncing;
        QString page;
    };
    const std::vector<Case> cases = {
        {"signed out", false, true, false, "signed-out"},
        {"first sync", true, false, true, "syncing"},
        {"later sync", true, true, true, "syncing"},
        {"ready", true, true, false, "conversation"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WindowFixture f;
        f.chat.hasCredentials = c.credentials;
        f.synced = c.synced;
        f.syncing = c.syncing;
        f.syncError = "database is locked";
        f.window->show();
        EXPECT_EQ(f.page(), c.page);
        auto* error = f.window->findChild<QLabel*>("sync-error");
        EXPECT_EQ(error->isVisibleTo(f.window.get()), c.page == "syncing");
    }
}

TEST(MainWindowTest, AppearingSelectsTheCurrentSessionAndPickingARowSwitches) {
    WindowFixture f;
    f.window->show();
    EXPECT_EQ(f.window->model().selection(),
              SidebarSelection::chat(f.chat.chat.currentSessionID()));
    EXPECT_EQ(f.rows(), (std::vector<std::string>{"dinner", "lisbon"}));

    auto* list = f.window->findChild<QListWidget*>("session-list");
    list->setCurrentRow(2);  // "Chats" header, dinner, lisbon
    EXPECT_EQ(f.chat.chat.currentSessionID(), "lisbon");
    EXPECT_EQ(f.window->windowTitle(), "Trip to Lisbon");
}

TEST(MainWindowTest, ASessionHandedOffFromThePopoverIsSelectedWhileOpen) {
    WindowFixture f;
    f.window->show();
    f.chat.adopt(ChatStandIn::session("handed", "From the popover", {"Hi there"}, 0));
    EXPECT_EQ(f.window->model().selection(), SidebarSelection::chat("handed"));
    EXPECT_FALSE(f.chat.chat.pendingSessionFocus());
    auto* list = f.window->findChild<QListWidget*>("session-list");
    ASSERT_TRUE(list->currentItem());
    EXPECT_EQ(list->currentItem()->data(Qt::UserRole + 1).toString(), "handed");
}

TEST(MainWindowTest, SearchFiltersTheRowsAndSaysWhenNothingMatches) {
    WindowFixture f;
    f.window->show();
    auto* search = f.window->findChild<QLineEdit*>("sidebar-search");
    auto* overlay = f.window->findChild<QLabel*>("sidebar-empty");
    search->setText("PASTA");
    EXPECT_EQ(f.rows(), (std::vector<std::string>{"dinner"}));
    EXPECT_FALSE(overlay->isVisibleTo(f.window.get()));
    search->setText("nowhere");
    EXPECT_TRUE(f.rows().empty());
    EXPECT_TRUE(overlay->isVisibleTo(f.window.get()));
    EXPECT_TRUE(overlay->text().contains("nowhere"));
    search->setText("   ");
    EXPECT_EQ(f.rows().size(), 2u);
}

TEST(MainWindowTest, DeleteAndRenameGoThroughTheirDialogs) {
    WindowFixture f;
    f.window->show();
    auto& sidebar = f.window->sidebar();

    f.confirms = false;
    sidebar.confirmDeletion("lisbon");
    EXPECT_EQ(f.chat.storedIDs(), (std::vector<std::string>{"dinner", "lisbon"}));
    f.confirms = true;
    sidebar.confirmDeletion("lisbon");
    EXPECT_EQ(f.chat.storedIDs(), (std::vector<std::string>{"dinner"}));
    EXPECT_EQ(f.rows(), (std::vector<std::string>{"dinner"}));

    f.promptAnswer = std::nullopt;
    sidebar.rename("dinner");
    EXPECT_EQ(f.chat.stored("dinner")->title, "Dinner plans");
    f.promptAnswer = "  Friday dinner ";
    sidebar.rename("dinner");
    EXPECT_EQ(f.chat.stored("dinner")->title, "Friday dinner");
    EXPECT_FALSE(sidebar.model().renamingID());
}

TEST(MainWindowTest, NoChatsYetWhenNothingIsSavedOrAwaiting) {
    WindowFixture f;
    f.confirms = true;
    f.window->show();
    f.window->sidebar().confirmDeletion("lisbon");
    f.window->sidebar().confirmDeletion("dinner");
    auto* overlay = f.window->findChild<QLabel*>("sidebar-empty");
    EXPECT_TRUE(overlay->isVisibleTo(f.window.get()));
    EXPECT_EQ(overlay->text(), "No Chats Yet");
}

TEST(MainWindowTest, CatchUpFromTheAwaitingScreenWaitsForTheRunningTurn) {
    WindowFixture f;
    AwaitingReply reply;
    reply.chatId = "chat-1";
    reply.contactName = "Maya";
    f.replies = {reply};
    f.window->show();
    f.window->model().select(SidebarSelection::awaitingReplies());
    f.window->render();
    ASSERT_EQ(f.window->shownDetail(), Detail::awaitingReplies);
    ASSERT_TRUE(f.catchUpAction);

    f.chat.sending = true;
    EXPECT_FALSE(f.catchUpAvailable());
    f.catchUpAction(reply);
    EXPECT_TRUE(f.chat.sent.empty());
    EXPECT_EQ(f.window->shownDetail(), Detail::awaitingReplies);

    f.chat.sending = false;
    EXPECT_TRUE(f.catchUpAvailable());
    f.catchUpAction(reply);
    ASSERT_EQ(f.chat.sent.size(), 1u);
    EXPECT_EQ(f.window->shownDetail(), Detail::chat);
}

}  // namespace
}  // namespace vask::ui
