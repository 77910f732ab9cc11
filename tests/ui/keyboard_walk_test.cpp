// One walk by the keyboard alone over every window state the screenshot tool knows: Tab reaches
// every control, each with its focus ring, in reading order; each control pressed twice by
// Return and by Space keeps the focus where a keyboard user left it (on the control, what stands
// in for it or its section, never the window's start nor another section), and no key presses
// anything but the focused control. Failures are listed by window state and control.
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFocusFrame>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPointer>
#include <QSplitter>
#include <QStackedWidget>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "chat/chat_view_model.h"
#include "platform/in_memory_secret_backend.h"
#include "screenshot_scenes.h"
#include "ui/keyboard.h"

namespace vask::ui {
namespace {

using screenshots::Shot;
using screenshots::ShownShot;

std::filesystem::path scratch() {
    return std::filesystem::path(QDir::tempPath().toStdString()) /
           ("vask-keyboard-walk-" + std::to_string(QApplication::applicationPid()));
}

const std::vector<Shot>& shots() {
    static const std::vector<Shot> all = screenshots::allShots(scratch());
    return all;
}

// How a failure names a control: its object name, else its accessible name or text, else its
// class.
std::string nameOf(const QWidget* widget) {
    if (widget == nullptr) {
        return "nothing";
    }
    if (!widget->objectName().isEmpty()) {
        return widget->objectName().toStdString();
    }
    if (!widget->accessibleName().isEmpty()) {
        return "\"" + widget->accessibleName().toStdString() + "\"";
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget);
        button != nullptr && !button->text().isEmpty()) {
        return "\"" + button->text().toStdString() + "\"";
    }
    return widget->metaObject()->className();
}

bool isTabStop(const QWidget* widget, const QWidget* window) {
    return (widget->focusPolicy() & Qt::TabFocus) != 0 && widget->focusProxy() == nullptr &&
           widget->window() == window && widget->isEnabled() && widget->isVisibleTo(window);
}

// The pane a control is read in: the side of a splitter it is on (the sidebar, the detail), else
// the window.
const QWidget* paneOf(const QWidget* widget) {
    for (const QWidget* w = widget; w != nullptr && !w->isWindow(); w = w->parentWidget()) {
        if (qobject_cast<const QSplitter*>(w->parentWidget()) != nullptr) {
            return w;
        }
    }
    return widget->window();
}

QRect placeOf(const QWidget* widget) {
    return {widget->mapTo(widget->window(), QPoint(0, 0)), widget->size()};
}

// Whether `next` may follow `before` in reading order: below it, or beside it on its right on
// the same line, or in another pane (the sidebar, the detail), or inside it (a list's rows,
// wherever the list is scrolled to: Private Memory's on a short screen).
bool readsAfter(const QWidget* before, const QWidget* next) {
    if (paneOf(before) != paneOf(next) || before->isAncestorOf(next)) {
        return true;
    }
    const QRect a = placeOf(before);
    const QRect b = placeOf(next);
    // Entirely above: a pane is read in one column.
    if (b.bottom() < a.top()) {
        return false;
    }
    // On the same line, to the left.
    const bool sameLine = b.top() < a.bottom() && a.top() < b.bottom();
    return !(sameLine && b.right() <= a.left() && !before->isRightToLeft());
}

void sendKey(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    const QString text = key == Qt::Key_Space ? " " : key == Qt::Key_Return ? "\r" : "";
    for (const auto type : {QEvent::KeyPress, QEvent::KeyRelease}) {
        if (target == nullptr) {
            return;
        }
        QKeyEvent event(type, key, modifiers, text);
        QApplication::sendEvent(target, &event);
    }
}

// A question typed in each chat's composer, so Send can be pressed too.
void typeQuestions(QWidget* window) {
    for (auto* composer : window->findChildren<QWidget*>("chatComposer")) {
        if (composer->isVisibleTo(window) && composer->isEnabled()) {
            for (const QChar c : QString("book club")) {
                QKeyEvent key(QEvent::KeyPress, c == ' ' ? Qt::Key_Space : Qt::Key_A,
                              Qt::NoModifier, QString(c));
                QApplication::sendEvent(composer, &key);
            }
        }
    }
}

// Shows the window with the keyboard, as a window the user brought forward.
void activate(QWidget* window) {
    window->activateWindow();
    QApplication::setActiveWindow(window);
    for (int i = 0; i < 50 && QApplication::activeWindow() != window; ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

// Puts away every window a press opened over the shot (a confirmation, a menu, Private Memory):
// the walk goes on in the shot's window. Runs inside a dialog's own loop too.
class WindowCloser {
  public:
    explicit WindowCloser(QWidget* window) : window_(window) {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] { closeOthers(); });
        timer_.start();
    }
    void closeOthers() {
        if (QWidget* popup = QApplication::activePopupWidget()) {
            popup->close();
        }
        if (QWidget* modal = QApplication::activeModalWidget();
            modal != nullptr && modal != window_) {
            // A confirmation is answered with its action, so what it guards runs in the sandbox
            // too (Forget, Sign Out); any other dialog is put away.
            auto* box = qobject_cast<QMessageBox*>(modal);
            QAbstractButton* action = nullptr;
            for (QAbstractButton* button : box ? box->buttons() : QList<QAbstractButton*>()) {
                if (box->buttonRole(button) == QMessageBox::DestructiveRole ||
                    box->buttonRole(button) == QMessageBox::AcceptRole) {
                    action = button;
                }
            }
            if (action != nullptr) {
                action->click();
            } else {
                modal->close();
            }
        }
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (top != window_ && top->isVisible() && !top->inherits("QFocusFrame") &&
                !top->isAncestorOf(window_)) {
                top->close();
            }
        }
    }

