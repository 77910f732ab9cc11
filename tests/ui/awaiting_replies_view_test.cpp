#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QEnterEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTextCursor>
#include <QToolButton>

#include <gtest/gtest.h>

#include <functional>

#include "app/window_sources.h"
#include "platform/in_memory_secret_backend.h"
#include "platform/manual_executor.h"
#include "proactive/awaiting_stand_ins.h"
#include "proactive/persona_drafts.h"
#include "proactive/proactive_surfaces.h"
#include "shell/app_dependencies.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"
#include "ui/awaiting/awaiting_replies_detail_view.h"
#include "ui/chat/chat_composer_text_view.h"
#include "ui/keyboard.h"
#include "support/recording_opener.h"

namespace vask::ui {
namespace {

constexpr std::int64_t now = 1800000000;

struct RecordingClipboard final : Clipboard {
    void setText(const std::string& text) override { texts.push_back(text); }
    std::vector<std::string> texts;
};

using test::RecordingOpener;

AwaitingReply waiting(const std::string& chatId, const std::string& name, std::int64_t age) {
    return {chatId, name, "+1555" + chatId, "see you?", now - age, now - age};
}

// A screen over stand-in lists; the model answers with `answer`.
struct ScreenFixture {
    explicit ScreenFixture(std::vector<AwaitingReply> replies, bool messagesApp = false) {
        defaults.set(ProactiveSurfaces::enabledKey(), true);
        defaults.set(PersonaDrafts::enabledKey(), false);
        stage = std::make_unique<stand_in::AwaitingStage>(std::move(replies), defaults, main,
                                                          worker, clock);
        stage->now = now;
        stage->messagesAppPresent = messagesApp;
        needsReply = stage->needsReply;
        settle();
        ReplyDrafts::Seams seams;
        seams.personaDraftsEnabled = [] { return false; };
        seams.complete = [this](const CorvaneResponses::Request&) { return answer; };
        view = std::make_unique<AwaitingRepliesDetailView>(
            stage->dependencies(opener, clipboard, std::move(seams)));
        view->resize(640, 600);
        view->show();
    }
    void settle() {
        while (worker.runUntilIdle() + main.runUntilIdle() > 0) {
        }
    }
    template <typename T>
    T* find(const char* name) const {
        return view->findChild<T*>(name);
    }
    // Children added to a shown widget appear on the next turn of the event loop.
    static void flush() {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
    bool visible(const char* name) const {
        flush();
        auto* widget = find<QWidget>(name);
        return widget != nullptr && widget->isVisibleTo(view.get());
    }
    std::vector<std::string> rowNames() const {
        flush();
        std::vector<std::string> names;
        for (auto* row : view->findChildren<QWidget*>("awaiting.row")) {
            if (row->isVisibleTo(view.get())) {
                names.push_back(row->accessibleName().toStdString());
            }
        }
        return names;
    }
    void startDraftOnFirstRow() {
        find<QPushButton>("awaiting.draft")->click();
        settle();
    }

    std::optional<std::string> answer = "\"See you at 7\"";
    RecordingClipboard clipboard;
    RecordingOpener opener;
    InMemoryDefaults defaults;
    ManualExecutor main;
    ManualExecutor worker;
    test::FakeClock clock;
    std::unique_ptr<stand_in::AwaitingStage> stage;
    std::shared_ptr<NeedsReplyService> needsReply;
    std::unique_ptr<AwaitingRepliesDetailView> view;
};

TEST(AwaitingRepliesDetailView, PlaceholderListAndToolbarFollowTheWindow) {
    struct Case {
        const char* name;
        std::vector<AwaitingReply> replies;
        bool placeholder;
        std::string description;
        bool dayMenu;
        bool markAll;
    };
    const Case cases[] = {
        {"nothing waits",
         {},
         true,
         "No one's waiting on a reply from you right now.",
         false,
         false},
        {"only older ones",
         {waiting("c1", "Ann", 9 * 86400)},
         true,
         "No one has been waiting in the last 7 days.",
         true,
         false},
        {"one inside", {waiting("c1", "Ann", 600)}, false, "", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScreenFixture screen(c.replies);
        auto* pages = screen.view->findChild<QStackedWidget*>();
        ASSERT_NE(pages, nullptr);
        EXPECT_EQ(pages->currentWidget()->objectName() == "awaiting.placeholder", c.placeholder);
        if (c.placeholder) {
            EXPECT_EQ(screen.find<QLabel>("awaiting.placeholderDescription")->text().toStdString(),
                      c.description);
        }
        EXPECT_EQ(screen.visible("awaiting.dayWindow"), c.dayMenu);
        EXPECT_EQ(screen.visible("awaiting.markAllRead"), c.markAll);
    }
}

TEST(AwaitingRepliesDetailView, RowsSortedAndDayMenuWidensTheWindow) {
    ScreenFixture screen({waiting("c1", "Old Friend", 10 * 86400), waiting("c2", "Newest", 60),
                          waiting("c3", "Marked", 3 * 86400)});
    screen.needsReply->verdicts().set({{"c3", true}});
    EXPECT_EQ(screen.rowNames(), (std::vector<std::string>{"Marked", "Newest"}));
    EXPECT_TRUE(screen.visible("awaiting.needsReply"));
    auto* dayMenu = screen.find<QToolButton>("awaiting.dayWindow");
    EXPECT_EQ(dayMenu->text(), "Last 7 days");
    dayMenu->menu()->actions().at(1)->trigger();  // 14 days
    EXPECT_EQ(screen.stage->days, 14);
    EXPECT_EQ(dayMenu->text(), "Last 14 days");
    EXPECT_EQ(screen.rowNames(), (std::vector<std::string>{"Marked", "Newest", "Old Friend"}));

    screen.find<QToolButton>("awaiting.markAllRead")->click();
    EXPECT_TRUE(screen.rowNames().empty());
}

// A verdict that lands while the pointer is over the list moves nothing under it, so the button
// pressed is on the row the user aimed at; the new order shows once the pointer leaves.
TEST(AwaitingRepliesDetailView, RowsHoldStillUnderThePointer) {
    ScreenFixture f({waiting("maya", "Maya Chen", 60), waiting("mom", "Mom", 120)});
    auto* list = f.find<QWidget>("awaiting.list");
    QEnterEvent enter({10, 10}, {10, 10}, {10, 10});
    QCoreApplication::sendEvent(list, &enter);
    f.needsReply->verdicts().set({{"mom", true}});
    EXPECT_EQ(f.rowNames(), (std::vector<std::string>{"Maya Chen", "Mom"}));
    f.find<QWidget>("awaiting.row")->findChild<QPushButton*>("awaiting.draft")->click();
    f.settle();
    ASSERT_TRUE(f.view->presenter().drafts().draft().get());
    EXPECT_EQ(f.view->presenter().drafts().draft().get()->chatId, "maya");

    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(list, &leave);
    EXPECT_EQ(f.rowNames(), (std::vector<std::string>{"Mom", "Maya Chen"}));
    QCoreApplication::sendEvent(list, &enter);
    f.view->hide();
    EXPECT_FALSE(f.view->presenter().holdsOrder());
}

// However narrow the window, the heading shows whole or ends in an ellipsis, never cut short.
TEST(AwaitingRepliesDetailView, TheHeadingIsElidedNotCut) {
    ScreenFixture f({waiting("maya", "Maya Chen", 60)});
    // Inside the main window the screen gets the width there is, below its wish if need be.
    QWidget window;
    f.view->setParent(&window);
    window.show();
    for (const int width : {640, 420, 330, 260}) {
        window.resize(width, 400);
        f.view->setGeometry(0, 0, width, 400);
        ScreenFixture::flush();
        auto* title = f.find<QLabel>("awaiting.title");
        const auto shown = title->text();
        EXPECT_TRUE(shown == AwaitingScreenPresenter::title || shown.endsWith(QChar(0x2026)))
            << width << ": " << shown.toStdString();
        EXPECT_LE(title->fontMetrics().horizontalAdvance(shown), title->contentsRect().width())
            << width << ": " << shown.toStdString();
    }
    f.view->setParent(nullptr);
}

// Down to the width the smallest main window leaves it, the heading is whole: the toolbar's
// buttons give up their words first (they keep them where there is room). Each row's time is
// whole and inside the list.
TEST(AwaitingRepliesDetailView, TheHeadingAndTheTimesAreWholeAtTheSmallestWindow) {
    ScreenFixture f({waiting("maya", "Maya Chen", 9 * 60), waiting("leo", "Leo", 3600)});
    QWidget window;
    f.view->setParent(&window);
    window.show();
    // Last with a draft open under a row, its buttons included.
    for (const auto& [width, draft] :
         {std::pair{900, false}, {470, false}, {420, false}, {420, true}}) {
        if (draft) {
            f.startDraftOnFirstRow();
        }
        window.resize(width, 400);
        f.view->setGeometry(0, 0, width, 400);
        ScreenFixture::flush();
        auto* title = f.find<QLabel>("awaiting.title");
        EXPECT_EQ(title->text(), AwaitingScreenPresenter::title) << width;
        const bool words = f.find<QToolButton>("awaiting.markAllRead")->toolButtonStyle() ==
                           Qt::ToolButtonTextBesideIcon;
        EXPECT_EQ(words, width == 900) << width;
        EXPECT_EQ(f.find<QWidget>("awaiting.draftEditor") != nullptr, draft) << width;
        auto* list = f.view->findChild<QScrollArea*>();
        ASSERT_TRUE(list);
        const auto ages = f.view->findChildren<QLabel*>("awaiting.age");
        ASSERT_EQ(ages.size(), 2);
        for (auto* age : ages) {
            EXPECT_GE(age->width(), age->fontMetrics().horizontalAdvance(age->text()))
                << width << ": " << age->text().toStdString();
            const QPoint right = age->mapTo(list->viewport(), QPoint(age->width(), 0));
            EXPECT_LE(right.x(), list->viewport()->width()) << width;
        }
    }
    f.view->setParent(nullptr);
}

// An open draft's row fits the list's width however narrow the detail (a 1024x600 screen at twice
// the scale leaves it 300 px or less): the list never scrolls sideways, the draft's buttons and
// the row's wrap to a second line, and every button, name and time stays whole and inside the
// list, at the narrowest too.
TEST(AwaitingRepliesDetailView, AnOpenDraftsRowFitsTheListAtEveryWidth) {
    ScreenFixture f({waiting("mom", "Mom", 3600), waiting("leo", "Leo", 9 * 60)});
    // Judged to need a reply: its pill takes room beside the name.
    f.needsReply->verdicts().set({{"mom", true}, {"leo", true}});
    f.settle();
    f.startDraftOnFirstRow();
    QWidget window;
    f.view->setParent(&window);
    window.show();
    for (const int width : {420, 340, 300, 260}) {
        SCOPED_TRACE(width);
        ASSERT_NE(f.find<QWidget>("awaiting.needsReply"), nullptr);
        window.resize(width, 600);
        f.view->setGeometry(0, 0, width, 600);
        ScreenFixture::flush();
        auto* list = f.view->findChild<QScrollArea*>("awaiting.list");
        ASSERT_TRUE(list);
        const int room = list->viewport()->width();
        EXPECT_LE(list->widget()->width(), room) << "the rows are wider than the list";
        EXPECT_LE(list->widget()->minimumSizeHint().width(), room);
        ASSERT_NE(f.find<QWidget>("awaiting.draftEditor"), nullptr);
        for (auto* control : list->widget()->findChildren<QWidget*>()) {
            const bool button = qobject_cast<QAbstractButton*>(control) != nullptr;
            const bool text = control->objectName() == "awaiting.age" ||
                              control->objectName() == "awaiting.contactName";
            if (!control->isVisibleTo(list->widget()) || !(button || text)) {
                continue;
            }
            const QRect at(control->mapTo(list->viewport(), QPoint(0, 0)), control->size());
            EXPECT_GE(at.left(), 0) << control->objectName().toStdString();
            EXPECT_LE(at.right(), room) << control->objectName().toStdString();
            if (button) {
                EXPECT_GE(control->width(), control->sizeHint().width())
                    << control->objectName().toStdString() << " is cut";
            }
        }
        for (auto* label : f.view->findChildren<QLabel*>()) {
            if (label->isVisibleTo(list->widget()) &&
                (label->objectName() == "awaiting.age" ||
                 label->objectName() == "awaiting.contactName")) {
                EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()))
                    << label->text().toStdString();
                EXPECT_FALSE(label->text().endsWith(QChar(0x2026))) << label->text().toStdString();
            }
        }
    }
    f.view->setParent(nullptr);
}

TEST(AwaitingRepliesDetailView, FailedDraftShowsAStatusAndSendWaitsForText) {
    ScreenFixture screen({waiting("c1", "Ann", 600)});
    screen.answer = std::nullopt;
    screen.startDraftOnFirstRow();
    auto* editor = screen.find<QPlainTextEdit>("awaiting.draftText");
    auto* send = screen.find<QPushButton>("awaiting.send");
    ASSERT_NE(editor, nullptr);
    ASSERT_NE(send, nullptr);
    EXPECT_EQ(editor->toPlainText(), "");
    EXPECT_TRUE(screen.visible("awaiting.draftStatus"));
    EXPECT_EQ(screen.find<QLabel>("awaiting.draftStatus")->text().toStdString(),
              std::string(ReplyDrafts::failureText));
    EXPECT_FALSE(send->isEnabled());

    // Typing a reply of one's own keeps the editor in place and enables Send.
    editor->setPlainText("  Running late, 10 min  ");
    EXPECT_EQ(screen.find<QPlainTextEdit>("awaiting.draftText"), editor);
    EXPECT_TRUE(send->isEnabled());
    // No Messages application: the action copies the reply and opens nothing.
    EXPECT_EQ(send->text(), "Copy Reply");
    send->click();
    EXPECT_EQ(screen.clipboard.texts, std::vector<std::string>{"Running late, 10 min"});
    EXPECT_TRUE(screen.opener.urls.empty());
    // The row's status line says the draft was copied, and the draft stays until dismissed.
    EXPECT_TRUE(screen.visible("awaiting.draftNotice"));
    EXPECT_EQ(screen.find<QLabel>("awaiting.draftNotice")->text().toStdString(),
              std::string(ReplyDrafts::copiedText));
    EXPECT_EQ(screen.find<QPlainTextEdit>("awaiting.draftText")->toPlainText(),
              "  Running late, 10 min  ");
    screen.find<QPushButton>("awaiting.dismiss")->click();
    EXPECT_FALSE(screen.visible("awaiting.draftEditor"));
}

// Return on the focused Copy Reply copies the reply, as a click does.
TEST(AwaitingRepliesDetailView, ReturnOnTheFocusedCopyReplyCopiesIt) {
    ScreenFixture screen({waiting("c1", "Ann", 600)});
    screen.answer = std::nullopt;
    screen.startDraftOnFirstRow();
    screen.find<QPlainTextEdit>("awaiting.draftText")->setPlainText("On my way");
    auto* send = screen.find<QPushButton>("awaiting.send");
    ASSERT_NE(send, nullptr);
    ASSERT_EQ(send->text(), "Copy Reply");
    send->setFocus();
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(send, &press);
    EXPECT_EQ(screen.clipboard.texts, std::vector<std::string>{"On my way"});
}

// Return on a draft's control, pressed again by a user unsure the first took: the focus stays
// on what was pressed, rebuilt (Copy Reply once it copied, Regenerate once the new draft came),
// or on what stands for it (the drafting line meanwhile, the row's draft button once dismissed),
// never on a control elsewhere in the window; Copy Reply copies twice.
TEST(AwaitingRepliesDetailView, APressedDraftControlKeepsTheFocus) {
    struct Case {
        const char* pressed;
        // The focused control's focus key after the first Return, once the draft has come,
        // and after the second Return once it has come.
        const char* afterPress;
        const char* afterSettle;
        const char* afterSecond;
        std::size_t copies;
    };
    const Case cases[] = {
        {"awaiting.send", "awaiting.send/c1", "awaiting.send/c1", "awaiting.send/c1", 2},
        {"awaiting.regenerate", "awaiting.draftEditor", "awaiting.regenerate/c1",
         "awaiting.regenerate/c1", 0},
        {"awaiting.dismiss", "awaiting.draft/c1", "awaiting.draft/c1", "awaiting.draft/c1", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pressed);
        ScreenFixture screen({waiting("c1", "Ann", 600), waiting("c2", "Bo", 1200)});
        QApplication::setActiveWindow(screen.view.get());
        screen.startDraftOnFirstRow();
        ScreenFixture::flush();
        screen.find<QPushButton>(c.pressed)->setFocus();
        ASSERT_EQ(QApplication::focusWidget(), screen.find<QPushButton>(c.pressed));
        const auto focused = [&] {
            QWidget* focus = QApplication::focusWidget();
            EXPECT_NE(focus, nullptr);
            return focus != nullptr ? focusKey(focus).toStdString() : std::string();
        };
        const auto pressReturn = [] {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
            QApplication::sendEvent(QApplication::focusWidget(), &press);
        };
        pressReturn();
        EXPECT_EQ(focused(), c.afterPress);
        screen.settle();
        ScreenFixture::flush();
        EXPECT_EQ(focused(), c.afterSettle);
        pressReturn();
        screen.settle();
        ScreenFixture::flush();
        EXPECT_EQ(focused(), c.afterSecond);
        EXPECT_EQ(screen.clipboard.texts.size(), c.copies);
    }
}

// Tab leaves a draft's text for its buttons, which come right after it, before the next row's;
// Ctrl+Tab does there what it does in the chat's composer.
TEST(AwaitingRepliesDetailView, TabLeavesTheDraftsTextForItsButtons) {
    ScreenFixture screen({waiting("c1", "Ann", 600), waiting("c2", "Bo", 1200)});
    QApplication::setActiveWindow(screen.view.get());
    screen.startDraftOnFirstRow();
    ScreenFixture::flush();
    auto* editor = screen.find<QPlainTextEdit>("awaiting.draftText");
    editor->setFocus();
    editor->moveCursor(QTextCursor::End);
    const auto send = [](QWidget* target, int key, Qt::KeyboardModifiers modifiers) {
        QKeyEvent press(QEvent::KeyPress, key, modifiers, "\t");
        QApplication::sendEvent(target, &press);
    };
    ChatComposerTextView composer({});
    composer.setText("See you at 7");
    send(&composer, Qt::Key_Tab, Qt::ControlModifier);
    send(editor, Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(editor->toPlainText().toStdString(), composer.toPlainText().toStdString());
    EXPECT_EQ(QApplication::focusWidget(), editor);

    for (const char* next : {"awaiting.dismiss/c1", "awaiting.regenerate/c1", "awaiting.send/c1",
                             "awaiting.draft/c2"}) {
        send(QApplication::focusWidget(), Qt::Key_Tab, Qt::NoModifier);
        ASSERT_NE(QApplication::focusWidget(), nullptr);
        EXPECT_EQ(focusKey(QApplication::focusWidget()).toStdString(), next);
    }
    EXPECT_EQ(editor->toPlainText().toStdString(), composer.toPlainText().toStdString())
        << "no tab typed into the reply";
}

// Whatever else changes on the screen, the editor being typed in is the same widget with the
// same text, cursor and undo history.
TEST(AwaitingRepliesDetailView, TheEditorBeingTypedInStaysWhileOtherRowsChange) {
    struct Case {
        const char* name;
        std::function<void(ScreenFixture&)> change;
    };
    const std::vector<Case> cases = {
        {"another row read",
         [](ScreenFixture& screen) {
             screen.stage->viewModel->markAsRead(screen.stage->viewModel->replies().get()[1]);
         }},
        {"a verdict arrives",
         [](ScreenFixture& screen) {
             screen.needsReply->verdicts().set({{"c2", true}});
         }},
        {"the age labels tick",
         [](ScreenFixture& screen) {
             screen.stage->now += 3600;
             screen.view->render();
         }},
        {"its own row's verdict and age",
         [](ScreenFixture& screen) {
             screen.stage->now += 86400;
             screen.needsReply->verdicts().set({{"c1", true}});
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScreenFixture screen({waiting("c1", "Ann", 600), waiting("c2", "Bo", 1200)});
        screen.startDraftOnFirstRow();
        auto* editor = screen.find<QPlainTextEdit>("awaiting.draftText");
        ASSERT_NE(editor, nullptr);
        editor->setFocus();
        editor->moveCursor(QTextCursor::End);
        editor->insertPlainText(" tonight");
        editor->moveCursor(QTextCursor::Left);
        const int cursor = editor->textCursor().position();
        c.change(screen);
        ScreenFixture::flush();
        EXPECT_EQ(screen.find<QPlainTextEdit>("awaiting.draftText"), editor);
        EXPECT_TRUE(editor->isVisibleTo(screen.view.get()));
        EXPECT_EQ(editor->toPlainText(), "See you at 7 tonight");
        EXPECT_EQ(editor->textCursor().position(), cursor);
        EXPECT_TRUE(editor->document()->isUndoAvailable());
        EXPECT_TRUE(screen.find<QPushButton>("awaiting.send")->isEnabled());
    }
}

TEST(AwaitingRepliesDetailView, DraftEditorUnderItsRowWithDismissAndRegenerate) {
    ScreenFixture screen({waiting("c1", "Ann", 600)});
    screen.find<QPushButton>("awaiting.draft")->click();
    EXPECT_TRUE(screen.visible("awaiting.drafting"));
    screen.settle();
    EXPECT_EQ(screen.find<QPlainTextEdit>("awaiting.draftText")->toPlainText(), "See you at 7");
    EXPECT_FALSE(screen.visible("awaiting.draftStatus"));
    EXPECT_TRUE(screen.find<QPushButton>("awaiting.send")->isEnabled());
    screen.answer = "Sure";
    screen.find<QPushButton>("awaiting.regenerate")->click();
    screen.settle();
    EXPECT_EQ(screen.find<QPlainTextEdit>("awaiting.draftText")->toPlainText(), "Sure");
    screen.find<QPushButton>("awaiting.dismiss")->click();
    EXPECT_FALSE(screen.visible("awaiting.draftEditor"));
}

TEST(AwaitingRepliesDetailView, ControlsCarryNamesAndRowActionsReachTheHost) {
    ScreenFixture screen({waiting("c1", "Ann", 600)});
    for (const char* name :
         {"awaiting.dayWindow", "awaiting.markAllRead", "awaiting.draft", "awaiting.moreActions"}) {
        auto* widget = screen.find<QWidget>(name);
        ASSERT_NE(widget, nullptr) << name;
        EXPECT_FALSE(widget->accessibleName().isEmpty()) << name;
    }
    EXPECT_EQ(screen.find<QPushButton>("awaiting.draft")->text(), "Draft a reply");
    // No Messages application on this desktop: no item that would do nothing.
    auto actions = screen.find<QToolButton>("awaiting.moreActions")->menu()->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_EQ(actions[0]->text(), "Catch me up");
    EXPECT_EQ(actions[1]->text(), "Mark as read");
    actions[0]->trigger();
    EXPECT_EQ(screen.stage->caughtUp, std::vector<std::string>{"c1"});
    actions[1]->trigger();
    EXPECT_TRUE(screen.rowNames().empty());
    EXPECT_TRUE(screen.opener.urls.empty());
}

TEST(AwaitingRepliesDetailView, RevealInMessagesIsOfferedWhereMessagesAnswers) {
    ScreenFixture screen({waiting("c1", "Ann", 600)}, true);
    auto actions = screen.find<QToolButton>("awaiting.moreActions")->menu()->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[1]->text(), "Reveal in Messages");
    actions[1]->trigger();
    EXPECT_EQ(screen.opener.urls, std::vector<std::string>{"imessage:?addresses=+1555c1"});
    screen.settle();
    EXPECT_FALSE(screen.visible("awaiting.openFailure"));
    // The conversation did not open: the screen says so in words, and the next try clears it.
    screen.opener.opens = false;
    actions[1]->trigger();
    screen.settle();
    ASSERT_TRUE(screen.visible("awaiting.openFailure"));
    EXPECT_EQ(screen.find<QLabel>("awaiting.openFailure")->text(),
              "Couldn't open the conversation in Messages (nothing on the desktop opens it).");
    screen.opener.opens = true;
    actions[1]->trigger();
    screen.settle();
    EXPECT_FALSE(screen.visible("awaiting.openFailure"));
}

TEST(AwaitingRepliesDetailView, BuildsOverTheApplicationsRoot) {
    test::TempDir dir;
    InMemoryDefaults defaults;
    ManualExecutor main;
    ManualExecutor worker;
    test::FakeClock clock;
    AppDependencies root(AppDependencies::Context{
        .environment = {{"HOME", (dir / "home").string()},
                        {"XDG_DATA_HOME", (dir / "data").string()},
                        {"VASK_SUPPORT_DIR", "VaskUITest"}},
        .bundleIdentifier = "ai.vask.uitests",
        .defaults = defaults,
        .main = main,
        .worker = worker,
        .scheduler = clock,
        .secretBackend = std::make_shared<InMemorySecretBackend>(),
    });
    RecordingClipboard clipboard;
    RecordingOpener opener;
    AwaitingRepliesDetailView view(awaitingScreenDependencies(root, clipboard, opener, {}));
    while (worker.runUntilIdle() + main.runUntilIdle() > 0) {
    }
    // The proactive switch is off in this root: nothing waits.
    EXPECT_EQ(view.findChild<QLabel*>("awaiting.placeholderDescription")->text(),
              "No one's waiting on a reply from you right now.");
    EXPECT_EQ(view.presenter().content().dayWindow, 7);
}

}  // namespace
}  // namespace vask::ui
