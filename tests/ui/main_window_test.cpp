#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>

#include <chrono>

#include <gtest/gtest.h>

#include "contrast.h"

#include "platform/manual_executor.h"
#include "proactive/awaiting_stand_ins.h"
#include "proactive/persona_drafts.h"
#include "proactive/proactive_surfaces.h"
#include "shell/chat_stand_in.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"
#include "ui/awaiting/awaiting_replies_detail_view.h"
#include "ui/main_window/main_window.h"
#include "ui/settings/form_parts.h"
#include "ui/window_registry.h"

namespace vask::ui {
namespace {

using Detail = MainWindowModel::Detail;
using testing::ChatStandIn;

// The window over a stand-in chat that keeps a real sessions.db.
struct WindowFixture {
    WindowFixture() {
        chat.add(ChatStandIn::session("lisbon", "Trip to Lisbon", {"Pack the tickets"}, 90));
        chat.add(ChatStandIn::session("dinner", "Dinner plans", {"Pasta at eight"}, 5));
        window = std::make_unique<MainWindow>(dependencies());
    }

    MainWindow::Dependencies dependencies() {
        return MainWindow::Dependencies{
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
                        .now = [this] { return now; },
                        .confirm = [this](QWidget*, const Confirmation&) { return confirms; },
                        .prompt = [this](QWidget*, const QString&, const QString&,
                                         const QString&) { return promptAnswer; }},
            .makeAwaitingView = [this](MainWindow::CatchUp catchUp,
                                       std::function<bool()> canCatchUp) -> QWidget* {
                catchUpAction = std::move(catchUp);
                catchUpAvailable = std::move(canCatchUp);
                return awaitingView ? awaitingView() : new QLabel("awaiting");
            },
            .makeChatView = {},
        };
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
    std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    bool confirms = false;
    std::optional<QString> promptAnswer;
    MainWindow::CatchUp catchUpAction;
    std::function<bool()> catchUpAvailable;
    std::function<QWidget*()> awaitingView;
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

// Signed out, the window has its own way to sign in, and names the tray only where Vask's icon
// is in one.
TEST(MainWindowTest, SignedOutOffersSignInAndNamesTheTrayOnlyWhereThereIsOne) {
    for (const bool tray : {false, true}) {
        SCOPED_TRACE(tray ? "tray" : "no tray");
        WindowFixture f;
        f.chat.hasCredentials = false;
        int signIns = 0;
        auto deps = f.dependencies();
        deps.hasTray = [tray] { return tray; };
        deps.signIn = [&signIns] { ++signIns; };
        MainWindow window(std::move(deps));
        window.show();
        auto* description = window.findChild<QLabel*>("signed-out-description");
        ASSERT_NE(description, nullptr);
        EXPECT_TRUE(description->isVisibleTo(&window));
        EXPECT_EQ(description->text().contains("tray"), tray);
        auto* signIn = window.findChild<QPushButton*>("signed-out-sign-in");
        ASSERT_NE(signIn, nullptr);
        EXPECT_EQ(signIn->text(), "Sign In\u2026");
        signIn->click();
        EXPECT_EQ(signIns, 1);
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

AwaitingReply waitingSince(const std::string& id, std::int64_t unixSeconds) {
    AwaitingReply reply;
    reply.chatId = id;
    reply.contactName = id;
    reply.timestampUnix = unixSeconds;
    return reply;
}

// Every text of the sidebar either fits its label or ends in "…", and badges stay whole inside
// the list, at the window's minimum size.
TEST(MainWindowTest, AtItsMinimumSizeTheSidebarElidesAndKeepsBadgesWhole) {
    WindowFixture f;
    f.chat.add(ChatStandIn::session(
        "long", "A very long chat title about the weekend at the cabin with everyone", {"x"}, 1));
    f.replies = {waitingSince("maya", f.now - 600), waitingSince("leo", f.now - 7200)};
    f.window->show();
    f.window->resize(f.window->minimumSizeHint());
    for (const bool awaitingSelected : {false, true}) {
        SCOPED_TRACE(awaitingSelected ? "awaiting row selected" : "chat selected");
        if (awaitingSelected) {
            f.window->model().select(SidebarSelection::awaitingReplies());
            f.window->render();
        }
        for (int i = 0; i < 5; ++i) {
            QCoreApplication::processEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        auto* list = f.window->findChild<QListWidget*>("session-list");
        const QRect viewport = list->viewport()->rect();
        int elided = 0;
        for (auto* label : list->findChildren<QLabel*>()) {
            if (label->objectName() == "sidebar-empty" || !label->isVisibleTo(list)) {
                continue;
            }
            const int needed = QFontMetrics(label->font()).horizontalAdvance(label->text());
            const bool fits = needed <= label->contentsRect().width();
            elided += label->text().endsWith(QChar(0x2026)) ? 1 : 0;
            EXPECT_TRUE(fits) << label->objectName().toStdString() << ": "
                              << label->text().toStdString();
            const QRect inViewport(label->mapTo(list->viewport(), QPoint(0, 0)), label->size());
            EXPECT_TRUE(viewport.contains(inViewport))
                << label->objectName().toStdString() << " reaches past the list";
        }
        EXPECT_GE(elided, 1) << "the long title is cut with an ellipsis";
        auto* badge = list->findChild<QLabel*>("awaiting-count");
        ASSERT_TRUE(badge);
        EXPECT_EQ(badge->text(), "2");
        EXPECT_GE(badge->width(), badge->sizeHint().width()) << "the badge is whole";
    }
}

TEST(MainWindowTest, AtItsDefaultSizeTheAwaitingEntryIsWhole) {
    WindowFixture f;
    f.replies = {waitingSince("maya", f.now - 600), waitingSince("leo", f.now - 7200),
                 waitingSince("mom", f.now - 9000)};
    f.window->show();
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    auto* label =
        f.window->findChild<QListWidget*>("session-list")->findChild<QLabel*>("awaiting-label");
    ASSERT_TRUE(label);
    EXPECT_EQ(label->text(), "Awaiting your reply");
}

// The selected awaiting row is drawn on the selection colour, in the active window or not;
// its label and its badge are readable on it in both appearances.
TEST(MainWindowTest, TheSelectedAwaitingRowIsReadableInBothAppearances) {
    const Appearance before = Theme::current();
    for (const auto appearance : {Appearance::light, Appearance::dark}) {
        SCOPED_TRACE(appearance == Appearance::dark ? "dark" : "light");
        Theme::apply(*qApp, appearance);
        WindowFixture f;
        f.replies = {waitingSince("maya", f.now - 600)};
        f.window->show();
        f.window->model().select(SidebarSelection::awaitingReplies());
        f.window->render();
        // Rows replaced by the render go on the next turn of the loop.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        auto* list = f.window->findChild<QListWidget*>("session-list");
        const QColor selection = list->palette().color(QPalette::Inactive, QPalette::Highlight);
        auto* label = list->findChild<QLabel*>("awaiting-label");
        auto* badge = list->findChild<QLabel*>("awaiting-count");
        ASSERT_TRUE(label && badge);
        EXPECT_GE(test::contrastRatio(label->palette().color(QPalette::WindowText), selection),
                  4.5);
        // The badge's own background is the colour the row's text takes.
        EXPECT_GE(test::contrastRatio(badge->palette().color(QPalette::WindowText),
                                      label->palette().color(QPalette::WindowText)),
                  4.5);
        EXPECT_EQ(static_cast<Badge*>(badge)->fill(), label->palette().color(QPalette::WindowText));
    }
    Theme::apply(*qApp, before);
}

// The window redraws on every synchronisation start and end and every reading of the awaiting
// replies: rows that show the same are kept as they are, and laid out again once they change.
TEST(MainWindowTest, RowsAreLaidOutAgainOnlyWhenWhatTheyShowChanges) {
    WindowFixture f;
    f.replies = {waitingSince("leo", f.now - 60)};
    f.window->show();
    auto* list = f.window->findChild<QListWidget*>("session-list");
    const auto lastRow = [list] { return list->itemWidget(list->item(list->count() - 1)); };
    const QPointer<QWidget> laidOut = lastRow();
    ASSERT_TRUE(laidOut);
    auto& sidebar = f.window->sidebar();
    const auto selection = f.window->model().selection();
    f.syncing = true;
    sidebar.render(selection);
    f.syncing = false;
    f.replies = {waitingSince("leo", f.now - 60)};
    sidebar.render(selection);
    EXPECT_EQ(lastRow(), laidOut.data());

    f.replies.push_back(waitingSince("maya", f.now - 120));
    sidebar.render(selection);
    EXPECT_NE(lastRow(), laidOut.data());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(list->findChild<QLabel*>("awaiting-count")->text(), "2");
}

// Ages and the awaiting count are redrawn every minute: "10 min. ago" does not stay that, and a
// reply that ages out of the day window leaves the count.
TEST(MainWindowTest, AgesAndTheAwaitingCountAreRedrawnEachMinute) {
    WindowFixture f;
    f.replies = {waitingSince("maya", f.now - 7 * 86400 + 30), waitingSince("leo", f.now - 60)};
    f.window->show();
    auto* list = f.window->findChild<QListWidget*>("session-list");
    const auto ages = [list] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QStringList texts;
        for (auto* label : list->findChildren<QLabel*>("session-age")) {
            texts << label->text();
        }
        texts.sort();
        return texts;
    };
    const auto count = [list] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return list->findChild<QLabel*>("awaiting-count")->text();
    };
    EXPECT_EQ(ages(), (QStringList{"1 hr. ago", "5 min. ago"}));
    EXPECT_EQ(count(), "2");

    QTimer* minute = nullptr;
    for (auto* timer : f.window->sidebar().findChildren<QTimer*>()) {
        if (timer->interval() == 60'000 && timer->isActive()) {
            minute = timer;
        }
    }
    ASSERT_TRUE(minute) << "a timer redraws the rows each minute";
    f.now += 10 * 60;
    minute->setInterval(1);
    for (int i = 0; i < 50 && count() != "1"; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_EQ(count(), "1");
    EXPECT_EQ(ages(), (QStringList{"1 hr. ago", "15 min. ago"}));
}

}  // namespace
}  // namespace vask::ui

namespace vask::ui {
namespace {

// The awaiting screen over stand-in lists, in the window.
struct AwaitingStageFixture {
    AwaitingStageFixture() {
        defaults.set(ProactiveSurfaces::enabledKey(), true);
        defaults.set(PersonaDrafts::enabledKey(), false);
    }
    void settle() {
        while (worker.runUntilIdle() + main.runUntilIdle() > 0) {
        }
    }
    QWidget* makeView(std::vector<AwaitingReply> replies) {
        stage = std::make_unique<stand_in::AwaitingStage>(std::move(replies), defaults, main,
                                                          worker, clock);
        settle();
        ReplyDrafts::Seams seams;
        seams.personaDraftsEnabled = [] { return false; };
        seams.complete = [](const CorvaneResponses::Request&) {
            return std::optional<std::string>("See you at 7");
        };
        return new AwaitingRepliesDetailView(stage->dependencies(opener, clipboard, seams));
    }

