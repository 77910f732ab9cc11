#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListView>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>

#include <chrono>
#include <map>

#include <gtest/gtest.h>

#include "app/window_sources.h"
#include "chat/chat_presenters.h"
#include "contrast.h"

#include "platform/manual_executor.h"
#include "proactive/awaiting_stand_ins.h"
#include "proactive/persona_drafts.h"
#include "proactive/proactive_surfaces.h"
#include "shell/chat_stand_in.h"
#include "support/app_root_fixture.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"
#include "ui/awaiting/awaiting_replies_detail_view.h"
#include "ui/chat/chat_view.h"
#include "ui/main_window/main_window.h"
#include "ui/main_window/main_window_factory.h"
#include "ui/main_window/session_rows.h"
#include "ui/settings/form_parts.h"
#include "ui/window_fit.h"
#include "ui/window_registry.h"

namespace vask::ui {
namespace {

using Detail = MainWindowModel::Detail;
using testing::ChatStandIn;

// The window over a stand-in chat that keeps a real sessions.db.
struct WindowFixture {
    WindowFixture() {
        const std::chrono::system_clock::time_point at{std::chrono::seconds(now)};
        chat.add(ChatStandIn::session("lisbon", "Trip to Lisbon", {"Pack the tickets"}, 90, at));
        chat.add(ChatStandIn::session("dinner", "Dinner plans", {"Pasta at eight"}, 5, at));
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
    QListView* list() const { return window->findChild<QListView*>("session-list"); }
    QModelIndex row(int at) const { return list()->model()->index(at, 0); }
    // The tags of the rows that can be picked, in order.
    std::vector<std::string> rows() const {
        std::vector<std::string> ids;
        for (int i = 0; i < list()->model()->rowCount(); ++i) {
            const auto tag = row(i).data(SessionRowsModel::selectionRole).toString();
            if (!tag.isEmpty()) {
                ids.push_back(tag.toStdString());
            }
        }
        return ids;
    }
    // A left click at `at` in the list, as the user gives it.
    void click(QPoint at) const {
        auto* viewport = list()->viewport();
        for (const auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent event(type, QPointF(at), viewport->mapToGlobal(QPointF(at)), Qt::LeftButton,
                              type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                              Qt::NoModifier);
            QApplication::sendEvent(viewport, &event);
        }
    }
    void pick(int at) const { click(list()->visualRect(row(at)).center()); }
    QString currentTag() const {
        return list()->currentIndex().data(SessionRowsModel::selectionRole).toString();
    }
    // What the row at `at` draws where the list shows it.
    SessionRowDelegate::Layout drawn(int at) const {
        const QModelIndex index = row(at);
        return SessionRowDelegate::layout(index, list()->visualRect(index),
                                          list()->selectionModel()->isSelected(index));
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

    f.pick(2);  // "Chats" heading, dinner, lisbon
    EXPECT_EQ(f.chat.chat.currentSessionID(), "lisbon");
    EXPECT_EQ(f.window->windowTitle(), "Trip to Lisbon");
}

TEST(MainWindowTest, ASessionHandedOffFromThePopoverIsSelectedWhileOpen) {
    WindowFixture f;
    f.window->show();
    f.chat.adopt(ChatStandIn::session("handed", "From the popover", {"Hi there"}, 0));
    EXPECT_EQ(f.window->model().selection(), SidebarSelection::chat("handed"));
    EXPECT_FALSE(f.chat.chat.pendingSessionFocus());
    EXPECT_EQ(f.currentTag(), "handed");
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

// At the window's minimum size every text of the sidebar fits where it is drawn, inside the list:
// the awaiting row's label, the heading, the ages and the count read whole, and only a title or
// a last message too long for the row ends in "…".
TEST(MainWindowTest, AtItsMinimumSizeTheSidebarKeepsItsLabelHeadingAndTimesWhole) {
    WindowFixture f;
    f.chat.add(ChatStandIn::session(
        "long", "A very long chat title about the weekend at the cabin with everyone", {"x"}, 1));
    f.replies = {waitingSince("maya", f.now - 600), waitingSince("leo", f.now - 7200)};
    f.window->show();
    f.window->resize(f.window->minimumSizeHint());
    QCoreApplication::processEvents();
    for (const bool awaitingSelected : {false, true}) {
        SCOPED_TRACE(awaitingSelected ? "awaiting row selected" : "chat selected");
        if (awaitingSelected) {
            f.window->model().select(SidebarSelection::awaitingReplies());
            f.window->render();
        }
        const QRect viewport = f.list()->viewport()->rect();
        std::map<std::string, QString> whole;
        int elided = 0;
        for (int i = 0; i < f.list()->model()->rowCount(); ++i) {
            const auto drawn = f.drawn(i);
            for (const auto& text : drawn.texts) {
                const std::string name = text.name.toStdString();
                const int needed = QFontMetrics(text.font).horizontalAdvance(text.text);
                EXPECT_LE(needed, text.rect.width()) << name << ": " << text.text.toStdString();
                EXPECT_TRUE(viewport.contains(text.rect)) << name << " reaches past the list";
                if (text.text.endsWith(QChar(0x2026))) {
                    ++elided;
                    EXPECT_TRUE(name == "title" || name == "preview") << name << " is cut";
                } else if (name != "title" && name != "preview") {
                    whole[name] = text.text;
                }
            }
            if (drawn.badge) {
                EXPECT_TRUE(viewport.contains(*drawn.badge)) << "the badge is whole";
            }
        }
        EXPECT_GE(elided, 1) << "the long title is cut with an ellipsis";
        EXPECT_EQ(whole["label"], "Awaiting your reply");
        EXPECT_EQ(whole["heading"], "Chats");
        EXPECT_EQ(whole["count"], "2");
        EXPECT_FALSE(whole["age"].isEmpty());
    }
}

// On each screen, at each scale, the window's whole layout asks for less than the room the screen
// leaves it, so the window opens inside the screen and can be sized down.
TEST(MainWindowTest, TheLayoutsMinimumFitsTheScreenAtEveryScale) {
    WindowFixture f;
    f.replies = {waitingSince("maya", f.now - 600)};
    const Extent screens[] = {{1920, 1050}, {1366, 768}, {683, 384}, {512, 300}, {400, 300}};
    for (const auto screen : screens) {
        SCOPED_TRACE(std::to_string(screen.width) + "x" + std::to_string(screen.height));
        const Extent room = roomOn(screen);
        f.window->fitPanesTo(room);
        f.window->render();
        QCoreApplication::processEvents();
        f.window->layout()->activate();
        const QSize least = f.window->layout()->totalMinimumSize();
        // Less than the room: the window can still be made smaller.
        EXPECT_LT(least.width(), room.width);
        EXPECT_LT(least.height(), room.height);
        EXPECT_EQ(f.window->sidebar().isVisibleTo(f.window.get()), screen.width > 400);
    }
}

// On a 1024x600 screen at twice the scale (512x300 logical), as the window opens and at its
// smallest, a new chat's heading is whole: it wraps rather than running under the scroll bar.
TEST(MainWindowTest, TheEmptyChatsHeadingIsWholeOnA1024x600ScreenAtTwiceTheScale) {
    struct NoClipboard final : Clipboard {
        void setText(const std::string&) override {}
    } clipboard;
    struct NoOpener final : UrlOpener {
        bool open(const std::string&) override { return false; }
    } opener;
    test::AppRootFixture fixture;
    fixture.signIn();
    auto& root = *fixture.root;
    root.shadowSyncViewModel()->simulateSynced();
    std::unique_ptr<QWidget> window(
        makeMainWindow(mainWindowSources(root, clipboard, opener, [&]() -> QWidget* {
            return new ChatView(root.chatViewModel(), {.isReady = true,
                                                       .showsSessionControls = false,
                                                       .showsSources = true,
                                                       .focusesInputOnAppear = false,
                                                       .urlOpener = &opener});
        })));
    auto* main = qobject_cast<MainWindow*>(window.get());
    ASSERT_NE(main, nullptr);
    window->show();
    fixture.drain();
    const Extent screen{512, 300};
    main->fitPanesTo(roomOn(screen));
    fitToArea(window.get(), {900, 600}, {}, noLimit, screen);
    const QString heading = QString::fromUtf8(chat_presentation::emptyStatePrompt.data(),
                                              chat_presentation::emptyStatePrompt.size());
    for (const bool smallest : {false, true}) {
        SCOPED_TRACE(smallest ? "at its smallest" : "as it opens");
        if (smallest) {
            window->resize(window->minimumSize());
        }
        QApplication::processEvents();
        window->layout()->activate();
        QApplication::processEvents();
        QLabel* label = nullptr;
        for (auto* candidate : window->findChildren<QLabel*>()) {
            if (candidate->text() == heading && candidate->isVisibleTo(window.get())) {
                label = candidate;
            }
        }
        ASSERT_NE(label, nullptr);
        auto* messages = window->findChild<QScrollArea*>("chatMessages");
        ASSERT_NE(messages, nullptr);
        const QRect shown(label->mapTo(messages->viewport(), QPoint(0, 0)), label->size());
        EXPECT_GE(shown.left(), 0);
        EXPECT_LE(shown.right(), messages->viewport()->width() - 1) << "under the scroll bar";
        const int needed = label->wordWrap() ? label->heightForWidth(label->width())
                                             : label->fontMetrics().height();
        EXPECT_GE(label->height(), needed);
        if (!label->wordWrap()) {
            EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(heading));
        }
        // The transcript, and its scroll bar, end above the composer's divider.
        auto* composer = window->findChild<QWidget*>("chatInputArea");
        ASSERT_NE(composer, nullptr);
        EXPECT_LT(messages->mapTo(window.get(), QPoint(0, messages->height())).y(),
                  composer->mapTo(window.get(), QPoint(0, 0)).y());
    }
}

TEST(MainWindowTest, AtItsDefaultSizeTheAwaitingEntryIsWhole) {
    WindowFixture f;
    f.replies = {waitingSince("maya", f.now - 600), waitingSince("leo", f.now - 7200),
                 waitingSince("mom", f.now - 9000)};
    f.window->show();
    QCoreApplication::processEvents();
    const auto drawn = f.drawn(0);
    const auto* label = drawn.text("label");
    ASSERT_TRUE(label);
    EXPECT_EQ(label->text, "Awaiting your reply");
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
        ASSERT_TRUE(f.list()->selectionModel()->isSelected(f.row(0)));
        const QColor selection = f.list()->palette().color(QPalette::Inactive, QPalette::Highlight);
        const auto drawn = f.drawn(0);
        const auto* label = drawn.text("label");
        const auto* count = drawn.text("count");
        ASSERT_TRUE(label && count && drawn.badge);
        EXPECT_GE(test::contrastRatio(label->colour, selection), 4.5);
        EXPECT_GE(test::contrastRatio(drawn.iconColour, selection), 4.5);
        // The badge's own background is the colour the row's text takes.
        EXPECT_EQ(drawn.badgeFill, label->colour);
        EXPECT_GE(test::contrastRatio(count->colour, drawn.badgeFill), 4.5);
    }
    Theme::apply(*qApp, before);
}

// What the model tells its list, counted.
struct ModelChanges {
    explicit ModelChanges(QAbstractItemModel* model) {
        const auto count = [this] { ++structural; };
        QObject::connect(model, &QAbstractItemModel::rowsInserted, count);
        QObject::connect(model, &QAbstractItemModel::rowsRemoved, count);
        QObject::connect(model, &QAbstractItemModel::rowsMoved, count);
        QObject::connect(model, &QAbstractItemModel::modelReset, count);
        QObject::connect(model, &QAbstractItemModel::dataChanged,
                         [this](const QModelIndex& first, const QModelIndex& last) {
                             for (int i = first.row(); i <= last.row(); ++i) {
                                 changedRows.push_back(i);
                             }
                         });
    }
    int structural = 0;
    std::vector<int> changedRows;
};

// The window redraws on every synchronisation start and end and every reading of the awaiting
// replies: rows that show the same are left alone, and only a row that shows something new
// changes, in place.
TEST(MainWindowTest, OnlyARowThatShowsSomethingNewChanges) {
    WindowFixture f;
    f.replies = {waitingSince("leo", f.now - 60)};
    f.window->show();
    ModelChanges changes(f.list()->model());
    auto& sidebar = f.window->sidebar();
    const auto selection = f.window->model().selection();
    f.syncing = true;
    sidebar.render(selection);
    f.syncing = false;
    f.replies = {waitingSince("leo", f.now - 60)};
    sidebar.render(selection);
    EXPECT_EQ(changes.structural, 0);
    EXPECT_TRUE(changes.changedRows.empty());

    f.replies.push_back(waitingSince("maya", f.now - 120));
    sidebar.render(selection);
    EXPECT_EQ(changes.structural, 0);
    EXPECT_EQ(changes.changedRows, std::vector<int>{0});
    EXPECT_EQ(f.row(0).data(SessionRowsModel::countRole).toLongLong(), 2);
}

// Chats that arrive, go, or move to the top leave the picked chat selected and current, and the
// list is never laid out from scratch.
TEST(MainWindowTest, ThePickedChatStaysSelectedAsRowsComeGoAndMove) {
    WindowFixture f;
    f.confirms = true;
    f.window->show();
    f.pick(2);
    ASSERT_EQ(f.currentTag(), "lisbon");
    ModelChanges changes(f.list()->model());
    const auto stillLisbon = [&f] {
        EXPECT_EQ(f.currentTag(), "lisbon");
        const auto selected = f.list()->selectionModel()->selectedIndexes();
        ASSERT_EQ(selected.size(), 1);
        EXPECT_EQ(selected[0].data(SessionRowsModel::selectionRole).toString(), "lisbon");
    };
    const std::vector<std::pair<const char*, std::function<void()>>> steps{
        {"a new chat on top",
         [&f] { f.chat.add(ChatStandIn::session("fresh", "Fresh", {"Hi"}, 1)); }},
        {"another chat deleted", [&f] { f.window->sidebar().confirmDeletion("dinner"); }},
        {"a search that keeps it",
         [&f] { f.window->findChild<QLineEdit*>("sidebar-search")->setText("lis"); }}};
    for (const auto& [name, step] : steps) {
        SCOPED_TRACE(name);
        step();
        f.window->render();
        stillLisbon();
    }
    EXPECT_EQ(f.rows(), std::vector<std::string>{"lisbon"});
    EXPECT_GT(changes.structural, 0);
}

// The keyboard moves through the rows that can be picked: the heading is passed over, and each
// row reached is shown.
TEST(MainWindowTest, TheArrowKeysPickTheNextRowPastTheHeading) {
    WindowFixture f;
    f.replies = {waitingSince("maya", f.now - 600)};
    f.window->show();
    f.window->model().select(SidebarSelection::awaitingReplies());
    f.window->render();
    ASSERT_EQ(f.currentTag(), SessionRowsModel::awaitingTag);
    QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    QCoreApplication::sendEvent(f.list(), &down);
    EXPECT_EQ(f.currentTag(), "dinner");
    EXPECT_EQ(f.window->model().selection(), SidebarSelection::chat("dinner"));
    QKeyEvent up(QEvent::KeyPress, Qt::Key_Up, Qt::NoModifier);
    QCoreApplication::sendEvent(f.list(), &up);
    EXPECT_EQ(f.window->model().selection(), SidebarSelection::awaitingReplies());
}

// With no chat picked, Tab from the search field reaches the list and changes no screen: the
// list makes its first row current by itself, which is no pick. Return or Space opens a row: the
// first one, the awaiting row, signed in or out, shown selected.
TEST(MainWindowTest, TabIntoTheListChangesNoScreenAndReturnOpensARow) {
    for (const bool signedIn : {true, false}) {
        for (const int key : {Qt::Key_Return, Qt::Key_Space}) {
            SCOPED_TRACE(std::string(signedIn ? "signed in" : "signed out") +
                         (key == Qt::Key_Return ? ", Return" : ", Space"));
            WindowFixture f;
            f.chat.hasCredentials = signedIn;
            f.replies = {waitingSince("maya", f.now - 600)};
            f.window->show();
            f.window->activateWindow();
            auto* search = f.window->findChild<QLineEdit*>("sidebar-search");
            search->setFocus();
            for (int i = 0; i < 100 && !search->hasFocus(); ++i) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            }
            ASSERT_TRUE(search->hasFocus());
            ASSERT_FALSE(f.list()->selectionModel()->hasSelection());
            const auto before = f.window->shownDetail();
            const auto selectionBefore = f.window->model().selection();
            QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
            QApplication::sendEvent(search, &tab);
            ASSERT_TRUE(f.list()->hasFocus());
            EXPECT_EQ(f.window->shownDetail(), before) << "Tab switched the screen";
            EXPECT_EQ(f.window->model().selection(), selectionBefore);
            EXPECT_FALSE(f.list()->selectionModel()->hasSelection());

            QKeyEvent open(QEvent::KeyPress, key, Qt::NoModifier,
                           key == Qt::Key_Space ? " " : "\r");
            QApplication::sendEvent(f.list(), &open);
            EXPECT_EQ(f.window->shownDetail(), Detail::awaitingReplies);
            EXPECT_EQ(f.currentTag(), SessionRowsModel::awaitingTag);
            const auto selected = f.list()->selectionModel()->selectedIndexes();
            ASSERT_EQ(selected.size(), 1);
            EXPECT_EQ(selected[0], f.list()->currentIndex());
            // Pressed again, the row shown stays shown.
            QApplication::sendEvent(f.list(), &open);
            EXPECT_EQ(f.window->shownDetail(), Detail::awaitingReplies);
            EXPECT_EQ(f.currentTag(), SessionRowsModel::awaitingTag);
        }
    }
}

// The detail changes only when a row is picked: with a new chat shown, a click on the list's
// empty part, then the awaiting row arriving, then the window taking focus back (which gives it
// to the list, with no current row) leave the new chat shown, whether or not chats are listed.
TEST(MainWindowTest, ARowArrivingAfterAClickOnTheEmptyListLeavesTheDetail) {
    for (const bool chatsListed : {true, false}) {
        SCOPED_TRACE(chatsListed ? "chats listed" : "nothing listed");
        WindowFixture f;
        f.confirms = true;
        f.window->show();
        f.window->activateWindow();
        if (!chatsListed) {
            f.window->sidebar().confirmDeletion("lisbon");
            f.window->sidebar().confirmDeletion("dinner");
            f.window->render();
            ASSERT_TRUE(f.rows().empty());
        }
        f.window->findChild<QToolButton*>("new-chat-button")->click();
        const std::string fresh = f.chat.chat.currentSessionID();
        ASSERT_EQ(f.window->model().selection(), SidebarSelection::chat(fresh));
        const QPoint empty(f.list()->viewport()->width() / 2, f.list()->viewport()->height() - 4);
        ASSERT_FALSE(f.list()->indexAt(empty).isValid());
        f.click(empty);
        f.list()->setFocus(Qt::MouseFocusReason);
        QCoreApplication::processEvents();
        const auto stillNew = [&f, &fresh](const char* step) {
            EXPECT_EQ(f.window->model().selection(), SidebarSelection::chat(fresh)) << step;
            EXPECT_EQ(f.window->shownDetail(), Detail::chat) << step;
            EXPECT_EQ(f.chat.chat.currentSessionID(), fresh) << step;
            EXPECT_FALSE(f.list()->selectionModel()->hasSelection()) << step;
        };
        stillNew("after the click");
        f.replies = {waitingSince("maya", f.now - 600)};
        f.window->render();
        QCoreApplication::processEvents();
        stillNew("after the row arrived");
        f.list()->clearFocus();
        f.list()->setFocus(Qt::ActiveWindowFocusReason);
        QCoreApplication::processEvents();
        stillNew("after the window took focus back");
    }
}

// A right click on a chat only asks for its menu: the chat shown stays; a left click opens it.
TEST(MainWindowTest, ARightClickOnAChatLeavesTheChatShown) {
    WindowFixture f;
    f.window->show();
    const std::string before = f.chat.chat.currentSessionID();
    auto* viewport = f.list()->viewport();
    const QPoint at = f.list()->visualRect(f.row(2)).center();  // "Chats" heading, dinner, lisbon
    for (const auto button : {Qt::RightButton, Qt::LeftButton}) {
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), viewport->mapToGlobal(QPointF(at)),
                          button, button, Qt::NoModifier);
        QApplication::sendEvent(viewport, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(at),
                            viewport->mapToGlobal(QPointF(at)), button, Qt::NoButton,
                            Qt::NoModifier);
        QApplication::sendEvent(viewport, &release);
        EXPECT_EQ(f.chat.chat.currentSessionID(), button == Qt::RightButton ? before : "lisbon");
    }
}

