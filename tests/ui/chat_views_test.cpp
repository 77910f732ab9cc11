#include <QApplication>
#include <QFocusFrame>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTextBrowser>
#include <QToolButton>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "chat/chat_fixture.h"
#include "chat/chat_presenters.h"
#include "chat/chat_samples.h"
#include "support/recording_opener.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"
#include "ui/chat/chat_composer_text_view.h"
#include "ui/chat/chat_view.h"
#include "ui/chat/memory_receipt_rows.h"
#include "ui/chat/message_bubble.h"
#include "ui/chat/thinking_view.h"
#include "ui/keyboard.h"
#include "ui/theme.h"

namespace vask::ui {
namespace {

constexpr std::int64_t now = 1'800'000'000;

template <typename Predicate>
bool spinUntil(Predicate done) {
    for (int i = 0; i < 200 && !done(); ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
}

using test::RecordingOpener;

void press(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent event(QEvent::KeyPress, key, modifiers, key == Qt::Key_Return ? "\r" : QString());
    QApplication::sendEvent(target, &event);
}

template <typename T>
std::vector<T*> visible(QWidget* root, const QString& name) {
    std::vector<T*> out;
    for (auto* child : root->findChildren<T*>(name)) {
        if (child->isVisibleTo(root)) {
            out.push_back(child);
        }
    }
    return out;
}

// --- Composer ---------------------------------------------------------------------------------

TEST(ChatComposerTest, ReturnSubmitsAndShiftReturnStartsALine) {
    struct Case {
        const char* name;
        int key;
        Qt::KeyboardModifiers modifiers;
        bool composing;
        int submits;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"return", Qt::Key_Return, Qt::NoModifier, false, 1, "hi"},
        {"enter", Qt::Key_Enter, Qt::KeypadModifier, false, 1, "hi"},
        {"shiftReturn", Qt::Key_Return, Qt::ShiftModifier, false, 0, "hi\n"},
        {"shiftEnter", Qt::Key_Enter, Qt::ShiftModifier | Qt::KeypadModifier, false, 0, "hi\n"},
        {"whileComposing", Qt::Key_Return, Qt::NoModifier, true, 0, ""},
    };
    for (const auto& c : cases) {
        int submits = 0;
        std::string reported;
        ChatComposerTextView composer({.textChanged = [&](const std::string& t) { reported = t; },
                                       .focusChanged = {},
                                       .submit = [&] { ++submits; }});
        composer.resize(300, 40);
        composer.setText("hi");
        if (c.composing) {
            QInputMethodEvent preedit("ka", {});
            QApplication::sendEvent(&composer, &preedit);
        }
        press(&composer, c.key, c.modifiers);
        EXPECT_EQ(submits, c.submits) << c.name;
        if (!c.composing) {
            EXPECT_EQ(composer.text(), c.text) << c.name;
            EXPECT_EQ(composer.text().find("\xE2\x80\xA8"), std::string::npos) << c.name;
        }
    }
}

TEST(ChatComposerTest, GrowsToFiveLinesThenScrolls) {
    ChatComposerTextView composer({});
    composer.resize(300, 40);
    const int line = composer.lineHeight();
    struct Case {
        std::string text;
        int height;
        bool scroller;
    };
    const std::vector<Case> cases = {
        {"", line, false},
        {"one", line, false},
        {"1\n2\n3\n4\n5", 5 * line, false},
        {"1\n2\n3\n4\n5\n6", 5 * line, true},
        {"1\n2\n3\n4", 4 * line, false},
    };
    for (const auto& c : cases) {
        composer.setText(c.text);
        EXPECT_EQ(composer.boxHeight(), c.height) << c.text;
        EXPECT_EQ(composer.showsScroller(), c.scroller) << c.text;
    }
}

TEST(ChatComposerTest, OutsideTextMovesTheCaretOnlyWhenItDiffers) {
    ChatComposerTextView composer({});
    composer.setText("hello");
    EXPECT_EQ(composer.textCursor().position(), 5);
    auto cursor = composer.textCursor();
    cursor.setPosition(2);
    composer.setTextCursor(cursor);
    composer.setText("hello");
    EXPECT_EQ(composer.textCursor().position(), 2);
    composer.setText("");
    EXPECT_EQ(composer.textCursor().position(), 0);
}

// --- Chat view --------------------------------------------------------------------------------

class ChatViewTest : public test::ChatFixture {
  protected:
    std::unique_ptr<ChatView> makeView(std::shared_ptr<ChatViewModel> model, bool ready = true,
                                       bool showsSources = true) {
        auto view = std::make_unique<ChatView>(
            std::move(model), ChatView::Options{.isReady = ready,
                                                .showsSources = showsSources,
                                                .openSettings = [this] { ++settingsOpened; },
                                                .urlOpener = &opener,
                                                .now = [] { return now; }});
        view->resize(500, 700);
        return view;
    }

    // `view` shown at 500x400, laid out: its conversation's scroll bar.
    static QScrollBar* showScrolling(ChatView& view) {
        view.resize(500, 400);
        view.show();
        QApplication::processEvents();
        return view.findChild<QScrollArea*>("chatMessages")->verticalScrollBar();
    }