    struct : Clipboard {
        void setText(const std::string&) override {}
    } clipboard;
    struct : UrlOpener {
        bool open(const std::string&) override { return true; }
    } opener;
    InMemoryDefaults defaults;
    ManualExecutor main;
    ManualExecutor worker;
    test::FakeClock clock;
    std::unique_ptr<stand_in::AwaitingStage> stage;
};

void flushEvents() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

TEST(MainWindowTest, ALiveChangeOfAppearanceKeepsTheScreenTheDraftAndTheSearch) {
    const Appearance before = Theme::current();
    Theme::apply(*qApp, Appearance::light);
    WindowFixture f;
    AwaitingStageFixture awaiting;
    f.replies = {waitingSince("maya", f.now - 600)};
    f.awaitingView = [&] { return awaiting.makeView({waitingSince("maya", f.now - 600)}); };
    WindowRegistry registry;
    registry.registerWindow("main", [&f] { return new MainWindow(f.dependencies()); });
    QPointer<QWidget> window = registry.open("main");
    auto* main = static_cast<MainWindow*>(window.data());
    main->model().select(SidebarSelection::awaitingReplies());
    main->render();
    flushEvents();
    main->findChild<QPushButton*>("awaiting.draft")->click();
    awaiting.settle();
    flushEvents();
    auto* editor = main->findChild<QPlainTextEdit*>("awaiting.draftText");
    ASSERT_TRUE(editor);
    editor->setPlainText("Running late, see you at 8");
    main->findChild<QLineEdit*>("sidebar-search")->setText("ma");

    const QPointer<QPlainTextEdit> editorBefore = editor;
    Theme::apply(*qApp, Appearance::dark);
    flushEvents();
    auto* shown = registry.window("main");
    ASSERT_EQ(shown, window.data()) << "a repaint, nothing made again";
    EXPECT_EQ(shown->findChild<QPlainTextEdit*>("awaiting.draftText"), editorBefore.data());
    EXPECT_EQ(shown->findChild<QStackedWidget*>()->currentWidget()->objectName(),
              "awaiting-detail");
    auto* draft = shown->findChild<QPlainTextEdit*>("awaiting.draftText");
    ASSERT_TRUE(draft) << "the open draft stays";
    EXPECT_EQ(draft->toPlainText(), "Running late, see you at 8");
    EXPECT_EQ(shown->findChild<QLineEdit*>("sidebar-search")->text(), "ma");
    // In the new colours.
    auto* sidebar = shown->findChild<QWidget*>("session-sidebar");
    EXPECT_EQ(sidebar->palette().color(QPalette::Window), Theme::palette(Appearance::dark).panel);
    delete registry.window("main");
    Theme::apply(*qApp, before);
}

}  // namespace
}  // namespace vask::ui