// The rows of a list model as a view that follows only its signals sees them.
struct RowsMirror {
    explicit RowsMirror(QAbstractItemModel* model) {
        const auto keyAt = [model](int row) {
            return model->index(row, 0).data(SessionRowsModel::selectionRole).toString();
        };
        const auto reload = [this, model, keyAt] {
            keys.clear();
            for (int i = 0; i < model->rowCount(); ++i) {
                keys.push_back(keyAt(i));
            }
        };
        reload();
        QObject::connect(model, &QAbstractItemModel::modelReset, reload);
        QObject::connect(model, &QAbstractItemModel::rowsInserted,
                         [this, keyAt](const QModelIndex&, int first, int last) {
                             for (int i = first; i <= last; ++i) {
                                 keys.insert(keys.begin() + i, keyAt(i));
                             }
                         });
        QObject::connect(model, &QAbstractItemModel::rowsRemoved,
                         [this](const QModelIndex&, int first, int last) {
                             keys.erase(keys.begin() + first, keys.begin() + last + 1);
                         });
        QObject::connect(
            model, &QAbstractItemModel::rowsMoved,
            [this](const QModelIndex&, int first, int last, const QModelIndex&, int to) {
                std::vector<QString> moved(keys.begin() + first, keys.begin() + last + 1);
                keys.erase(keys.begin() + first, keys.begin() + last + 1);
                const int at = to > first ? to - static_cast<int>(moved.size()) : to;
                keys.insert(keys.begin() + at, moved.begin(), moved.end());
            });
    }
    std::vector<QString> keys;
};