  private:
    QWidget* window_;
    QTimer timer_;
};

struct Walk {
    std::vector<std::string> failures;

    void fail(const std::string& where, const QWidget* control, const std::string& what) {
        failures.push_back(where + ": " + nameOf(control) + ": " + what);
    }
};

// The Tab stops in the order Tab reaches them from the window's focus, once round.
std::vector<QPointer<QWidget>> tabRound(QWidget* window, const std::string& where, Walk& walk) {
    std::vector<QPointer<QWidget>> round;
    QWidget* start = window->focusWidget();
    if (start == nullptr || start == window) {
        sendKey(window, Qt::Key_Tab);
        start = QApplication::focusWidget();
    }
    if (start == nullptr) {
        return round;
    }
    QWidget* focus = start;
    // What the window shows: the page each of its stacks has up.
    const auto pages = [window] {
        std::vector<QWidget*> shown;
        for (auto* stack : window->findChildren<QStackedWidget*>()) {
            shown.push_back(stack->isVisibleTo(window) ? stack->currentWidget() : nullptr);
        }
        return shown;
    };
    for (int step = 0; step < 400; ++step) {
        round.emplace_back(focus);
        auto* ring = window->findChild<QFocusFrame*>("keyboardFocusRing");
        if (ring == nullptr || !ring->isVisible() || ring->widget() != focus) {
            walk.fail(where, focus,
                      step == 0 ? "has the focus as the window opens, without a visible ring"
                                : "reached by Tab without a visible focus ring");
        }
        const auto before = pages();
        sendKey(focus, Qt::Key_Tab);
        // Tab may move inside the control first (a label's links, one after the other).
        for (int inside = 0; inside < 20 && QApplication::focusWidget() == focus; ++inside) {
            sendKey(focus, Qt::Key_Tab);
        }
        if (pages() != before) {
            walk.fail(where, QApplication::focusWidget(),
                      "reached by Tab, changed what the window shows");
        }
        QWidget* next = QApplication::focusWidget();
        if (next == nullptr || next->window() != window) {
            walk.fail(where, focus, "Tab left the window");
            break;
        }
        if (next == start) {
            break;
        }
        if (std::find(round.begin(), round.end(), next) != round.end()) {
            walk.fail(where, next, "Tab goes round without coming back to where it started");
            break;
        }
        focus = next;
    }
    return round;
}

