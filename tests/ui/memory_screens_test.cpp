#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include "memory/memory_settings_navigation.h"
#include "platform/manual_executor.h"
#include "support/temp_dir.h"
#include "ui/memory/memory_manager_view.h"
#include "ui/memory/memory_settings_panel.h"

namespace vask::ui {
namespace {

struct MemoryFixture {
    ~MemoryFixture() {
        panel.reset();
        drain();
    }
    MemoryAssociation save(const std::string& term, const std::string& definition) {
        return store->createAssociation(*principal, term, definition,
                                        MemoryProvenance::explicitlySaved, Uuid::random(), ++now);
    }
    void drain() {
        for (int i = 0; i < 50 && (main.runUntilIdle() + worker.runUntilIdle()) > 0; ++i) {
        }
    }
    std::vector<std::string> storedTerms() {
        std::vector<std::string> terms;
        for (const auto& a : store->activeAssociations(*principal)) {
            terms.push_back(a.term);
        }
        return terms;
    }
    MemoryManagerView* openManager() {
        panel->findChild<QPushButton*>("manage-memory-button")->click();
        drain();
        return panel->manager();
    }

    test::TempDir dir;
    ManualExecutor main;
    ManualExecutor worker;
    std::shared_ptr<MemoryStore> store =
        std::make_shared<MemoryStore>(dir / "memory.db", MemoryStoreChanges::make());
    std::shared_ptr<MemoryAuthorizationGate> gate = std::make_shared<MemoryAuthorizationGate>();
    std::optional<MemoryPrincipal> principal = MemoryPrincipal::make("user-1");
    std::shared_ptr<MemorySettingsViewModel> viewModel = MemorySettingsViewModel::make(
        main, worker, store, [this] { return principal; }, gate,
        StructuredLogger("memory-settings"));
    MemorySettingsNavigation navigation;
    std::vector<bool> answers;  // what the user answers each confirmation, in turn
    std::vector<QString> asked;
    std::unique_ptr<MemorySettingsPanel> panel = std::make_unique<MemorySettingsPanel>(
        viewModel, navigation, [this] { return principal; },
        [this](QWidget*, const Confirmation& c) {
            asked.push_back(c.title);
            const bool answer = !answers.empty() && answers.front();
            if (!answers.empty()) {
                answers.erase(answers.begin());
            }
            return answer;
        });
    std::int64_t now = 0;
};

TEST(MemoryScreensTest, PanelSummarisesTheSavedAssociations) {
    MemoryFixture f;
    f.save("Mum", "Helen");
    f.save("Sam", "Manager");
    f.panel->show();
    f.drain();
    EXPECT_EQ(f.panel->findChild<QLabel*>("memory-summary")->text(), "2 saved associations");
    EXPECT_TRUE(f.panel->findChild<QPushButton*>("manage-memory-button")->isEnabled());

    // Signed out: no principal, nothing to manage.
    f.principal.reset();
    f.panel->render();
    f.drain();
    EXPECT_EQ(f.panel->findChild<QLabel*>("memory-summary")->text(), "Memory unavailable");
    EXPECT_FALSE(f.panel->findChild<QPushButton*>("manage-memory-button")->isEnabled());
}

TEST(MemoryScreensTest, ForgetNeedsTheConfirmation) {
    MemoryFixture f;
    const auto mum = f.save("Mum", "Helen");
    f.save("Sam", "Manager");
    f.panel->show();
    f.drain();
    auto* manager = f.openManager();
    ASSERT_TRUE(manager);
    auto* forget = manager->findChild<QPushButton*>(
        QString::fromStdString("forget-memory-" + mum.id.lowercaseString()));
    ASSERT_TRUE(forget);

    f.answers = {false};
    forget->click();
    f.drain();
    EXPECT_EQ(f.storedTerms(), (std::vector<std::string>{"Mum", "Sam"}));

    f.answers = {true};
    manager
        ->findChild<QPushButton*>(
            QString::fromStdString("forget-memory-" + mum.id.lowercaseString()))
        ->click();
    f.drain();
    EXPECT_EQ(f.storedTerms(), (std::vector<std::string>{"Sam"}));
    EXPECT_EQ(f.asked,
              (std::vector<QString>{"Forget this association?", "Forget this association?"}));
}

TEST(MemoryScreensTest, ForgetAllIsConfirmedAndDisabledOnAnEmptyList) {
    MemoryFixture f;
    f.save("Mum", "Helen");
    f.panel->show();
    f.drain();
    auto* manager = f.openManager();
    auto* forgetAll = manager->findChild<QPushButton*>("forget-all-memory-button");
    ASSERT_TRUE(forgetAll->isEnabled());
    f.answers = {true};
    forgetAll->click();
    f.drain();
    EXPECT_TRUE(f.storedTerms().empty());
    EXPECT_FALSE(forgetAll->isEnabled());
    // And it looks it: its red is for an action that can be taken.
    const QColor enabled = forgetAll->palette().color(QPalette::Active, QPalette::ButtonText);
    const QColor disabled = forgetAll->palette().color(QPalette::Disabled, QPalette::ButtonText);
    EXPECT_EQ(enabled, errorRed().colour());
    EXPECT_NE(disabled, errorRed().colour());
    EXPECT_LT(disabled.alphaF(), 0.5) << "faded like every disabled text";
}

TEST(MemoryScreensTest, SaveIsDisabledPastTheByteLimitAndSavesTheTypedText) {
    MemoryFixture f;
    const auto mum = f.save("Mum", "Helen");
    f.panel->show();
    f.drain();
    auto* manager = f.openManager();
    manager
        ->findChild<QPushButton*>(QString::fromStdString("edit-memory-" + mum.id.lowercaseString()))
        ->click();
    auto* sheet = manager->editSheet();
    ASSERT_TRUE(sheet);
    auto* term = sheet->findChild<QLineEdit*>("memory-term-field");
    auto* definition = sheet->findChild<QPlainTextEdit*>("memory-definition-field");
    auto* save = sheet->findChild<QPushButton*>("save-memory-edit-button");

    struct Case {
        QString term;
        QString definition;
        bool enabled;
    };
    const std::vector<Case> cases = {
        {QString(256, 'a'), "d", true},
        {QString(257, 'a'), "d", false},
        {"t", QString(4096, 'b'), true},
        {"t", QString(4097, 'b'), false},
        {"   ", "d", false},
        {"Mother", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.term.size());
        term->setText(c.term);
        definition->setPlainText(c.definition);
        EXPECT_EQ(save->isEnabled(), c.enabled);
    }

    term->setText("  Mother ");
    definition->setPlainText("Helen Ward");
    save->click();
    EXPECT_FALSE(save->isEnabled());  // while saving
    f.drain();
    EXPECT_EQ(f.storedTerms(), (std::vector<std::string>{"Mother"}));
    EXPECT_FALSE(sheet->isVisible());
}

TEST(MemoryScreensTest, AManagerRequestWaitsUntilMemoryIsAvailable) {
    MemoryFixture f;
    const auto request = Uuid::random();
    f.principal.reset();
    f.navigation.managerRequestID.set(request);
    f.panel->show();
    f.drain();
    EXPECT_FALSE(f.panel->manager());
    EXPECT_EQ(f.navigation.managerRequestID.get(), request);

    f.panel->hide();
    f.principal = MemoryPrincipal::make("user-1");
    f.panel->show();
    f.drain();
    EXPECT_TRUE(f.panel->manager());
    EXPECT_FALSE(f.navigation.managerRequestID.get());
}

// Private Memory's Tab follows the window as it reads: Done, the list, each row's Edit and
// Forget, then Forget All at the bottom. After Forget (confirmed in a box of its own, which takes
// the window's activation while it is up) and after Edit then Save, the focus is in the list:
// on the row's Edit, or on the list where the forgotten row was; never on Done, whose Return
// would close the window.
TEST(MemoryScreensTest, TheFocusStaysInTheListAfterForgetAndSave) {
    MemoryFixture f;
    const auto mum = f.save("Mum", "Helen");
    const auto sam = f.save("Sam", "Manager");
    f.panel->show();
    f.drain();
    auto* manager = f.openManager();
    ASSERT_TRUE(manager);
    QApplication::setActiveWindow(manager);
    QApplication::processEvents();
    const auto named = [&](const std::string& name) {
        return manager->findChild<QPushButton*>(QString::fromStdString(name));
    };
    auto* done = manager->findChild<QPushButton*>("memory-done-button");
    ASSERT_TRUE(done);
    std::vector<std::string> order;
    QWidget* stop = done;
    for (int i = 0; i < 6; ++i) {
        order.push_back(stop->objectName().toStdString());
        do {
            stop = stop->nextInFocusChain();
        } while ((stop->focusPolicy() & Qt::TabFocus) == 0);
    }
    // Sorted by term, as the list shows them.
    const std::string mumEdit = "edit-memory-" + mum.id.lowercaseString();
    const std::string mumForget = "forget-memory-" + mum.id.lowercaseString();
    const std::string samEdit = "edit-memory-" + sam.id.lowercaseString();
    const std::string samForget = "forget-memory-" + sam.id.lowercaseString();
    const auto rowsFirst = order[2] == mumEdit
                               ? std::vector<std::string>{mumEdit, mumForget, samEdit, samForget}
                               : std::vector<std::string>{samEdit, samForget, mumEdit, mumForget};
    EXPECT_EQ(order, (std::vector<std::string>{"memory-done-button", "memory-list", rowsFirst[0],
                                               rowsFirst[1], rowsFirst[2], rowsFirst[3]}));
    EXPECT_EQ(stop->objectName(), "forget-all-memory-button");

    // A confirmation box of its own is active while it asks.
    QWidget box;
    box.resize(100, 40);
    const auto confirmedInABox = [&](QWidget*, const Confirmation&) {
        box.show();
        QApplication::setActiveWindow(&box);
        return true;
    };
    const auto backFromTheBox = [&] {
        f.drain();
        box.hide();
        QApplication::processEvents();
        QApplication::setActiveWindow(manager);
        QApplication::processEvents();
    };
    const auto focusName = [] {
        QWidget* focus = QApplication::focusWidget();
        return focus ? focus->objectName().toStdString() : std::string("nothing");
    };

    // Forget, confirmed.
    f.panel.reset();
    f.panel = std::make_unique<MemorySettingsPanel>(
        f.viewModel, f.navigation, [&f] { return f.principal; }, confirmedInABox);
    f.panel->show();
    f.drain();
    manager = f.openManager();
    ASSERT_TRUE(manager);
    QApplication::setActiveWindow(manager);
    QApplication::processEvents();
    named(mumForget)->setFocus();
    ASSERT_EQ(focusName(), mumForget);
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
    QKeyEvent spaceUp(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, " ");
    QApplication::sendEvent(named(mumForget), &space);
    QApplication::sendEvent(named(mumForget), &spaceUp);
    backFromTheBox();
    EXPECT_EQ(f.storedTerms(), (std::vector<std::string>{"Sam"}));
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr) << "nothing has the focus";
    EXPECT_EQ(focus->window(), manager);
    EXPECT_NE(focus->objectName(), "memory-done-button") << "the focus fell to Done";
    EXPECT_TRUE(focus->objectName() == "memory-content" ||
                manager->findChild<QWidget*>("memory-content")->isAncestorOf(focus))
        << focusName();