// Whatever the rows were and become (chats new, gone, moved, the awaiting row come or gone),
// the list model ends showing exactly the new rows in order, and a view that follows only its
// signals sees the same rows.
TEST(SessionRowsModelTest, EveryChangeEndsInTheRowsShownConsistently) {
    struct Case {
        const char* name;
        std::vector<std::string> before;
        bool awaitingBefore;
        std::vector<std::string> after;
        bool awaitingAfter;
    };
    const std::vector<Case> cases{
        {"nothing, then chats", {}, false, {"a", "b"}, false},
        {"a new chat on top", {"a", "b"}, false, {"c", "a", "b"}, false},
        {"the last chat moved to the top", {"a", "b", "c"}, false, {"c", "a", "b"}, false},
        {"reversed", {"a", "b", "c", "d"}, false, {"d", "c", "b", "a"}, false},
        {"gone, new and moved at once", {"a", "b", "c", "d"}, true, {"e", "d", "b"}, false},
        {"the awaiting row arrives", {"a"}, false, {"a"}, true},
        {"all replaced", {"a", "b"}, true, {"x", "y", "z"}, true},
        {"everything gone", {"a"}, true, {}, false},
    };
    const auto rowsOf = [](const std::vector<std::string>& ids, bool awaiting) {
        sidebar::RowsShown rows;
        if (awaiting) {
            rows.awaitingCount = 3;
        }
        for (const auto& id : ids) {
            rows.sessions.push_back(
                {.id = id, .title = "Chat " + id, .preview = id, .age = "now", .selected = false});
        }
        return rows;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SessionRowsModel model;
        RowsMirror view(&model);
        model.show(rowsOf(c.before, c.awaitingBefore));
        model.show(rowsOf(c.after, c.awaitingAfter));
        std::vector<std::string> expected;
        if (c.awaitingAfter) {
            expected.emplace_back(SessionRowsModel::awaitingTag);
        }
        expected.emplace_back("");
        for (const auto& id : c.after) {
            expected.push_back(id);
        }
        std::vector<std::string> shown;
        for (int i = 0; i < model.rowCount(); ++i) {
            shown.push_back(
                model.index(i).data(SessionRowsModel::selectionRole).toString().toStdString());
            if (i > (c.awaitingAfter ? 1 : 0)) {
                EXPECT_EQ(model.index(i).data(Qt::DisplayRole).toString().toStdString(),
                          "Chat " + shown.back());
            }
        }
        EXPECT_EQ(shown, expected);
        std::vector<std::string> seen;
        for (const auto& key : view.keys) {
            seen.push_back(key.toStdString());
        }
        EXPECT_EQ(seen, expected);
    }
}