    RecordingOpener opener;
    int settingsOpened = 0;
};

TEST_F(ChatViewTest, SendsOnlyWhenReadyWithTextAndIdle) {
    struct Case {
        const char* name;
        bool ready;
        std::string text;
        bool alreadySending;
        bool sends;
    };
    const std::vector<Case> cases = {
        {"ready", true, "Where did we meet?", false, true},
        {"notReady", false, "Where did we meet?", false, false},
        {"blanks", true, "  \n\t ", false, false},
        {"empty", true, "", false, false},
        {"whileSending", true, "again", true, false},
    };
    for (const auto& c : cases) {
        auto model = makeModel(false);
        if (c.alreadySending) {
            model->state.set(ChatState::sending(test::message(ChatRole::user, "q"), {}, {}));
        }
        auto view = makeView(model, c.ready);
        model->inputText.set(c.text);
        EXPECT_EQ(view->sendButton()->isEnabled(), c.sends) << c.name;
        press(view->composer(), Qt::Key_Return);
        const auto* sending = model->state.get().asSending();
        const bool sent = sending && sending->question.text == c.text;
        EXPECT_EQ(sent, c.sends) << c.name;
        settle();
    }
}

// A keyboard user keeps the composer through a question: the focus stays in it while the answer
// runs, what is typed then waits there (Return does nothing until the answer is in), and a
// follow-up typed at once after the answer is sent: two questions, both asked.
TEST_F(ChatViewTest, TheComposerKeepsTheFocusThroughAQuestionAndSendsTheFollowUp) {
    auto model = makeModel(false);
    QWidget host;
    auto* column = new QVBoxLayout(&host);
    auto view = makeView(model);
    column->addWidget(view.get());
    // Where the focus would run on to: the sidebar's first control in the main window.
    auto* next = new QPushButton("New Chat");
    column->addWidget(next);
    host.show();
    host.activateWindow();
    view->composer()->setFocus();
    ASSERT_TRUE(spinUntil([&] { return view->composer()->hasFocus(); }));
    // Keys go where the focus is; with the focus nowhere, they are lost.
    const auto type = [&](const QString& text) {
        QWidget* focus = QApplication::focusWidget();
        if (focus == nullptr) {
            return;
        }
        for (const QChar c : text) {
            QKeyEvent key(QEvent::KeyPress, c == ' ' ? Qt::Key_Space : Qt::Key_A, Qt::NoModifier,
                          QString(c));
            QApplication::sendEvent(focus, &key);
        }
        press(focus, Qt::Key_Return);
    };
    type("Where did we meet?");
    ASSERT_TRUE(model->state.get().isSending());
    EXPECT_TRUE(view->composer()->hasFocus()) << "the focus left the composer as the answer ran";
    EXPECT_TRUE(view->composer()->isEnabled());
    // Return while the answer runs sends nothing, and loses nothing typed.
    type("book");
    EXPECT_EQ(model->inputText.get(), "book") << "typed while the answer runs: kept";
    EXPECT_EQ(model->state.get().asSending()->question.text, "Where did we meet?");
    settle();
    QApplication::processEvents();
    ASSERT_FALSE(model->state.get().isSending());
    EXPECT_TRUE(view->composer()->hasFocus());
    type(" club");
    EXPECT_TRUE(model->state.get().isSending()) << "the follow-up went nowhere";
    settle();
    std::vector<std::string> asked;
    for (const auto& message : model->displayMessages()) {
        if (message.role == ChatRole::user) {
            asked.push_back(message.text);
        }
    }
    EXPECT_EQ(asked, (std::vector<std::string>{"Where did we meet?", "book club"}));
    EXPECT_FALSE(next->hasFocus());
}

// Send pressed by the keyboard (Return or Space) sends, and the focus goes to the composer where
// the next question is typed: Send, disabled once the question is on its way, would hand it on
// to the next control (New Chat, "Open in Vask"), whose second press starts another chat.
TEST_F(ChatViewTest, SendPressedByTheKeyboardLeavesTheFocusInTheComposer) {
    installKeyboardHandling(*qApp);
    for (const int key : {Qt::Key_Return, Qt::Key_Space}) {
        SCOPED_TRACE(key == Qt::Key_Return ? "Return" : "Space");
        auto model = makeModel(false);
        QWidget host;
        auto* column = new QVBoxLayout(&host);
        auto view = makeView(model);
        column->addWidget(view.get());
        auto* next = new QPushButton("Open in Vask");
        int nextPresses = 0;
        QObject::connect(next, &QPushButton::clicked, [&] { ++nextPresses; });
        column->addWidget(next);
        host.show();
        host.activateWindow();
        model->inputText.set("Where did we meet?");
        view->sendButton()->setFocus();
        ASSERT_TRUE(spinUntil([&] { return view->sendButton()->hasFocus(); }));
        for (int time = 0; time < 2; ++time) {
            for (const auto type : {QEvent::KeyPress, QEvent::KeyRelease}) {
                QKeyEvent event(type, key, Qt::NoModifier, key == Qt::Key_Space ? " " : "\r");
                if (QWidget* focus = QApplication::focusWidget()) {
                    QApplication::sendEvent(focus, &event);
                }
            }
            EXPECT_TRUE(model->state.get().isSending());
            EXPECT_TRUE(view->composer()->hasFocus())
                << "the focus is on "
                << (QApplication::focusWidget()
                        ? QApplication::focusWidget()->objectName().toStdString()
                        : std::string("nothing"));
        }
        EXPECT_EQ(nextPresses, 0);
        settle();
    }
}

TEST_F(ChatViewTest, ReadinessFromTheHostEnablesSending) {
    auto model = makeModel(false);
    auto view = makeView(model, false);
    model->inputText.set("hello");
    EXPECT_FALSE(view->sendButton()->isEnabled());
    view->setReady(true);
    EXPECT_TRUE(view->sendButton()->isEnabled());
}

TEST_F(ChatViewTest, TailShowsTheEmptyStateErrorOrUsageCardNeverTwo) {
    const auto q = test::message(ChatRole::user, "q");
    struct Case {
        const char* name;
        ChatState state;
        std::optional<std::string> title;
        std::optional<std::string> action;
        bool footnote;
        std::optional<std::string> opened;
        bool error;
    };
    const std::string account = "https://cloud.example/account";
    const std::vector<Case> cases = {
        {"idle", ChatState::idle(), std::nullopt, std::nullopt, false, std::nullopt, false},
        {"failed", ChatState::failed(q, "The helper stopped."), std::nullopt, std::nullopt, false,
         std::nullopt, true},
        {"apiKey", ChatState::usageLimitReached(q, AuthType::apiKey, "max"),
         "Your Corvane developer limit was reached", "Open Corvane", false, "https://corvane.ai/",
         false},
        {"noTier", ChatState::usageLimitReached(q, AuthType::customerToken, std::nullopt),
         "You've used this month's Vask allowance", "Upgrade to Pro", true, account, false},
        {"pro", ChatState::usageLimitReached(q, AuthType::customerToken, "pro"),
         "You've used this month's Vask allowance", "Upgrade to Max", true, account, false},
        {"max", ChatState::usageLimitReached(q, AuthType::customerToken, "max"),
         "You've used this month's Vask Max allowance", "Manage Subscription", true, account,
         false},
    };
    for (const auto& c : cases) {
        auto model = makeModel(false);
        auto view = makeView(model);
        opener.urls.clear();
        model->state.set(c.state);
        EXPECT_EQ(visible<QWidget>(view.get(), "chatErrorRow").size(), c.error ? 1U : 0U) << c.name;
        const auto titles = visible<QLabel>(view.get(), "usageLimitTitle");
        ASSERT_EQ(titles.size(), c.title ? 1U : 0U) << c.name;
        if (c.title) {
            EXPECT_EQ(titles.front()->text().toStdString(), *c.title) << c.name;
            const auto actions = visible<QPushButton>(view.get(), "usageLimitAction");
            ASSERT_EQ(actions.size(), 1U) << c.name;
            EXPECT_EQ(actions.front()->text().toStdString(), *c.action) << c.name;
            actions.front()->click();
            EXPECT_EQ(opener.urls, std::vector{*c.opened}) << c.name;
            EXPECT_EQ(visible<QLabel>(view.get(), "usageLimitFootnote").size(),
                      c.footnote ? 1U : 0U)
                << c.name;
        }
        const bool empty = c.state.isIdle();
        EXPECT_EQ(visible<QWidget>(view.get(), "chatEmptyState").size(), empty ? 1U : 0U) << c.name;
    }
}

// "Manage Subscription" with an opener that fails: the view says what did not open, until the
// next address opens.
TEST_F(ChatViewTest, AnOpenerThatFailsIsSaidAboveTheComposer) {
    const auto q = test::message(ChatRole::user, "q");
    auto model = makeModel(false);
    auto view = makeView(model);
    model->state.set(ChatState::usageLimitReached(q, AuthType::customerToken, "max"));
    const auto action = [&] { return visible<QPushButton>(view.get(), "usageLimitAction"); };
    ASSERT_EQ(action().size(), 1U);
    EXPECT_FALSE(view->openFailureLabel()->isVisibleTo(view.get()));
    opener.opens = false;
    action().front()->click();
    ASSERT_TRUE(spinUntil([&] { return view->openFailureLabel()->isVisibleTo(view.get()); }));
    EXPECT_EQ(view->openFailureLabel()->text(),
              "Couldn't open the account page (nothing on the desktop opens it).");
    EXPECT_TRUE(logs->contains("url_open_failed"));
    EXPECT_FALSE(logs->mentions("cloud.example"));
    opener.opens = true;
    action().front()->click();
    QApplication::processEvents();
    EXPECT_FALSE(view->openFailureLabel()->isVisibleTo(view.get()));
}

// What did not open belongs to the chat it was asked in: it goes when another chat is shown,
// however that came (a new chat, another saved chat, a chat handed off from the popover), and
// does not come back with the first chat.
TEST_F(ChatViewTest, AnOpenFailureGoesWhenAnotherChatIsShown) {
    struct Case {
        const char* name;
        std::function<void(ChatViewModel& model, const std::string& first)> step;
    };
    const auto other = std::make_shared<const ChatSession>(chat_samples::session(1, now));
    const std::vector<Case> cases = {
        {"new chat", [](ChatViewModel& model, const std::string&) { model.startNewSession(); }},
        {"another chat and back",
         [&other](ChatViewModel& model, const std::string& first) {
             model.switchSession(other->id);
             model.switchSession(first);
         }},
        {"hand-off",
         [this](ChatViewModel& model, const std::string&) {
             auto popover = makeModel(false);
             chat_samples::show(*popover, chat_samples::session(1, now));
             popover->handOffCurrentSession(model.shared_from_this());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto model = makeModel(false);
        const auto first = chat_samples::session(1, now);
        chat_samples::show(*model, first);
        auto list = model->sessions.get();
        list.push_back(other);
        model->sessions.set(list);
        auto view = makeView(model);
        model->state.set(ChatState::usageLimitReached(first.messages.front(),
                                                      AuthType::customerToken, std::nullopt));
        auto action = visible<QPushButton>(view.get(), "usageLimitAction");
        ASSERT_EQ(action.size(), 1U);
        opener.opens = false;
        action.front()->click();
        ASSERT_TRUE(spinUntil([&] { return view->openFailureLabel()->isVisibleTo(view.get()); }));
        c.step(*model, first.id);
        QApplication::processEvents();
        EXPECT_FALSE(view->openFailureLabel()->isVisibleTo(view.get()));
        EXPECT_TRUE(view->openFailureLabel()->text().isEmpty());
        settle();
    }
    opener.opens = true;
}

// Two questions without a helper: each keeps its error row under it.
TEST_F(ChatViewTest, EveryFailedTurnKeepsItsErrorInTheTranscript) {
    auto deps = dependencies(false);
    deps.helperRunnerFactory = nullptr;
    auto model = loaded(ChatViewModel::make(std::move(deps)));
    auto view = makeView(model);
    for (const char* question : {"one", "two"}) {
        model->inputText.set(question);
        view->sendButton()->click();
    }
    EXPECT_EQ(visible<QWidget>(view.get(), "chatErrorRow").size(), 2U);
    model->state.set(ChatState::sending(test::message(ChatRole::user, "three"), {}, {}));
    EXPECT_EQ(visible<QWidget>(view.get(), "chatErrorRow").size(), 2U);
}

// A locked keyring is said once, with its unlock: below the transcript while nothing asked has
// found it locked, under the question it stopped once one has; the button goes with the lock.
TEST_F(ChatViewTest, ALockedKeyringIsSaidOnceWithItsUnlock) {
    authMode = AuthMode::keyringLocked();
    auto deps = dependencies(false);
    int unlocks = 0;
    deps.unlockKeyring = [this, &unlocks](auto done) {
        ++unlocks;
        authMode = AuthMode::managed("customer-token", "access-token");
        done(std::nullopt);
    };
    auto model = loaded(ChatViewModel::make(std::move(deps)));
    auto view = makeView(model);
    const auto shown = [&view](const char* name) {
        return visible<QWidget>(view.get(), name).size();
    };
    const std::string locked(ChatViewModel::keyringLockedText);
    ASSERT_EQ(shown("chatErrorRow"), 1U);
    EXPECT_EQ(visible<QWidget>(view.get(), "chatErrorRow")[0]->accessibleName().toStdString(),
              locked);
    EXPECT_EQ(shown("chatErrorAction"), 1U);

    model->inputText.set("where did we have dinner");
    view->sendButton()->click();
    settle();
    EXPECT_EQ(shown("chatErrorRow"), 1U) << "said under the question, not again below it";
    EXPECT_EQ(shown("chatErrorAction"), 1U);

    view->findChild<QPushButton*>("chatErrorAction")->click();
    settle();
    EXPECT_EQ(unlocks, 1);
    EXPECT_EQ(shown("chatErrorAction"), 0U);
}

TEST_F(ChatViewTest, AnUnlockPressedBeforeAnyQuestionSaysItWaitsForThePrompt) {
    authMode = AuthMode::keyringLocked();
    auto deps = dependencies(false);
    std::function<void(std::optional<std::string>)> answer;
    int unlocks = 0;
    deps.unlockKeyring = [&](auto done) {
        ++unlocks;
        answer = std::move(done);
    };
    auto model = loaded(ChatViewModel::make(std::move(deps)));
    auto view = makeView(model);
    const auto rowText = [&view] {
        const auto rows = visible<QWidget>(view.get(), "chatErrorRow");
        return rows.size() == 1 ? rows[0]->accessibleName().toStdString() : std::string("none");
    };

    view->findChild<QPushButton*>("chatErrorAction")->click();
    settle();
    EXPECT_EQ(rowText(), ChatViewModel::keyringUnlockingText);
    EXPECT_TRUE(visible<QPushButton>(view.get(), "chatErrorAction").empty());
    model->unlockKeyring();
    EXPECT_EQ(unlocks, 1) << "one prompt at a time";

    // The prompt dismissed: the keyring is still locked, and the row offers the unlock again.
    answer(std::nullopt);
    settle();
    EXPECT_EQ(rowText(), ChatViewModel::keyringLockedText);
    EXPECT_EQ(visible<QPushButton>(view.get(), "chatErrorAction").size(), 1U);
}

TEST_F(ChatViewTest, ProgressAndReasoningFollowTheRunningTurn) {
    const auto q = test::message(ChatRole::user, "q");
    struct Case {
        const char* name;
        ChatState state;
        bool progress;
        std::string progressText;
        bool thinking;
    };
    const std::vector<Case> cases = {
        {"idle", ChatState::idle(), false, "", false},
        {"justSent", ChatState::sending(q, std::nullopt, std::nullopt), true,
         "reading your messages\xE2\x80\xA6", false},
        {"emptyReasoning", ChatState::sending(q, "Searching", ""), true, "Searching", false},
        {"reasoning", ChatState::sending(q, "Searching", "Look at Sam's thread"), true, "Searching",
         true},
        {"answered", ChatState::responded(q, test::message(ChatRole::assistant, "a")), false, "",
         false},
    };
    auto model = makeModel(false);
    auto view = makeView(model);
    for (const auto& c : cases) {
        model->state.set(c.state);
        const auto rows = visible<QWidget>(view.get(), "progressRow");
        EXPECT_EQ(rows.size(), c.progress ? 1U : 0U) << c.name;
        if (c.progress) {
            EXPECT_EQ(view->findChild<QLabel*>("progressText")->text().toStdString(),
                      c.progressText)
                << c.name;
        }
        EXPECT_EQ(visible<QWidget>(view.get(), "thinkingView").size(), c.thinking ? 1U : 0U)
            << c.name;
    }

    // Folding keeps the header and survives more reasoning; a new turn starts open again.
    model->state.set(ChatState::sending(q, std::nullopt, "step one"));
    visible<QPushButton>(view.get(), "thinkingToggle").front()->click();
    model->state.set(ChatState::sending(q, std::nullopt, "step one, step two"));
    EXPECT_EQ(visible<QPushButton>(view.get(), "thinkingToggle").size(), 1U);
    EXPECT_TRUE(visible<QWidget>(view.get(), "thinkingText").empty());
    model->state.set(ChatState::idle());
    model->state.set(ChatState::sending(q, std::nullopt, "again"));
    EXPECT_EQ(visible<QWidget>(view.get(), "thinkingText").size(), 1U);
}

TEST_F(ChatViewTest, BubblesKeepWhatTheReaderOpenedAcrossNewContent) {
    auto model = makeModel(false);
    auto session = chat_samples::session(1, now);
    const Uuid answerID = session.messages[1].id;
    chat_samples::show(*model, session);
    auto view = makeView(model);
    auto* bubble = view->bubble(answerID);
    ASSERT_NE(bubble, nullptr);
    auto toggles = visible<QPushButton>(bubble, "sourcesToggle");
    ASSERT_EQ(toggles.size(), 1U);
    toggles.front()->click();
    ASSERT_EQ(visible<QWidget>(bubble, "sourcesList").size(), 1U);

    // Citations and a receipt arrive for the same answer: the same bubble redraws, still open.
    session.messages[1].memoryReceipts = std::vector{
        chat_samples::receipt(MemoryMutationOperation::create, MemoryProvenance::explicitlySaved,
                              MemoryReceiptStatus::committed, "Meeting place", "Osteria Nonna")};
    session.messages[1].text = "Updated answer";
    chat_samples::show(*model, session);
    EXPECT_EQ(view->bubble(answerID), bubble);
    EXPECT_TRUE(bubble->localState().sourcesExpanded);
    EXPECT_EQ(visible<QWidget>(bubble, "sourcesList").size(), 1U);
    EXPECT_EQ(visible<QWidget>(bubble, "memoryReceiptRow").size(), 1U);

    // A new message is appended without rebuilding the others.
    session.messages.push_back(chat_samples::question("And then?"));
    chat_samples::show(*model, session);
    EXPECT_EQ(view->bubbleCount(), 3U);
    EXPECT_EQ(view->bubble(answerID), bubble);
}

// The popover's chat: questions asked while it is hidden cost no bubbles, and the whole chat is
// there again when it is shown.
TEST_F(ChatViewTest, AViewThatDropsItsBubblesWhileHiddenShowsTheWholeChatAgain) {
    auto model = makeModel(false);
    auto session = chat_samples::session(1, now);
    chat_samples::show(*model, session);
    ChatView view(model, {.keepsMessagesWhileHidden = false, .urlOpener = &opener});
    view.resize(340, 500);
    EXPECT_EQ(view.bubbleCount(), 0U);

    session.messages.push_back(chat_samples::question("And then?"));
    chat_samples::show(*model, session);
    EXPECT_EQ(view.bubbleCount(), 0U);

    view.show();
    ASSERT_EQ(view.bubbleCount(), 3U);
    for (const auto& message : session.messages) {
        EXPECT_NE(view.bubble(message.id), nullptr);
    }
    view.hide();
    EXPECT_EQ(view.bubbleCount(), 0U);
}

// A chat the view no longer shows leaves no widgets behind, and once they are deleted the memory
// they held is given back: the allocator keeps freed blocks amid ones in use otherwise.
TEST_F(ChatViewTest, AChatLeftBehindGivesBackItsBubblesAndTheirMemory) {
    struct Case {
        const char* name;
        bool keepsMessagesWhileHidden;
        std::function<void(ChatViewModel& model, ChatView& view, const std::string& other)> leave;
        std::size_t bubblesAfter;
    };
    const std::vector<Case> cases = {
        {"new chat", true,
         [](ChatViewModel& model, ChatView&, const std::string&) { model.startNewSession(); }, 0},
        {"another chat", true,
         [](ChatViewModel& model, ChatView&, const std::string& other) {
             model.switchSession(other);
         },
         2},
        {"hidden", false, [](ChatViewModel&, ChatView& view, const std::string&) { view.hide(); },
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto model = makeModel(true);
        const auto first = chat_samples::session(3, now);
        chat_samples::show(*model, first);
        const auto other = std::make_shared<const ChatSession>(chat_samples::session(1, now));
        auto list = model->sessions.get();
        list.push_back(other);
        model->sessions.set(list);

        std::vector<QPointer<MessageBubble>> shown;
        int releases = 0;
        std::size_t aliveAtRelease = 0;
        ChatView view(model, {.keepsMessagesWhileHidden = c.keepsMessagesWhileHidden,
                              .urlOpener = &opener,
                              .releaseMemory = [&] {
                                  ++releases;
                                  aliveAtRelease = static_cast<std::size_t>(std::count_if(
                                      shown.begin(), shown.end(),
                                      [](const auto& bubble) { return !bubble.isNull(); }));
                              }});
        view.resize(500, 700);
        view.show();
        QApplication::processEvents();
        for (auto* bubble : view.findChildren<MessageBubble*>()) {
            shown.emplace_back(bubble);
        }
        ASSERT_EQ(shown.size(), first.messages.size());
        ASSERT_EQ(releases, 0);

        c.leave(*model, view, other->id);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::sendPostedEvents();

        EXPECT_EQ(view.bubbleCount(), c.bubblesAfter);
        EXPECT_EQ(view.findChildren<MessageBubble*>().size(), c.bubblesAfter);
        EXPECT_TRUE(std::all_of(shown.begin(), shown.end(),
                                [](const auto& bubble) { return bubble.isNull(); }));
        EXPECT_EQ(releases, 1);
        EXPECT_EQ(aliveAtRelease, 0U);
        settle();
    }
}

// The transcript draws no background of its own, without a style sheet: under one, every widget
// of every bubble is polished by the style sheet style, which keeps its rules for each (tens of
// kilobytes a question).
TEST_F(ChatViewTest, TheTranscriptsWidgetsAreNotStyledByAStyleSheet) {
    auto model = makeModel(false);
    chat_samples::show(*model, chat_samples::session(2, now));
    auto view = makeView(model);
    view->show();
    QApplication::processEvents();
    auto* content = view->findChild<QWidget*>("chatMessagesContent");
    ASSERT_NE(content, nullptr);
    EXPECT_FALSE(content->autoFillBackground());
    EXPECT_TRUE(content->styleSheet().isEmpty());
    const auto bubbles = view->findChildren<MessageBubble*>();
    ASSERT_EQ(bubbles.size(), 4);
    for (auto* bubble : bubbles) {
        EXPECT_FALSE(bubble->style()->inherits("QStyleSheetStyle"));
        for (auto* text : bubble->findChildren<QTextBrowser*>()) {
            EXPECT_FALSE(text->style()->inherits("QStyleSheetStyle"));
        }
    }
}

TEST_F(ChatViewTest, UndoGoesToTheModelWithTheMessage) {
    auto model = makeModel(false);
    auto session = chat_samples::session(1, now);
    const auto receipt =
        chat_samples::receipt(MemoryMutationOperation::suggest, MemoryProvenance::inferred,
                              MemoryReceiptStatus::committed, "Tea", "green");
    session.messages[1].memoryReceipts = std::vector{receipt};
    chat_samples::show(*model, session);
    auto view = makeView(model);
    auto undo = visible<QPushButton>(view.get(), "memoryReceiptUndo");
    ASSERT_EQ(undo.size(), 1U);
    undo.front()->click();
    settle();
    ASSERT_EQ(memory->undoCalls().size(), 1U);
    EXPECT_EQ(memory->undoCalls().front().id, receipt.id);
    visible<QPushButton>(view.get(), "memoryReceiptViewInSettings").front()->click();
    EXPECT_EQ(settingsOpened, 1);
}

TEST_F(ChatViewTest, StreamedReasoningIsAppendedAndDrawnOncePerFrame) {
    auto model = makeModel(false);
    auto view = makeView(model);
    const auto q = test::message(ChatRole::user, "q");
    model->state.set(ChatState::sending(q, "Thinking", "first "));
    ASSERT_NE(view->thinkingView(), nullptr);
    const auto before = view->turnRenderCount();
    // 2,000 publishes of the same turn before the frame ends: drawn once at once, then once
    // when the frame ends.
    for (int i = 0; i < 2000; ++i) {
        model->state.update([i](ChatState& state) {
            state.asSending()->reasoning->append(std::string(255, 'a' + i % 26) + "\n");
        });
    }
    EXPECT_LE(view->turnRenderCount() - before, 1u);
    view->flushFrame();
    EXPECT_LE(view->turnRenderCount() - before, 2u);
    const QString shown = view->thinkingView()->shownText();
    EXPECT_LE(shown.size(), 2 * ThinkingView::keptCharacters + 1);
    EXPECT_TRUE(shown.endsWith(QString(255, QChar('a' + 1999 % 26)) + "\n"));
    EXPECT_TRUE(shown.startsWith(QChar(0x2026)));

    // A character split between two pieces is shown whole once its second half arrives.
    model->state.update([](ChatState& state) { state.asSending()->reasoning->append("caf\xC3"); });
    view->flushFrame();
    model->state.update([](ChatState& state) { state.asSending()->reasoning->append("\xA9!"); });
    view->flushFrame();
    EXPECT_TRUE(view->thinkingView()->shownText().endsWith(QString::fromUtf8("caf\xC3\xA9!")));
    EXPECT_FALSE(view->thinkingView()->shownText().contains(QChar(0xFFFD)));
}

TEST(ThinkingViewTest, KeepsABoundedTailOfWhatWasAppended) {
    for (const std::size_t piece : {std::size_t{256}, std::size_t{40'000}}) {
        ThinkingView thinking("start", true);
        std::string last;
        for (int i = 0; i < 300; ++i) {
            last = std::string(piece - 1, static_cast<char>('a' + i % 26)) + " ";
            thinking.append(last);
        }
        const QString shown = thinking.shownText();
        EXPECT_LE(shown.size(), 2 * ThinkingView::keptCharacters + 1) << piece;
        EXPECT_TRUE(shown.endsWith(QString::fromStdString(last).right(100))) << piece;
        EXPECT_FALSE(shown.startsWith("start")) << piece;
    }
}

TEST_F(ChatViewTest, TheEndStaysInViewAsTheLastMessageGrowsUnlessTheReaderScrolledUp) {
    Theme::setReduceMotion(true);
    auto model = makeModel(false);
    auto session = chat_samples::session(6, now);
    chat_samples::show(*model, session);
    auto view = makeView(model);
    auto* bar = showScrolling(*view);
    // A new answer is scrolled to.
    session.messages.push_back(chat_samples::question("And the dessert?"));
    session.messages.push_back(chat_samples::answer("Tiramisu.", 0, 0, now));
    chat_samples::show(*model, session);
    QApplication::processEvents();
    QApplication::processEvents();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());

    // It grows afterwards (its sources arrive): the end stays in view.
    const int before = bar->maximum();
    session.messages.back() =
        chat_samples::answer("Tiramisu.\nAnd espresso.\nAnd more.", 3, 1, now);
    session.messages.back().id = view->bubbleCount() > 0 ? session.messages.back().id : Uuid();
    chat_samples::show(*model, session);
    QApplication::processEvents();
    QApplication::processEvents();
    EXPECT_GT(bar->maximum(), before);
    EXPECT_EQ(bar->value(), bar->maximum());

    // Scrolled up by the reader: growth leaves the position alone.
    bar->setValue(10);
    session.messages.back().text += "\nOne more line.\nAnd another.";
    chat_samples::show(*model, session);
    QApplication::processEvents();
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), 10);
    Theme::setReduceMotion(false);
}

// A live change of the desktop's appearance, followed the way the application follows it
// (here qt6ct's colour scheme file), repaints the chat where the reader is: the same widgets, the
// same place in a long answer, the text being typed, all in the new colours.
TEST_F(ChatViewTest, ALiveChangeOfAppearanceKeepsThePlaceInALongAnswer) {
    const Appearance before = Theme::current();
    test::TempDir config;
    test::ScopedEnvironment env;
    env.set("XDG_CONFIG_HOME", config.path().string());
    env.set("QT_QPA_PLATFORMTHEME", "qt6ct");
    const auto write = [](const std::filesystem::path& path, const std::string& text) {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    };
    for (const auto& [name, window] : {std::pair{"dark", "#ff222020"}, {"light", "#ffefefef"}}) {
        write(config.path() / "schemes" / (std::string(name) + ".conf"),
              std::string("[ColorScheme]\nactive_colors=#ff000000, #ffefefef, #ffffffff, "
                          "#ffcacaca, #ff9f9f9f, #ffb8b8b8, #ff000000, #ffffffff, #ff000000, "
                          "#ffffffff, ") +
                  window + ", #ffb1b1b1\n");
    }
    const auto choose = [&](const char* name) {
        write(config.path() / "qt6ct/qt6ct.conf",
              "[Appearance]\ncustom_palette=true\ncolor_scheme_path=" +
                  (config.path() / "schemes" / (std::string(name) + ".conf")).string() + "\n");
    };
    choose("light");
    Theme::apply(*qApp, Appearance::light);
    std::unique_ptr<QObject> follower(Theme::followDesktop(*qApp, {}));

    Theme::setReduceMotion(true);
    auto model = makeModel(false);
    auto session = chat_samples::session(2, now);
    std::string lines;
    for (int i = 1; i <= 45; ++i) {
        lines += "Line " + std::to_string(i) + " of the answer\n";
    }
    session.messages.push_back(chat_samples::question("Tell me everything"));
    session.messages.push_back(chat_samples::answer(lines, 3, 1, now));
    chat_samples::show(*model, session);
    auto view = makeView(model);
    auto* bar = showScrolling(*view);
    ASSERT_GT(bar->maximum(), 400);
    bar->setValue(bar->maximum() / 2);
    const int place = bar->value();
    QPointer<QWidget> answer = view->bubble(session.messages.back().id);
    ASSERT_TRUE(answer);
    auto* composer = view->findChild<ChatComposerTextView*>();
    composer->setPlainText("and the dessert?");
    const QPointer<QWidget> composerBefore = composer;

    for (const auto& [name, appearance] :
         {std::pair{"dark", Appearance::dark}, std::pair{"light", Appearance::light}}) {
        SCOPED_TRACE(name);
        choose(name);
        ASSERT_TRUE(
            spinUntil([&, appearance = appearance] { return Theme::current() == appearance; }));
        QApplication::processEvents();
        EXPECT_EQ(view->bubble(session.messages.back().id), answer.data()) << "not made again";
        EXPECT_EQ(view->findChild<ChatComposerTextView*>(), composerBefore.data());
        EXPECT_EQ(composer->toPlainText(), "and the dessert?");
        EXPECT_EQ(bar->value(), place);
        const auto brand = Theme::palette(appearance);
        EXPECT_EQ(answer->findChild<QTextBrowser*>("messageText")->palette().color(QPalette::Text),
                  brand.ink);
        EXPECT_EQ(view->palette().color(QPalette::Window), brand.canvas);
        EXPECT_EQ(composer->palette().color(QPalette::Text), brand.ink);
    }
    follower.reset();
    env.restore();
    Theme::setReduceMotion(false);
    Theme::apply(*qApp, before);
}

// Every bubble of the view drawn whole: its text as tall as the text lays out at its width, and
// no two rows (bubbles, or the parts of one bubble and the lines of its usage) on top of each
// other.
void expectLaidOutWhole(ChatView& view, const std::vector<Uuid>& ids, const std::string& when) {
    const auto area = [](QWidget* widget, QWidget* within) {
        return QRect(widget->mapTo(within, QPoint(0, 0)), widget->size());
    };
    const auto expectStacked = [&](const std::vector<QWidget*>& rows, QWidget* within,
                                   const std::string& what) {
        for (std::size_t i = 1; i < rows.size(); ++i) {
            EXPECT_LE(area(rows[i - 1], within).bottom(), area(rows[i], within).top() - 1)
                << when << ": " << what << " " << i << " overlaps the one above";
        }
        for (auto* row : rows) {
            EXPECT_TRUE(within->rect().contains(area(row, within))) << when << ": " << what;
        }
    };
    std::vector<QWidget*> bubbles;
    for (const auto& id : ids) {
        auto* bubble = view.bubble(id);
        ASSERT_NE(bubble, nullptr) << when;
        bubbles.push_back(bubble);
        auto* text = bubble->findChild<QTextBrowser*>("messageText");
        EXPECT_GE(text->height(), text->heightForWidth(text->width()))
            << when << ": the text of " << bubble->message().text.substr(0, 20);
        EXPECT_GT(text->height(), 0) << when;
        std::vector<QWidget*> parts;
        for (const char* name :
             {"answerBubble", "userBubble", "statusSection", "tokenUsageSummary"}) {
            for (auto* part : visible<QWidget>(bubble, name)) {
                parts.push_back(part);
            }
        }
        std::sort(parts.begin(), parts.end(), [&](QWidget* a, QWidget* b) {
            return area(a, bubble).top() < area(b, bubble).top();
        });
        expectStacked(parts, bubble, "a part of a bubble");
        if (auto* usage = bubble->findChild<QWidget*>("tokenUsageSummary")) {
            expectStacked({usage->findChild<QLabel*>("tokenUsageTotal"),
                           usage->findChild<QLabel*>("tokenUsageCategories")},
                          usage, "a usage line");
        }
    }
    expectStacked(bubbles, bubbles.front()->parentWidget(), "a bubble");
}

TEST_F(ChatViewTest, AnswersAddedWhileShownAreLaidOutWhole) {
    Theme::setReduceMotion(true);
    auto model = makeModel(false);
    ChatSession session = chat_samples::session(0, now);
    chat_samples::show(*model, session);
    auto view = makeView(model);
    view->resize(900, 600);
    view->show();
    QApplication::processEvents();
    const auto lines = [](int count) {
        std::string text = "Found 3 matching messages.";
        for (int i = 1; i < count; ++i) {
            text += "\nLine " + std::to_string(i + 1) + " of the answer, with a few more words.";
        }
        return text;
    };
    std::vector<Uuid> ids;
    for (const int count : {1, 3, 40}) {
        session.messages.push_back(chat_samples::question("dinner"));
        ids.push_back(session.messages.back().id);
        chat_samples::show(*model, session);
        QApplication::processEvents();
        // The answer comes first; its usage and the sources it cites are resolved after it.
        auto answer = chat_samples::answer(lines(count), count == 3 ? 2 : 0, 0, now);
        auto bare = answer;
        bare.tokenUsage.reset();
        bare.sources.reset();
        session.messages.push_back(bare);
        ids.push_back(answer.id);
        chat_samples::show(*model, session);
        QApplication::processEvents();
        session.messages.back() = answer;
        chat_samples::show(*model, session);
        QApplication::processEvents();
        QApplication::processEvents();
        expectLaidOutWhole(*view, ids, std::to_string(count) + " lines");
    }
    // A narrower window lays every bubble out again.
    view->resize(520, 600);
    QApplication::processEvents();
    QApplication::processEvents();
    expectLaidOutWhole(*view, ids, "narrower");
    Theme::setReduceMotion(false);
}

TEST_F(ChatViewTest, SavedChatsLoadingShowsTheLoadingStateAndHoldsSending) {
    withStoredSessions({test::storedSession("saved", clock.now())});
    auto model = ChatViewModel::make(dependencies());
    auto view = makeView(model);
    model->inputText.set("hello");
    EXPECT_EQ(visible<QWidget>(view.get(), "chatLoadingState").size(), 1U);
    EXPECT_TRUE(visible<QWidget>(view.get(), "chatEmptyState").empty());
    EXPECT_FALSE(view->sendButton()->isEnabled());
    press(view->composer(), Qt::Key_Return);
    EXPECT_TRUE(model->state.get().isIdle());

    settle();
    EXPECT_TRUE(visible<QWidget>(view.get(), "chatLoadingState").empty());
    EXPECT_EQ(view->bubbleCount(), 2U);
    EXPECT_TRUE(view->sendButton()->isEnabled());
}

// --- Message bubble ---------------------------------------------------------------------------

MessageBubble::Actions bubbleActions(std::vector<std::string>& opened,
                                     std::vector<Uuid>* undone = nullptr, bool messagesApp = true) {
    const auto record = [&opened](const std::string& url) { opened.push_back(url); };
    return {
        .undoAutoSave =
            [undone](const Uuid& id) {
                if (undone) {
                    undone->push_back(id);
                }
            },
        .openSettings = {},
        .openURL = record,
        .openInMessages = messagesApp ? std::function<void(const std::string&)>(record) : nullptr,
        .now = [] { return now; }};
}

TEST(MessageBubbleTest, SourcesShowSixThenTheRest) {
    struct Case {
        int sources;
        bool truncated;
        std::size_t cards;
        std::optional<std::string> more;
        std::size_t cardsAfterMore;
        std::optional<std::string> moreAfter;
    };
    const std::vector<Case> cases = {
        {6, false, 6, std::nullopt, 6, std::nullopt},
        {7, false, 6, "Show 1 more", 7, "Show fewer"},
        {12, true, 6, "Show 6 more", 12, "Show fewer"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> opened;
        auto answer = chat_samples::answer("a", c.sources - 1, 1, now);
        answer.sourcesTruncated = c.truncated;
        MessageBubble bubble(answer, true, bubbleActions(opened));
        visible<QPushButton>(&bubble, "sourcesToggle").front()->click();
        const auto cards = [&] {
            return visible<QWidget>(&bubble, "conversationSourceCard").size() +
                   visible<QWidget>(&bubble, "querySourceCard").size();
        };
        EXPECT_EQ(cards(), c.cards) << c.sources;
        EXPECT_EQ(visible<QWidget>(&bubble, "sourcesOmittedNote").size(), c.truncated ? 1U : 0U);
        auto more = visible<QPushButton>(&bubble, "sourcesShowMore");
        ASSERT_EQ(more.size(), c.more ? 1U : 0U) << c.sources;
        if (!c.more) {
            continue;
        }
        EXPECT_EQ(more.front()->text().toStdString(), *c.more);
        more.front()->click();
        EXPECT_EQ(cards(), c.cardsAfterMore) << c.sources;
        EXPECT_EQ(visible<QPushButton>(&bubble, "sourcesShowMore").front()->text().toStdString(),
                  *c.moreAfter);
    }
}

// Return on a control of an answer's sources, pressed twice: each press opens or closes what it
// names, and the focus stays on the control rebuilt with its section, never on a control of
// another part of the window.
TEST(MessageBubbleTest, AToggleOfTheSourcesKeepsTheFocusAcrossPresses) {
    using State = MessageBubble::LocalState;
    struct Case {
        const char* control;
        std::function<bool(const State&)> opened;
    };
    const std::vector<Case> cases = {
        {"sourcesToggle", [](const State& s) { return s.sourcesExpanded; }},
        {"sourcesShowMore", [](const State& s) { return s.sources.showsAll; }},
        {"messagesShowMore",
         [](const State& s) { return !s.sources.expandedConversationIDs.empty(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.control);
        std::vector<std::string> opened;
        QWidget window;
        auto* column = new QVBoxLayout(&window);
        auto* before = new QPushButton("New Chat");
        column->addWidget(before);
        auto* bubble =
            new MessageBubble(chat_samples::answer("a", 6, 1, now), true, bubbleActions(opened));
        column->addWidget(bubble);
        column->addWidget(new QPushButton("Settings"));
        window.resize(600, 2400);
        window.show();
        QApplication::setActiveWindow(&window);
        if (c.control != std::string("sourcesToggle")) {
            visible<QPushButton>(bubble, "sourcesToggle").front()->click();
        }
        QApplication::processEvents();
        visible<QPushButton>(bubble, c.control).front()->setFocus();
        for (const bool open : {true, false}) {
            press(QApplication::focusWidget(), Qt::Key_Return);
            EXPECT_EQ(c.opened(bubble->localState()), open);
            ASSERT_NE(QApplication::focusWidget(), nullptr);
            EXPECT_EQ(QApplication::focusWidget()->objectName().toStdString(), c.control);
            EXPECT_TRUE(bubble->isAncestorOf(QApplication::focusWidget()));
            QApplication::processEvents();
            EXPECT_TRUE(QApplication::focusWidget()->isVisible());
        }
    }
}

// Return on one auto-save's Undo, pressed again once the answer shows it undone: the focus
// never passes to another receipt's Undo, so the second press undoes nothing else.
TEST(MessageBubbleTest, AnUndoneReceiptPassesTheFocusToNoOtherUndo) {
    const auto autoSave = [](const char* term) {
        return chat_samples::receipt(MemoryMutationOperation::suggest, MemoryProvenance::inferred,
                                     MemoryReceiptStatus::committed, term, "green");
    };
    auto answer = chat_samples::answer("a", 1, 0, now);
    answer.memoryReceipts = std::vector{autoSave("Tea"), autoSave("Coffee")};
    std::vector<std::string> opened;
    std::vector<Uuid> undone;
    QWidget window;
    auto* column = new QVBoxLayout(&window);
    auto* bubble = new MessageBubble(answer, true, bubbleActions(opened, &undone));
    column->addWidget(bubble);
    window.show();
    QApplication::setActiveWindow(&window);
    visible<QPushButton>(bubble, "autoSaveGroupToggle").front()->click();
    QApplication::processEvents();
    auto undo = visible<QPushButton>(bubble, "memoryReceiptUndo");
    ASSERT_EQ(undo.size(), 2U);
    undo.back()->setFocus();
    press(QApplication::focusWidget(), Qt::Key_Return);
    ASSERT_EQ(undone, std::vector<Uuid>{(*answer.memoryReceipts)[1].id});
    (*answer.memoryReceipts)[1].status = MemoryReceiptStatus::undone;
    bubble->setMessage(answer);
    QApplication::processEvents();
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    EXPECT_NE(QApplication::focusWidget()->objectName().toStdString(), "memoryReceiptUndo");
    press(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_EQ(undone, std::vector<Uuid>{(*answer.memoryReceipts)[1].id});
}

TEST(MessageBubbleTest, ConversationCardsShowThreeMessagesAndOpenMessages) {
    std::vector<std::string> opened;
    MessageBubble bubble(chat_samples::answer("a", 1, 0, now), true, bubbleActions(opened));
    visible<QPushButton>(&bubble, "sourcesToggle").front()->click();
    EXPECT_EQ(visible<QWidget>(&bubble, "supportingMessage").size(), 3U);
    auto more = visible<QPushButton>(&bubble, "messagesShowMore");
    ASSERT_EQ(more.size(), 1U);
    EXPECT_EQ(more.front()->text(), "Show 1 more messages");
    more.front()->click();
    EXPECT_EQ(visible<QWidget>(&bubble, "supportingMessage").size(), 4U);
    EXPECT_EQ(visible<QPushButton>(&bubble, "messagesShowMore").front()->text(),
              "Show fewer messages");
    visible<QPushButton>(&bubble, "openInMessages").front()->click();
    EXPECT_EQ(opened, std::vector<std::string>{"imessage:?addresses=+15550101"});
}

// No Messages application (Linux): the card has no arrow that could only go nowhere.
TEST(MessageBubbleTest, WithoutAMessagesApplicationTheCardHasNoArrow) {
    std::vector<std::string> opened;
    MessageBubble bubble(chat_samples::answer("a", 1, 0, now), true,
                         bubbleActions(opened, nullptr, false));
    visible<QPushButton>(&bubble, "sourcesToggle").front()->click();
    EXPECT_EQ(visible<QWidget>(&bubble, "conversationSourceCard").size(), 1U);
    EXPECT_TRUE(visible<QPushButton>(&bubble, "openInMessages").empty());
    EXPECT_TRUE(opened.empty());
}

TEST(MessageBubbleTest, OnlyWebLinksOpenAndTheTargetShowsOnHover) {
    struct Case {
        const char* url;
        bool opens;
    };
    const std::vector<Case> cases = {{"https://example.com/x", true},
                                     {"http://example.com", true},
                                     {"file:///etc/passwd", false},
                                     {"javascript:alert(1)", false},
                                     {"vask://send?q=1", false}};
    for (const auto& c : cases) {
        std::vector<std::string> opened;
        auto answer = chat_samples::answer(std::string("[x](") + c.url + ")", 0, 0, now);
        MessageBubble bubble(answer, true, bubbleActions(opened));
        auto* text = bubble.findChild<QTextBrowser*>("messageText");
        ASSERT_NE(text, nullptr);
        EXPECT_TRUE(text->toHtml().contains("<a href=")) << c.url;
        emit text->highlighted(QUrl(c.url));
        EXPECT_EQ(text->toolTip(), c.url);
        emit text->anchorClicked(QUrl(c.url));
        EXPECT_EQ(opened.size(), c.opens ? 1U : 0U) << c.url;
    }
}

TEST(MessageBubbleTest, QuestionsShowTheirTextAsWrittenAndNoStatus) {
    std::vector<std::string> opened;
    auto question = chat_samples::question("**not bold** <b>x</b>");
    question.sources = chat_samples::answer("a", 1, 0, now).sources;
    question.extracted = true;
    MessageBubble bubble(question, true, bubbleActions(opened));
    auto* text = bubble.findChild<QTextBrowser*>("messageText");
    EXPECT_EQ(text->toPlainText(), "**not bold** <b>x</b>");
    EXPECT_FALSE(text->toHtml().contains("<b>x"));
    EXPECT_TRUE(visible<QWidget>(&bubble, "statusSection").empty());
}

TEST(MessageBubbleTest, AnOverlongTextIsCutWithANote) {
    const std::size_t limit = chat_presentation::maxShownCharacters;
    struct Case {
        const char* name;
        ChatMessage message;
        bool cut;
    };
    const std::vector<Case> cases = {
        {"answer", chat_samples::answer(std::string(3 * limit, 'x'), 0, 0, now), true},
        {"question", chat_samples::question(std::string(limit + 1, 'q')), true},
        {"ordinary", chat_samples::answer("A **real** answer.", 0, 0, now), false},
        {"atTheLimit", chat_samples::answer(std::string(limit, 'z'), 0, 0, now), false},
    };
    for (const auto& c : cases) {
        std::vector<std::string> opened;
        MessageBubble bubble(c.message, true, bubbleActions(opened));
        EXPECT_EQ(visible<QLabel>(&bubble, "messageCutNote").size(), c.cut ? 1U : 0U) << c.name;
        auto* text = bubble.findChild<QTextBrowser*>("messageText");
        EXPECT_LE(static_cast<std::size_t>(text->toPlainText().count(QChar(c.message.text[0]))),
                  limit)
            << c.name << " " << text->toPlainText().left(80).toStdString();
        // The message keeps its whole text.
        EXPECT_EQ(bubble.message().text.size(), c.message.text.size()) << c.name;
    }
}

TEST(MessageBubbleTest, BubblesHugTheirTextUpToAReadableLine) {
    std::vector<std::string> opened;
    const auto widthOf = [&](const ChatMessage& message, const char* name) {
        MessageBubble bubble(message, true, bubbleActions(opened));
        bubble.resize(1000, bubble.heightForWidth(1000));
        bubble.show();
        QApplication::processEvents();
        auto* panel = bubble.findChild<QWidget*>(name);
        auto* text = bubble.findChild<QTextBrowser*>("messageText");
        return std::pair{panel->width(), text->height()};
    };
    const auto [shortAnswer, shortAnswerHeight] =
        widthOf(chat_samples::answer("Yes.", 0, 0, now), "answerBubble");
    const auto [longAnswer, longAnswerHeight] = widthOf(chat_samples::answer(
                                                            [] {
                                                                std::string words;
                                                                for (int i = 0; i < 300; ++i) {
                                                                    words += "word ";
                                                                }
                                                                return words;
                                                            }(),
                                                            0, 0, now),
                                                        "answerBubble");
    const auto [question, questionHeight] =
        widthOf(chat_samples::question("Where did we meet Sam last summer in Rome?"), "userBubble");
    const int line = QFontMetrics(Theme::font(FontRole::body)).height();
    EXPECT_LT(shortAnswer, 150);
    EXPECT_LT(longAnswer, 800);
    EXPECT_GT(longAnswer, 300);
    // A question that fits on a line is not wrapped.
    EXPECT_LT(questionHeight, 2 * line);
    EXPECT_GT(longAnswerHeight, 4 * line);
}

// A question mixing scripts (an emoji, then a right-to-left word) is measured the way it is laid
// out: it stays on one line where there is room, its last word never wrapped on its own.
TEST(MessageBubbleTest, AQuestionMixingScriptsStaysOnOneLine) {
    std::vector<std::string> opened;
    const int line = QFontMetrics(Theme::font(FontRole::body)).height();
    for (const char* text : {"dinner \xF0\x9F\x98\x80 \xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7",
                             "\xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7 dinner at 8",
                             "caf\xC3\xA9 \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xF0\x9F\x8D\x95"}) {
        MessageBubble bubble(chat_samples::question(text), true, bubbleActions(opened));
        bubble.resize(1500, bubble.heightForWidth(1500));
        bubble.show();
        QApplication::processEvents();
        auto* label = bubble.findChild<QTextBrowser*>("messageText");
        EXPECT_LT(label->heightForWidth(label->width()), 2 * line) << text;
    }
}

// A word longer than the line (a long link in an answer, a long word in a question) is broken
// where the line ends: the bubble stays inside its column, and the text (what a selection
// copies) is the message's own.
// Tab and Shift+Tab go through the chat as it reads, whatever was built after it: an answer
// that arrives while the window is shown, or whose sources open, has its controls between the
// transcript and the composer, not after the window's last control.
TEST_F(ChatViewTest, TabGoesThroughTheChatAsItReads) {
    auto model = makeModel(false);
    QWidget window;
    auto* column = new QHBoxLayout(&window);
    auto view = makeView(model);
    column->addWidget(view.get());
    auto* after = new QPushButton("New Chat");
    after->setObjectName("after");
    column->addWidget(after);
    window.resize(700, 700);
    window.show();
    QApplication::setActiveWindow(&window);
    QApplication::processEvents();
    const auto session = chat_samples::session(1, now);
    chat_samples::show(*model, session);
    QApplication::processEvents();
    auto* bubble = view->bubble(session.messages[1].id);
    ASSERT_NE(bubble, nullptr);
    const auto focused = [] {
        const auto* widget = QApplication::focusWidget();
        return widget != nullptr ? widget->objectName().toStdString() : std::string();
    };
    for (const bool opened : {false, true}) {
        SCOPED_TRACE(opened ? "sources open" : "sources closed");
        if (opened) {
            visible<QPushButton>(bubble, "sourcesToggle").front()->click();
            QApplication::processEvents();
        }
        view->composer()->setFocus();
        press(view->composer(), Qt::Key_Backtab, Qt::ShiftModifier);
        EXPECT_EQ(focused(), opened ? "messagesShowMore" : "sourcesToggle");
        press(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(focused(), "chatComposer");
    }
}

// An answer's sources opened from its toggle are read from the toggle down: the transcript does
// not run to their end, which would take the pressed toggle out of view.
TEST_F(ChatViewTest, SourcesOpenedFromTheirToggleKeepItInView) {
    Theme::setReduceMotion(true);
    auto model = makeModel(false);
    auto view = makeView(model);
    auto* bar = showScrolling(*view);
    QApplication::setActiveWindow(view.get());
    // The answer arrives while the chat is shown: it is scrolled to, and its end followed.
    const auto session = chat_samples::session(1, now);
    chat_samples::show(*model, session);
    QApplication::processEvents();
    QApplication::processEvents();
    auto* bubble = view->bubble(session.messages[1].id);
    ASSERT_NE(bubble, nullptr);
    auto* toggle = visible<QPushButton>(bubble, "sourcesToggle").front();
    toggle->setFocus();
    press(toggle, Qt::Key_Return);
    QApplication::processEvents();
    QApplication::processEvents();
    ASSERT_GT(bar->maximum(), 0) << "the open sources run past the view";
    auto* focused = QApplication::focusWidget();
    ASSERT_NE(focused, nullptr);
    EXPECT_EQ(focused->objectName().toStdString(), "sourcesToggle");
    const auto* viewport = view->findChild<QScrollArea*>("chatMessages")->viewport();
    const int top = focused->mapTo(viewport, QPoint(0, 0)).y();
    EXPECT_GE(top, 0);
    EXPECT_LE(top + focused->height(), viewport->height());
    Theme::setReduceMotion(false);
}

// "Sources (n)" sits in a row just its height: its focus ring goes around it, outside its text,
// as the row's holders leave room for it; it shows only for focus the pointer did not put there,
// the toggle rebuilt after a click included; and the toggle draws no focus of its own.
TEST_F(ChatViewTest, TheSourcesRingIsOutsideItsTextAndOnlyForTheKeyboard) {
    installKeyboardHandling(*qApp);
    auto model = makeModel(false);
    auto view = makeView(model);
    showScrolling(*view);
    QApplication::setActiveWindow(view.get());
    const auto session = chat_samples::session(1, now);
    chat_samples::show(*model, session);
    QApplication::processEvents();
    auto* bubble = view->bubble(session.messages[1].id);
    ASSERT_NE(bubble, nullptr);
    // The keyboard was used in the window before, as in a keyboard user's window: the style
    // then draws a focus of a button's own, a click notwithstanding.
    view->setAttribute(Qt::WA_KeyboardFocusChange);
    const auto ring = [&] { return view->findChild<QFocusFrame*>("keyboardFocusRing"); };
    const auto toggle = [&] { return visible<QPushButton>(bubble, "sourcesToggle").front(); };
    // Where the ring is drawn and where the toggle is, in the window.
    const auto inWindow = [&](QWidget* widget) {
        return QRect(widget->mapTo(view.get(), QPoint(0, 0)), widget->size());
    };
    struct Step {
        const char* name;
        std::function<void()> act;
        bool ringed;
    };
    const std::vector<Step> steps = {
        {"reached by Tab", [&] { toggle()->setFocus(Qt::TabFocusReason); }, true},
        {"pressed by Return", [&] { press(toggle(), Qt::Key_Return); }, true},
        {"clicked",
         [&] {
             QWidget* target = toggle();
             const QPointF at(target->width() / 2.0, target->height() / 2.0);
             for (const auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
                 QMouseEvent event(type, at, target->mapToGlobal(at), Qt::LeftButton,
                                   type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                                   Qt::NoModifier);
                 QApplication::sendEvent(target, &event);
             }
         },
         false},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        step.act();
        QApplication::processEvents();
        ASSERT_EQ(QApplication::focusWidget(), toggle());
        const bool shown = ring() != nullptr && ring()->isVisible() && ring()->widget() == toggle();
        EXPECT_EQ(shown, step.ringed);
        if (shown) {
            const QRect around = inWindow(toggle()).adjusted(-3, -3, 3, 3);
            EXPECT_EQ(inWindow(ring()), around) << "the ring is drawn inside, through the text";
        }
        // The ring is the one sign of the focus: the toggle draws none of its own.
        const QImage focused = toggle()->grab().toImage();
        toggle()->clearFocus();
        EXPECT_EQ(toggle()->grab().toImage(), focused) << "a focus drawn on the button itself";
        toggle()->setFocus(step.ringed ? Qt::TabFocusReason : Qt::MouseFocusReason);
    }
}

TEST_F(ChatViewTest, AWordLongerThanTheLineBreaksInsideTheColumn) {
    const std::string url = "https://example.com/" + std::string(190, 'u');
    const std::string word(220, 'w');
    struct Case {
        const char* name;
        ChatMessage message;
        const char* panel;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"link in an answer", chat_samples::answer("See " + url + " for more.", 0, 0, now),
         "answerBubble", "See " + url + " for more."},
        {"word in a question", chat_samples::question(word), "userBubble", word},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto model = makeModel(false);
        ChatSession session = chat_samples::session(0, now);
        session.messages.push_back(c.message);
        chat_samples::show(*model, session);
        auto view = makeView(model);
        for (const int width : {500, 340}) {
            view->resize(width, 600);
            view->show();
            QApplication::processEvents();
            auto* bubble = view->bubble(c.message.id);
            ASSERT_NE(bubble, nullptr);
            auto* column = view->findChild<QScrollArea*>("chatMessages")->viewport();
            auto* panel = bubble->findChild<QWidget*>(c.panel);
            const QRect drawn(panel->mapTo(column, QPoint(0, 0)), panel->size());
            EXPECT_TRUE(column->rect().contains(drawn))
                << width << ": " << drawn.right() << " past " << column->width();
            auto* text = bubble->findChild<QTextBrowser*>("messageText");
            const int line = QFontMetrics(text->font()).lineSpacing();
            EXPECT_GE(text->height(), 3 * line) << width << ": the word is broken over lines";
            EXPECT_LE(text->document()->size().width(), text->viewport()->width() + 1) << width;
            EXPECT_EQ(text->toPlainText().toStdString(), c.shown);
        }
    }
}

TEST(MemoryReceiptRowsTest, AutoSaveGroupOpensAndUndoesEach) {
    using S = MemoryReceiptStatus;
    const auto autoSave = [](S status) {
        return chat_samples::receipt(MemoryMutationOperation::suggest, MemoryProvenance::inferred,
                                     status, "Tea", "green");
    };
    const std::vector receipts = {autoSave(S::committed), autoSave(S::undone),
                                  autoSave(S::committed)};
    std::vector<Uuid> undone;
    int toggles = 0;
    for (const bool expanded : {false, true}) {
        MemoryReceiptRows rows(receipts, expanded,
                               {.undo = [&](const Uuid& id) { undone.push_back(id); },
                                .viewInSettings = {},
                                .toggleAutoSaves = [&] { ++toggles; }});
        auto header = visible<QPushButton>(&rows, "autoSaveGroupToggle");
        ASSERT_EQ(header.size(), 1U);
        EXPECT_EQ(header.front()->accessibleName(), "2 saved \xC2\xB7 1 undone");
        EXPECT_EQ(visible<QWidget>(&rows, "autoSaveGroupEntry").size(), expanded ? 3U : 0U);
        header.front()->click();
        if (expanded) {
            auto undo = visible<QPushButton>(&rows, "memoryReceiptUndo");
            ASSERT_EQ(undo.size(), 2U);
            undo.back()->click();
        }
    }
    EXPECT_EQ(toggles, 2);
    EXPECT_EQ(undone, std::vector<Uuid>{receipts[2].id});
}

}  // namespace
}  // namespace vask::ui