    // Edit, then Save in the edit sheet.
    named(samEdit)->setFocus();
    ASSERT_EQ(focusName(), samEdit);
    QApplication::sendEvent(named(samEdit), &space);
    QApplication::sendEvent(named(samEdit), &spaceUp);
    auto* sheet = manager->editSheet();
    ASSERT_TRUE(sheet);
    QApplication::setActiveWindow(sheet);
    QApplication::processEvents();
    sheet->findChild<QPlainTextEdit*>()->setPlainText("Team lead");
    for (auto* button : sheet->findChildren<QPushButton*>()) {
        if (button->text() == "Save") {
            button->click();
        }
    }
    f.drain();
    QApplication::setActiveWindow(manager);
    QApplication::processEvents();
    EXPECT_EQ(focusName(), samEdit);
    EXPECT_TRUE(manager->isVisible());
}

}  // namespace
}  // namespace vask::ui

namespace vask::ui {
namespace {

// On a 1024x600 screen at twice the scale (512x300 logical) Private Memory is narrower than it
// would like: its sentences wrap inside the window, each shown whole, none cut at its edge.
TEST(MemoryScreensTest, PrivateMemorysSentencesWrapOnASmallScreenAtTwiceTheScale) {
    MemoryFixture f;
    f.panel->show();
    f.drain();
    MemoryManagerView* manager = f.openManager();
    ASSERT_NE(manager, nullptr);
    manager->fitToArea({512, 300});
    f.drain();
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QApplication::processEvents();
    }
    ASSERT_LE(manager->width(), 512);
    const QStringList sentences = {"Review or change associations Vask can use in later chats.",
                                   "Ask Vask to remember something and it will appear here."};
    for (const QString& sentence : sentences) {
        SCOPED_TRACE(sentence.toStdString());
        QLabel* shown = nullptr;
        for (auto* label : manager->findChildren<QLabel*>()) {
            shown = label->text() == sentence ? label : shown;
        }
        ASSERT_NE(shown, nullptr);
        ASSERT_TRUE(shown->isVisibleTo(manager));
        const QRect at(shown->mapTo(manager, QPoint(0, 0)), shown->size());
        EXPECT_LE(at.right(), manager->width() - 1) << "cut at the window's edge";
        EXPECT_GE(at.left(), 0);
        // Whole: in as many lines as its width takes, or on one line as wide as the sentence.
        if (shown->wordWrap()) {
            EXPECT_GE(shown->height(), shown->heightForWidth(shown->width()));
        } else {
            EXPECT_GE(shown->width(), shown->fontMetrics().horizontalAdvance(sentence));
        }
    }
    manager->close();
}

}  // namespace
}  // namespace vask::ui