// Ages and the awaiting count are redrawn every minute: "10 min. ago" does not stay that, and a
// reply that ages out of the day window leaves the count.
TEST(MainWindowTest, AgesAndTheAwaitingCountAreRedrawnEachMinute) {
    WindowFixture f;
    f.replies = {waitingSince("maya", f.now - 7 * 86400 + 30), waitingSince("leo", f.now - 60)};
    f.window->show();
    const auto ages = [&f] {
        QStringList texts;
        for (int i = 0; i < f.list()->model()->rowCount(); ++i) {
            const auto age = f.row(i).data(SessionRowsModel::ageRole).toString();
            if (!age.isEmpty()) {
                texts << age;
            }
        }
        texts.sort();
        return texts;
    };
    const auto count = [&f] { return f.row(0).data(SessionRowsModel::countRole).toLongLong(); };
    EXPECT_EQ(ages(), (QStringList{"1 hr. ago", "5 min. ago"}));
    EXPECT_EQ(count(), 2);

    QTimer* minute = nullptr;
    for (auto* timer : f.window->sidebar().findChildren<QTimer*>()) {
        if (timer->interval() == 60'000 && timer->isActive()) {
            minute = timer;
        }
    }
    ASSERT_TRUE(minute) << "a timer redraws the rows each minute";
    f.now += 10 * 60;
    minute->setInterval(1);
    for (int i = 0; i < 50 && count() != 1; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_EQ(count(), 1);
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