// Presses `control` twice by `key` (the second press goes where the focus is then) and says
// where the focus went and what else the key pressed.
void pressTwice(const ShownShot& shown, QWidget* control, int key, Walk& walk,
                const std::string& where) {
    QWidget* window = shown.widget();
    const std::string at = where + (key == Qt::Key_Return ? " (Return)" : " (Space)");
    const QString key0 = focusKey(control);
    const QPointer<QWidget> pressedControl(control);
    // Where the control is read: each holder up to the window.
    std::vector<QPointer<QWidget>> holders;
    for (QWidget* w = control->parentWidget(); w != nullptr && w != window; w = w->parentWidget()) {
        holders.emplace_back(w);
    }
    // Every button of the window says when it is pressed, a rebuilt row's too.
    std::map<QAbstractButton*, int> pressed;
    // The listening ends with this press: it goes before the map it counts in.
    const QObject listening;
    const auto listen = [&] {
        for (auto* button : window->findChildren<QAbstractButton*>()) {
            if (!pressed.contains(button)) {
                pressed[button] = 0;
                QObject::connect(button, &QAbstractButton::clicked, &listening,
                                 [&pressed, button] { ++pressed[button]; });
                QObject::connect(button, &QObject::destroyed, &listening,
                                 [&pressed, button] { pressed.erase(button); });
            }
        }
    };
    control->setFocus(Qt::TabFocusReason);
    if (!control->hasFocus()) {
        walk.fail(at, control, "takes no focus");
        return;
    }
    const std::string name = nameOf(control);
    for (int time = 1; time <= 2; ++time) {
        listen();
        for (auto& [button, count] : pressed) {
            count = 0;
        }
        QWidget* target = QApplication::focusWidget();
        {
            const WindowCloser closer(window);
            sendKey(target, key);
            shown.scene().drain();
            screenshots::settle();
        }
        for (const auto& [button, count] : pressed) {
            if (count > 0 && button != target) {
                walk.fail(at, pressedControl,
                          "press " + std::to_string(time) + " pressed " + nameOf(button));
            }
        }
        if (!window->isVisible()) {
            // The control's work was to close the window (Done, Open in Vask).
            return;
        }
        QWidget* focus = window->focusWidget();
        if (std::getenv("VASK_WALK_TRACE") != nullptr) {
            std::cerr << at << " " << name << " press " << time << ": target " << nameOf(target)
                      << ", focus " << nameOf(focus) << ", app focus "
                      << nameOf(QApplication::focusWidget()) << "\n";
        }
        const bool kept =
            focus != nullptr &&
            (focus == pressedControl || (!key0.isEmpty() && focusKey(focus) == key0) ||
             focus->property("vaskStandsInFor").toStringList().contains(key0) ||
             std::find(holders.begin(), holders.end(), focus) != holders.end());
        if (!kept) {
            walk.failures.push_back(at + ": " + name + ": after press " + std::to_string(time) +
                                    " the focus is on " +
                                    nameOf(focus == window ? nullptr : focus));
            return;
        }
        activate(window);
    }
}

class KeyboardWalkTest : public ::testing::TestWithParam<int> {
  protected:
    const Shot& shot() const { return shots()[static_cast<std::size_t>(GetParam())]; }
    std::string where() const { return std::string(shot().view) + "-" + shot().state; }

    void TearDown() override { std::filesystem::remove_all(scratch()); }
};

TEST_P(KeyboardWalkTest, TabReachesEveryControlWithItsRingInReadingOrder) {
    // The pointer pressed last: no ring is left from before.
    QWidget elsewhere;
    elsewhere.show();
    QMouseEvent click(QEvent::MouseButtonPress, QPointF(1, 1), QPointF(1, 1), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&elsewhere, &click);
    elsewhere.hide();
    const ShownShot shown(shot(), scratch());
    QWidget* window = shown.widget();
    activate(window);
    Walk walk;
    const auto round = tabRound(window, where(), walk);
    for (QWidget* control : window->findChildren<QWidget*>()) {
        if (isTabStop(control, window) &&
            std::find(round.begin(), round.end(), control) == round.end()) {
            walk.fail(where(), control, "never reached by Tab");
        }
    }
    // Tab goes round: read from where the round wraps, the start that leaves fewest steps
    // against reading order.
    const auto against = [](const std::vector<QPointer<QWidget>>& order) {
        std::vector<std::size_t> steps;
        for (std::size_t i = 1; i < order.size(); ++i) {
            if (order[i - 1] && order[i] && !readsAfter(order[i - 1], order[i])) {
                steps.push_back(i);
            }
        }
        return steps;
    };
    auto read = round;
    auto best = round;
    for (std::size_t start = 0; start < round.size(); ++start) {
        std::rotate(read.begin(), read.begin() + 1, read.end());
        if (against(read).size() < against(best).size()) {
            best = read;
        }
    }
    read = best;
    for (std::size_t i = 1; i < read.size(); ++i) {
        if (read[i - 1] && read[i] && !readsAfter(read[i - 1], read[i])) {
            walk.fail(where(), read[i],
                      "reached by Tab after " + nameOf(read[i - 1]) + ", which is read after it");
        }
    }
    for (const auto& failure : walk.failures) {
        ADD_FAILURE() << failure;
    }
}

TEST_P(KeyboardWalkTest, EachControlPressedTwiceKeepsTheFocusAndPressesNothingElse) {
    Walk walk;
    std::size_t stops = 1;
    // Each control in a sandbox of its own: the window state made afresh, the control reached as
    // Tab reaches it, pressed twice.
    for (std::size_t index = 0; index < stops; ++index) {
        for (const int key : {Qt::Key_Return, Qt::Key_Space}) {
            const ShownShot shown(shot(), scratch());
            QWidget* window = shown.widget();
            activate(window);
            typeQuestions(window);
            shown.scene().drain();
            screenshots::settle();
            Walk unused;
            const auto round = tabRound(window, where(), unused);
            stops = round.size();
            if (index >= round.size() || !round[index]) {
                continue;
            }
            pressTwice(shown, round[index], key, walk, where());
        }
    }
    for (const auto& failure : walk.failures) {
        ADD_FAILURE() << failure;
    }
}

const Shot& shotNamed(std::string_view view, std::string_view state) {
    for (const Shot& shot : shots()) {
        if (shot.view == view && shot.state == state) {
            return shot;
        }
    }
    throw std::runtime_error("no shot " + std::string(view) + "-" + std::string(state));
}

// The focus stays where a keyboard user left it: on `control`, under its key, on what stands in
// for it, or on what holds it.
bool keptOn(const QWidget* focus, const QString& key, const std::vector<QPointer<QWidget>>& holders,
            const QWidget* control) {
    return focus != nullptr && (focus == control || (!key.isEmpty() && focusKey(focus) == key) ||
                                focus->property("vaskStandsInFor").toStringList().contains(key) ||
                                std::find(holders.begin(), holders.end(), focus) != holders.end());
}

// What changes while a control has the focus, whoever changes it: the keyring answering, an
// answer arriving, a sync ending, "Catch me up" asking in a chat of its own, the chat shown
// deleted. Each case focuses a
// control of a window state as Tab would, presses it by the keyboard (or not), lets the state
// change, and then says where the focus must be; a second Return there presses nothing else.
TEST(KeyboardWalkStateChangeTest, TheFocusStaysWhereTheNextKeyActsOnWhatHadIt) {
    using Scene = screenshots::Scene;
    struct Case {
        const char* view;
        const char* state;
        const char* control;
        // Pressed by Return before the change.
        bool pressed;
        std::function<void(Scene&)> before;
        std::function<void(QWidget*, Scene&)> change;
        // Where the focus is to be after it: empty, where it was (see keptOn).
        const char* focusOn;
        std::function<void(Scene&)> check;
    };
    const std::string typed = "Did Maya say which restaurant?";
    std::string shownBefore;
    const auto chatOf = [](Scene& scene) { return scene.root->chatViewModel(); };
    const std::vector<Case> cases = {
        {"settings",
         "keyring-not-answering",
         "settings-try-keyring-again-button",
         true,
         [](Scene& scene) {
             std::dynamic_pointer_cast<InMemorySecretBackend>(scene.root->secretBackend())
                 ->clearFailures();
         },
         {},
         "settings-account-line",
         [](Scene& scene) {
             EXPECT_FALSE(scene.root->contactsSyncViewModel()->isBusy.get()) << "contacts synced";
         }},
        {"settings",
         "synced-by-keyboard",
         "contacts-sync-button",
         true,
         {},
         [](QWidget*, Scene& scene) {
             for (int turn = 0; turn < 1000 && scene.root->contactsSyncViewModel()->isBusy.get();
                  ++turn) {
                 std::this_thread::sleep_for(std::chrono::milliseconds(5));
                 scene.drain();
             }
         },
         nullptr,
         {}},
        {"main",
         "conversation",
         "chatComposer",
         false,
         {},
         [&](QWidget*, Scene& scene) {
             auto chat = chatOf(scene);
             ChatMessage question;
             question.id = Uuid::random();
             question.role = ChatRole::user;
             question.text = "And the cabin?";
             question.timestamp = std::chrono::system_clock::now();
             chat->commitTurn(question, Uuid::random(), "Friday at six.", false, std::nullopt, {},
                              std::nullopt, chat->currentSessionID.get());
         },
         nullptr,
         {}},
        {"main", "awaiting-selected", "awaiting.moreActions", false,
         [&](Scene& scene) {
             shownBefore = chatOf(scene)->currentSessionID.get();
             chatOf(scene)->inputText.set(typed);
         },
         [](QWidget* window, Scene&) {
             // As Return on the menu's item: the menu closes, then the action runs.
             auto* catchUp = window->findChild<QAction*>("awaiting.catchUp");
             ASSERT_NE(catchUp, nullptr);
             catchUp->trigger();
         },
         "chatComposer",
         [&](Scene& scene) {
             auto chat = chatOf(scene);
             EXPECT_NE(chat->currentSessionID.get(), shownBefore) << "asked in its own chat";
             EXPECT_EQ(chat->inputText.get(), "");
             chat->switchSession(shownBefore);
             EXPECT_EQ(chat->inputText.get(), typed) << "the question typed was thrown away";
         }},
        // The chat shown deleted (the sidebar's Delete Chat, confirmed) while the user types in
        // it: the composer keeps the focus, and holds the next chat's own text, never the
        // deleted one's.
        {"main", "conversation", "chatComposer", false,
         [&](Scene& scene) {
             auto chat = chatOf(scene);
             shownBefore = chat->currentSessionID.get();
             chat->switchSession("s-2");
             chat->inputText.set("typed in the birthday chat");
             chat->switchSession(shownBefore);
             chat->inputText.set(typed);
         },
         [&](QWidget*, Scene& scene) {
             auto chat = chatOf(scene);
             chat->deleteSession(shownBefore);
             EXPECT_EQ(chat->inputText.get(), "") << "the deleted chat's text moved on";
         },
         nullptr,
         [&](Scene& scene) {
             auto chat = chatOf(scene);
             ASSERT_NE(chat->currentSessionID.get(), shownBefore);
             for (const auto& session : chat->sessions.get()) {
                 for (const auto& message : session->messages) {
                     EXPECT_NE(message.text, typed) << "Return sent the deleted chat's text";
                 }
             }
             chat->switchSession("s-2");
             EXPECT_EQ(chat->inputText.get(), "typed in the birthday chat");
         }},
        // The keyring opened by another client while a question it refused is in view, the
        // focus on the row's Unlock Keyring: Vask follows the keyring, the question is asked,
        // and the button gone, the focus is in the composer, which stands in for it.
        {"main", "keyring-locked-question", "chatErrorAction", false,
         [](Scene&) {
             // A question was asked earlier in this run: the plan is not looked up again.
             *ChatViewModel::processTierSnapshotFlag() = true;
         },
         [&](QWidget*, Scene& scene) {
             std::dynamic_pointer_cast<InMemorySecretBackend>(scene.root->secretBackend())
                 ->clearFailures();
             // As the keyring's follower does at its next look.
             bool answered = false;
             scene.root->askKeyringAgain([&answered] { answered = true; });
             auto chat = chatOf(scene);
             for (int turn = 0; turn < 2000 && (!answered || chat->isSending()); ++turn) {
                 std::this_thread::sleep_for(std::chrono::milliseconds(5));
                 scene.drain();
             }
             ASSERT_TRUE(answered);
             ASSERT_FALSE(chat->isSending());
         },
         "chatComposer",
         [&](Scene& scene) {
             auto chat = chatOf(scene);
             EXPECT_FALSE(chat->keyringLocked.get());
             const auto* failed = chat->state.get().asFailed();
             ASSERT_NE(failed, nullptr) << "the stand-in helper gives no answer";
             EXPECT_NE(failed->error, ChatViewModel::keyringLockedText)
                 << "the refused question was never asked";
         }},
    };
    for (const auto& c : cases) {
        const std::string where = std::string(c.view) + "-" + c.state;
        SCOPED_TRACE(where);
        const ShownShot shown(shotNamed(c.view, c.state), scratch());
        QWidget* window = shown.widget();
        activate(window);
        if (c.before) {
            c.before(shown.scene());
        }
        auto* control = window->findChild<QWidget*>(c.control);
        ASSERT_NE(control, nullptr);
        control->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(control->hasFocus());
        const QString key = focusKey(control);
        std::vector<QPointer<QWidget>> holders;
        for (QWidget* w = control->parentWidget(); w != nullptr && w != window;
             w = w->parentWidget()) {
            holders.emplace_back(w);
        }
        {
            const WindowCloser closer(window);
            if (c.pressed) {
                sendKey(control, Qt::Key_Return);
            }
            if (c.change) {
                c.change(window, shown.scene());
            }
            shown.scene().drain();
            screenshots::settle();
        }
        QWidget* focus = window->focusWidget();
        if (c.focusOn != nullptr) {
            EXPECT_EQ(nameOf(focus), c.focusOn);
        } else {
            EXPECT_TRUE(keptOn(focus, key, holders, control))
                << "the focus is on " << nameOf(focus);
        }
        // A second Return where the focus is presses nothing but what has it.
        std::map<QAbstractButton*, int> pressed;
        for (auto* button : window->findChildren<QAbstractButton*>()) {
            QObject::connect(button, &QAbstractButton::clicked, window,
                             [&pressed, button] { ++pressed[button]; });
        }
        auto chat = shown.scene().root->chatViewModel();
        const std::size_t sessionsBefore = chat->sessions.get().size();
        const std::string currentBefore = chat->currentSessionID.get();
        {
            const WindowCloser closer(window);
            sendKey(QApplication::focusWidget(), Qt::Key_Return);
            shown.scene().drain();
            screenshots::settle();
        }
        for (const auto& [button, count] : pressed) {
            EXPECT_TRUE(count == 0 || button == focus) << nameOf(button) << " pressed";
        }
        EXPECT_EQ(chat->sessions.get().size(), sessionsBefore) << "a chat was started";
        EXPECT_EQ(chat->currentSessionID.get(), currentBefore) << "another chat was shown";
        if (c.check) {
            c.check(shown.scene());
        }
    }
}

std::string shotName(const ::testing::TestParamInfo<int>& info) {
    const Shot& shot = shots()[static_cast<std::size_t>(info.param)];
    std::string name = std::string(shot.view) + "_" + shot.state;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(EveryWindowState, KeyboardWalkTest,
                         ::testing::Range(0, static_cast<int>(shots().size())), shotName);

}  // namespace
}  // namespace vask::ui
