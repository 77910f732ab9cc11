#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>

#include <gtest/gtest.h>

#include <algorithm>

#include "app/window_sources.h"
#include "platform/in_memory_secret_backend.h"
#include "platform/iso8601.h"
#include "shell/app_dependencies.h"
#include "shell/window_coordinator.h"
#include "sources/vcard_contact_store.h"
#include "support/app_root_fixture.h"
#include "support/eventually.h"
#include "support/log_capture.h"
#include "support/recording_opener.h"
#include "ui/keyboard.h"
#include "ui/main_window/session_sidebar.h"
#include "ui/memory/memory_manager_view.h"
#include "ui/memory/memory_settings_panel.h"
#include "ui/settings/account_settings_panel.h"
#include "ui/settings/billing_settings_panel.h"
#include "ui/settings/contacts_settings_panel.h"
#include "ui/settings/form_parts.h"
#include "ui/settings/proactive_surfaces_panel.h"
#include "ui/window_fit.h"
#include "ui/window_registry.h"

namespace vask::ui {
namespace {

// Settings over a root of its own. Plan loads never run (their worker is never drained): each
// test sets the figures it needs.
struct SettingsFixture : test::AppRootFixture {
    // The secrets are the root's own, kept here so a test can make them fail.
    explicit SettingsFixture(std::shared_ptr<InMemorySecretBackend> secretStore =
                                 std::make_shared<InMemorySecretBackend>())
        : AppRootFixture({.instance = "VaskSettingsTest", .secrets = secretStore}),
          secrets(std::move(secretStore)) {
        root->windowCoordinator().closeMain = [this] { ++mainClosed; };
        root->windowCoordinator().openOnboarding = [this] { ++onboardingOpened; };
    }
    ~SettingsFixture() {
        window.reset();
        drain();
    }

    // `screen`: the available area of the screen it opens on, in logical pixels; none: the
    // test platform's.
    void open(UrlOpener* opener = nullptr, Extent screen = {}) {
        SettingsWindowHooks hooks;
        hooks.urlOpener = opener;
        hooks.refreshChatCredentials = {[this] { ++credentialRefreshes; }};
        hooks.makeBillingViewModel = [this] {
            return BillingViewModel::make({
                .service = root->billingService(),
                .authModeProvider = [this] { return root->authMode(); },
                .catalogService = root->presetCatalogService(),
                .tokenRefresh = root->tokenRefreshCoordinator(),
                .defaults = defaults,
                .main = main,
                .worker = idleWorker,
                .usageChanges = usageChanges,
            });
        };
        window =
            std::make_unique<SettingsWindow>(settingsWindowDependencies(*root, std::move(hooks)));
        if (screen.height > 0) {
            fitToArea(window.get(), {SettingsWindow::width, SettingsWindow::height},
                      {SettingsWindow::width, SettingsWindow::minimumHeight},
                      {SettingsWindow::width, SettingsWindow::height}, screen);
        }
        window->show();
        drain();
    }
    std::vector<std::string> visibleSections() const {
        std::vector<std::string> titles;
        const std::pair<QWidget*, const char*> sections[] = {
            {window->findChild<AccountSettingsPanel*>(), "account"},
            {window->findChild<BillingSettingsPanel*>(), "plan"},
            {window->findChild<ContactsSettingsPanel*>(), "contacts"},
            {window->findChild<MemorySettingsPanel*>(), "memory"},
            {window->findChild<ProactiveSurfacesPanel*>(), "proactive"},
        };
        for (const auto& [widget, name] : sections) {
            if (widget && widget->isVisibleTo(window.get())) {
                titles.push_back(name);
            }
        }
        return titles;
    }

    // An account stored and noted as signed in, that the keyring holds back as `status`.
    void storeAccountHeldBack(SecretBackend::Status status) {
        const auto service = root->keychain().service();
        secrets->put(service, std::string(CustomerTokenStore::defaultTokenKey), "tok");
        secrets->put(service, "corvane.customer.email", "ada@example.com");
        secrets->put(service, std::string(CloudAuthStore::defaultKey),
                     CloudAuthSession{"acc", "ref", *parseISO8601("2030-01-01T00:00:00Z"), "user-1",
                                      "ada@example.com"}
                         .encoded());
        root->signInRecord().noteSignedIn();
        secrets->fail(InMemorySecretBackend::Operation::copyMatching,
                      std::string(CustomerTokenStore::defaultTokenKey), status,
                      "held back by the keyring");
        root->resetAuthMode();
    }
    bool visible(const char* object) const {
        auto* button = window->findChild<QPushButton*>(object);
        return button != nullptr && button->isVisibleTo(window.get());
    }
    // The account row's text.
    std::string accountText() const {
        for (auto* label : window->findChild<AccountSettingsPanel*>()->findChildren<QLabel*>()) {
            if (label->isVisibleTo(window.get()) && !label->text().isEmpty() &&
                label->text() != "Account") {
                return label->text().toStdString();
            }
        }
        return std::string();
    }
    std::string memorySummary() const {
        return window->memoryPanel()->findChild<QLabel*>("memory-summary")->text().toStdString();
    }

    std::shared_ptr<InMemorySecretBackend> secrets;
    ManualExecutor idleWorker;
    UsageChanges usageChanges{0};
    std::unique_ptr<SettingsWindow> window;
    int credentialRefreshes = 0;
    int mainClosed = 0;
    int onboardingOpened = 0;
};

// Signed out, the account section is the way back in (where there is no tray, the only one):
// "Not signed in" and "Sign In…", which opens onboarding's sign-in.
TEST(SettingsWindowTest, SignedOutOffersSignInAboveContactsMemoryAndProactive) {
    SettingsFixture f;
    f.open();
    EXPECT_EQ(f.visibleSections(),
              (std::vector<std::string>{"account", "contacts", "memory", "proactive"}));
    auto* signIn = f.window->findChild<QPushButton*>("sign-in-button");
    ASSERT_NE(signIn, nullptr);
    EXPECT_TRUE(signIn->isVisibleTo(f.window.get()));
    EXPECT_FALSE(f.window->findChild<QPushButton*>("sign-out-button")->isVisibleTo(f.window.get()));
    signIn->click();
    EXPECT_EQ(f.onboardingOpened, 1);
}

// The window opens within the screen's available area with its frame (the form scrolls; how it
// fits a smaller screen is `WindowFitTest`'s), and the user may make it smaller still.
TEST(SettingsWindowTest, OpensWithinTheScreenAndCanBeMadeSmaller) {
    SettingsFixture f;
    f.open();
    const QWidget& window = *f.window;
    const QRect available = window.screen()->availableGeometry();
    EXPECT_LE(window.height() + windowDecoration.height, available.height());
    EXPECT_LE(window.maximumHeight() + windowDecoration.height, available.height());
    EXPECT_EQ(window.width(), SettingsWindow::width);
    EXPECT_LT(window.minimumHeight(), window.height());
}

TEST(SettingsWindowTest, EscapeFromAnyControlClosesIt) {
    SettingsFixture f;
    f.open();
    auto* control = f.window->findChildren<QWidget*>().back();
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(control, &escape);
    EXPECT_FALSE(f.window->isVisible());
}

// Whatever the permission state, every text of the Contacts card has the height its lines need
// (none cut at the top or bottom), and no button is shown that has nothing to do.
TEST(SettingsWindowTest, ContactsCardTextsAreWholeInEveryState) {
    using State = ContactsAuthorizationState;
    for (const auto state :
         {State::notDetermined, State::denied, State::restricted, State::authorized}) {
        SCOPED_TRACE(static_cast<int>(state));
        SettingsFixture f;
        f.signIn();
        f.root->contactsSyncViewModel()->authorizationState.set(state);
        f.root->contactsSyncViewModel()->lastError.set("Contacts permission was not granted.");
        f.open();
        auto* panel = f.window->findChild<ContactsSettingsPanel*>();
        for (auto* label : panel->findChildren<QLabel*>()) {
            if (!label->isVisibleTo(f.window.get()) || !label->wordWrap()) {
                continue;
            }
            EXPECT_GE(label->height(), label->heightForWidth(label->width()))
                << label->text().toStdString();
        }
        for (auto* button : panel->findChildren<QPushButton*>()) {
            if (button->isVisibleTo(f.window.get())) {
                EXPECT_FALSE(button->text().isEmpty());
            }
        }
    }
}

TEST(SettingsWindowTest, SignedInShowsEverySectionAccountFirst) {
    SettingsFixture f;
    f.signIn();
    f.open();
    EXPECT_EQ(f.visibleSections(),
              (std::vector<std::string>{"account", "plan", "contacts", "memory", "proactive"}));
    // The plan section's appearance started one load.
    EXPECT_EQ(f.window->billingViewModel()->state.get().kind(), BillingState::Kind::loading);
}

TEST(SettingsWindowTest, SigningOutHidesThePlanOffersSignInAndOpensOnboarding) {
    SettingsFixture f;
    f.signIn();
    f.open();
    f.window->findChild<QPushButton*>("sign-out-button")->click();
    // The credentials are removed on the worker; the window follows when that is done.
    EXPECT_EQ(f.onboardingOpened, 0);
    f.drain();
    EXPECT_EQ(f.visibleSections(),
              (std::vector<std::string>{"account", "contacts", "memory", "proactive"}));
    EXPECT_TRUE(f.window->findChild<QPushButton*>("sign-in-button")->isVisibleTo(f.window.get()));
    EXPECT_FALSE(f.window->isVisible());
    EXPECT_EQ(f.credentialRefreshes, 1);
    EXPECT_EQ(f.mainClosed, 1);
    EXPECT_EQ(f.onboardingOpened, 1);
}

TEST(SettingsWindowTest, AFailedSignOutKeepsSettingsOpenWithItsMessage) {
    SettingsFixture f;
    f.signIn();
    f.open();
    f.secrets->fail(InMemorySecretBackend::Operation::remove,
                    std::string(CustomerTokenStore::defaultTokenKey), SecretBackend::notAvailable);
    f.window->findChild<QPushButton*>("sign-out-button")->click();
    f.drain();

    EXPECT_TRUE(f.window->isVisible());
    ASSERT_TRUE(f.window->signOutError());
    EXPECT_TRUE(f.window->signOutError()->startsWith("Failed to sign out: "));
    EXPECT_EQ(f.mainClosed, 0);
    EXPECT_EQ(f.onboardingOpened, 0);
    EXPECT_EQ(f.credentialRefreshes, 1);
    // The message is in view, wherever the account row is.
    bool shown = false;
    for (auto* label : f.window->findChildren<QLabel*>()) {
        shown |= label->isVisibleTo(f.window.get()) && label->text() == *f.window->signOutError();
    }
    EXPECT_TRUE(shown);
}

TEST(SettingsWindowTest, TheStyleSwitchFollowsTheMasterSwitchUnderScopedKeys) {
    SettingsFixture f;
    f.open();
    auto* master = f.window->findChild<QCheckBox*>("proactive-surfaces-toggle");
    auto* persona = f.window->findChild<QCheckBox*>("persona-drafts-toggle");
    EXPECT_FALSE(master->isChecked());
    EXPECT_TRUE(persona->isChecked());
    EXPECT_FALSE(persona->isEnabled());
    master->click();
    EXPECT_TRUE(persona->isEnabled());
    EXPECT_EQ(
        f.defaults.boolValue(f.root->instanceScopedKey("showProactiveSurfaces")).valueOr(false),
        true);
    EXPECT_FALSE(f.defaults.boolValue("showProactiveSurfaces").isPresent());
}

TEST(SettingsWindowTest, PlanRowsFollowTheLoadedFigures) {
    SettingsFixture f;
    f.signIn();
    f.open();
    auto* panel = f.window->billingPanel();
    ManagedBillingInfo plan;
    plan.tierDisplayName = "Pro";
    plan.priceAmountCents = 999;
    plan.priceInterval = "month";
    plan.percentageUsed = 80.5;
    f.window->billingViewModel()->state.set(BillingState::loaded(plan));
    EXPECT_EQ(panel->findChild<QLabel*>("plan-name")->text(), "Vask Pro");
    EXPECT_EQ(panel->findChild<QLabel*>("plan-price")->text(), "$9.99/month");
    EXPECT_EQ(panel->findChild<QLabel*>("usage-copy")->text(),
              "You\u2019ve used 81% of this month\u2019s included usage.");
    EXPECT_TRUE(panel->findChild<QPushButton*>("manage-subscription-link"));
    EXPECT_TRUE(panel->findChild<QWidget*>("refresh-plan-button")->isVisibleTo(panel));

    f.window->billingViewModel()->state.set(BillingState::loading());
    EXPECT_FALSE(panel->findChild<QWidget*>("refresh-plan-button")->isVisibleTo(panel));
}

// Tab goes through the form in reading order, the plan's rows drawn once its figures came
// included ("Manage Subscription" within the plan, before Contacts and Proactive), and never
// stops on the scroll area, whose focus would be drawn outside the window.
TEST(SettingsWindowTest, TabFollowsTheReadingOrderOfTheForm) {
    SettingsFixture f;
    f.signIn();
    f.open();
    ManagedBillingInfo plan;
    plan.tierDisplayName = "Pro";
    plan.priceAmountCents = 999;
    plan.priceInterval = "month";
    f.window->billingViewModel()->state.set(BillingState::loaded(plan));
    QApplication::processEvents();
    std::vector<QWidget*> stops;
    QWidget* window = f.window.get();
    for (QWidget* next = window->nextInFocusChain(); next != window;
         next = next->nextInFocusChain()) {
        if ((next->focusPolicy() & Qt::TabFocus) && next->isVisibleTo(window) &&
            next->isEnabled()) {
            stops.push_back(next);
        }
    }
    const auto at = [&](const char* name) {
        const auto found = std::find_if(stops.begin(), stops.end(),
                                        [name](QWidget* w) { return w->objectName() == name; });
        EXPECT_NE(found, stops.end()) << name;
        return found - stops.begin();
    };
    EXPECT_LT(at("sign-out-button"), at("manage-subscription-link"));
    EXPECT_LT(at("manage-subscription-link"), at("proactive-surfaces-toggle"));
    for (QWidget* stop : stops) {
        EXPECT_EQ(qobject_cast<QScrollArea*>(stop), nullptr) << "the scroll area is a Tab stop";
    }
}

// Space on a control its section rebuilds, pressed again by a user unsure the first took: the
// focus waits in the section while the control cannot take it (Sync Now while syncing, Refresh
// while the plan loads) and is on the rebuilt control once it can, never on another section's
// (Memory's "Manage…", whose Space would open the Private Memory window).
TEST(SettingsWindowTest, SpaceOnARebuiltControlKeepsTheFocusThere) {
    struct Case {
        const char* name;
        const char* control;
        // What ends the control's work.
        std::function<void(SettingsFixture&)> finish;
        // The control with the focus then: the rebuilt one, or the one that stands for it.
        const char* focused;
        bool contactsFolder = true;
    };
    ManagedBillingInfo plan;
    plan.tierDisplayName = "Pro";
    // Until the sync has ended; one asked again runs on the contacts engine's own thread.
    const auto drain = [](SettingsFixture& f) {
        ASSERT_TRUE(test::eventually([&f] {
            f.drain();
            return !f.root->contactsSyncViewModel()->isBusy.get();
        }));
    };
    const std::vector<Case> cases = {
        {"Sync Now", "contacts-sync-button", drain, "contacts-sync-button"},
        {"Sync Now failing: Try Again", "contacts-sync-button", drain, "contacts-access-button",
         false},
        {"Refresh", "refresh-plan-button",
         [&plan](SettingsFixture& f) {
             f.window->billingViewModel()->state.set(BillingState::loaded(plan));
         },
         "refresh-plan-button"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SettingsFixture f;
        f.signIn();
        // Access to the address book (a folder of vCards) was granted.
        if (c.contactsFolder) {
            std::filesystem::create_directories(f.dir / "data" / "contacts");
        }
        f.defaults.set(std::string(vcardFolderKind.accessGrantKey), std::string("authorized"));
        f.root->contactsSyncViewModel()->refreshAuthorization();
        f.open();
        f.window->billingViewModel()->state.set(BillingState::loaded(plan));
        QApplication::setActiveWindow(f.window.get());
        QApplication::processEvents();
        const auto shown = [&](const char* name) -> QWidget* {
            for (auto* widget : f.window->findChildren<QWidget*>(name)) {
                if (widget->isVisibleTo(f.window.get())) {
                    return widget;
                }
            }
            return nullptr;
        };
        ASSERT_NE(shown(c.control), nullptr);
        shown(c.control)->setFocus();
        QWidget* section = shown(c.control)->parentWidget();
        while (qobject_cast<FormSection*>(section) == nullptr) {
            section = section->parentWidget();
        }
        for (int press = 0; press < 2; ++press) {
            for (const auto type : {QEvent::KeyPress, QEvent::KeyRelease}) {
                QKeyEvent event(type, Qt::Key_Space, Qt::NoModifier, " ");
                QApplication::sendEvent(QApplication::focusWidget(), &event);
            }
            ASSERT_NE(QApplication::focusWidget(), nullptr);
            EXPECT_TRUE(section == QApplication::focusWidget() ||
                        section->isAncestorOf(QApplication::focusWidget()))
                << QApplication::focusWidget()->objectName().toStdString();
            c.finish(f);
            QApplication::processEvents();
            ASSERT_NE(QApplication::focusWidget(), nullptr);
            EXPECT_EQ(QApplication::focusWidget()->objectName().toStdString(), c.focused);
            EXPECT_EQ(QApplication::focusWidget(), shown(c.focused));
        }
        for (QWidget* top : QApplication::topLevelWidgets()) {
            EXPECT_FALSE(top->isVisible() && qobject_cast<MemoryManagerView*>(top) != nullptr)
                << "the Private Memory window opened";
        }
    }
}

// Settings opens on its first field, never on Sign Out, which takes effect at once: Space or
// Return on whatever has the focus when it opens signs nobody out.
TEST(SettingsWindowTest, OpensOnItsFirstFieldNotOnSignOut) {
    for (const int key : {Qt::Key_Space, Qt::Key_Return}) {
        SettingsFixture f;
        f.signIn();
        f.open();
        f.window->activateWindow();
        QApplication::processEvents();
        QWidget* focused = f.window->focusWidget();
        ASSERT_NE(focused, nullptr);
        EXPECT_NE(focused->objectName(), "sign-out-button");
        EXPECT_TRUE(focused->isVisibleTo(f.window.get()));
        for (const auto type : {QEvent::KeyPress, QEvent::KeyRelease}) {
            QKeyEvent event(type, key, Qt::NoModifier, key == Qt::Key_Space ? " " : "\r");
            QApplication::sendEvent(focused, &event);
        }
        f.drain();
        EXPECT_EQ(f.onboardingOpened, 0) << key;
        EXPECT_EQ(f.credentialRefreshes, 0) << key;
    }
}

// On a short screen at a large scale (1024x600 at twice the scale: 512x300) the form does not
// fit: the control Settings opens with the focus on is in view, ring and all, signed in (the
// account's only control, Sign Out, is never the first) or out; on a tall one the form opens at
// its top.
TEST(SettingsWindowTest, OpensWithTheFocusOnAControlInView) {
    for (const Extent screen : {Extent{512, 300}, Extent{1366, 736}}) {
        for (const bool signedIn : {true, false}) {
            SCOPED_TRACE(testing::Message() << screen.height << (signedIn ? " signed in" : ""));
            SettingsFixture f;
            if (signedIn) {
                f.signIn();
            }
            f.open(nullptr, screen);
            f.window->activateWindow();
            QApplication::processEvents();
            QWidget* focused = f.window->focusWidget();
            ASSERT_NE(focused, nullptr);
            auto* scroll = f.window->findChild<QScrollArea*>();
            QWidget* viewport = scroll->viewport();
            if (screen.height <= 300) {
                ASSERT_LT(viewport->height(), scroll->widget()->height()) << "the form scrolls";
            }
            const QRect at(focused->mapTo(viewport, QPoint(0, 0)), focused->size());
            EXPECT_TRUE(viewport->rect().contains(at))
                << focused->objectName().toStdString() << " at " << at.top() << ".."
                << at.bottom() << " of " << viewport->height() << " scrolled "
                << scroll->verticalScrollBar()->value() << " of "
                << scroll->verticalScrollBar()->maximum();
            if (screen.height > 300) {
                EXPECT_EQ(scroll->verticalScrollBar()->value(), 0);
            }
        }
    }
}

// A confirmation is wide enough for its title in the desktop's title bar and its text in a few
// lines, and leaves no empty gap where a warning picture would be: with a long message or a short
// one.
TEST(ConfirmationTest, TheBoxIsWideWhateverItsText) {
    for (const QString& message : {QString(SessionSidebar::deleteMessage), QString("Sure?")}) {
        QMessageBox box;
        auto* action = fillConfirmation(box, {.title = "Delete this chat?",
                                              .message = message,
                                              .action = "Delete Chat",
                                              .actionIdentifier = "confirm-delete-chat"});
        box.show();
        QApplication::processEvents();
        EXPECT_GE(box.width(), confirmationWidth) << message.toStdString();
        EXPECT_EQ(action->objectName(), "confirm-delete-chat");
        for (auto* label : box.findChildren<QLabel*>()) {
            if (label->isVisible() && label->text().isEmpty()) {
                EXPECT_FALSE(label->pixmap().isNull()) << "an empty picture's gap";
            }
        }
        box.hide();
    }
}

// "Manage Subscription" with an opener that fails: the plan says what did not open, and says
// it no more once the page opened.
TEST(SettingsWindowTest, AnAccountPageThatDidNotOpenIsSaid) {
    test::RecordingOpener opener;
    opener.opens = false;
    test::LogCapture logs;
    SettingsFixture f;
    f.signIn();
    f.open(&opener);
    ManagedBillingInfo plan;
    plan.tierDisplayName = "Pro";
    plan.priceAmountCents = 999;
    plan.priceInterval = "month";
    f.window->billingViewModel()->state.set(BillingState::loaded(plan));
    auto* panel = f.window->billingPanel();
    const auto failure = [panel] {
        auto* label = panel->findChild<QLabel*>("account-page-failure");
        return label && label->isVisibleTo(panel) ? label->text() : QString();
    };
    panel->findChild<QPushButton*>("manage-subscription-link")->click();
    for (int i = 0; i < 100 && failure().isEmpty(); ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_EQ(failure(), "Couldn't open the account page (nothing on the desktop opens it).");
    ASSERT_EQ(opener.urls.size(), 1U);
    EXPECT_TRUE(opener.urls[0].ends_with("/account")) << opener.urls[0];
    EXPECT_TRUE(logs->contains("url_open_failed"));
    opener.opens = true;
    panel->findChild<QPushButton*>("manage-subscription-link")->click();
    QApplication::processEvents();
    EXPECT_EQ(failure(), QString());
}

// Signed in behind a keyring that is locked (its items out of sight): Settings says so with
// "Unlock", and shows no plan (never "No API key or account configured"). Once the unlock is
// answered (asked here, or from a chat while Settings is open), the same window shows the account
// with "Sign Out" and the plan, without reopening; or, when the keyring no longer holds it,
// "Sign In…". Memory, the account's, says the same of the keyring in place of "Memory
// unavailable" and then shows the account's saved associations, taking the request a chat made
// meanwhile to manage them.
TEST(SettingsWindowTest, TheAccountFollowsTheKeyringFromLockedToUnlocked) {
    struct Case {
        const char* name;
        bool fromSettings;
        bool kept;
    };
    for (const auto& c :
         {Case{"unlocked from Settings", true, true}, Case{"unlocked from a chat", false, true},
          Case{"signed out elsewhere", false, false}}) {
        SCOPED_TRACE(c.name);
        const bool fromSettings = c.fromSettings;
        const bool kept = c.kept;
        SettingsFixture f;
        const auto service = f.root->keychain().service();
        f.root->canonicalMemoryStore()->createAssociation(
            *MemoryPrincipal::make("user-1"), "Mum", "Helen", MemoryProvenance::explicitlySaved,
            Uuid::random(), 1);
        f.storeAccountHeldBack(SecretBackend::interactionNotAllowed);
        f.open();
        const auto request = Uuid::random();
        f.root->memorySettingsNavigation().managerRequestID.set(request);
        f.drain();
        auto* memory = f.window->memoryPanel();
        const auto memorySummary = [&] { return f.memorySummary(); };
        const auto manageEnabled = [&] {
            return memory->findChild<QPushButton*>("manage-memory-button")->isEnabled();
        };
        const auto visible = [&](const char* object) { return f.visible(object); };
        const auto accountText = [&] { return f.accountText(); };
        EXPECT_EQ(f.visibleSections(),
                  (std::vector<std::string>{"account", "contacts", "memory", "proactive"}));
        EXPECT_EQ(accountText(), settings::account::keyringLockedText);
        EXPECT_TRUE(visible("settings-unlock-keyring-button"));
        EXPECT_FALSE(visible("sign-out-button"));
        EXPECT_FALSE(visible("sign-in-button"));
        EXPECT_EQ(memorySummary(), MemorySettingsPresentation::keyringLockedText);
        EXPECT_FALSE(manageEnabled());
        EXPECT_FALSE(memory->manager()) << "the request waits for the keyring";
        // Every wrapped sentence in the account and memory sections has the height its lines
        // need, whichever words the keyring put there.
        const auto expectWholeText = [&](const char* when) {
            for (QWidget* panel :
                 {static_cast<QWidget*>(f.window->findChild<AccountSettingsPanel*>()),
                  static_cast<QWidget*>(memory)}) {
                for (auto* label : panel->findChildren<QLabel*>()) {
                    if (label->isVisibleTo(f.window.get()) && label->wordWrap()) {
                        EXPECT_GE(label->height(), label->heightForWidth(label->width()))
                            << when << ", " << label->objectName().toStdString() << ": "
                            << label->text().toStdString();
                    }
                }
            }
        };
        expectWholeText("locked");

        // The keyring's prompt unlocks it.
        f.secrets->clearFailures();
        if (!kept) {
            f.secrets->removeService(service);
        }
        if (fromSettings) {
            f.window->findChild<QPushButton*>("settings-unlock-keyring-button")->click();
            EXPECT_FALSE(visible("settings-unlock-keyring-button")) << "its prompt is open";
            EXPECT_EQ(accountText(), settings::account::keyringUnlockingText);
            EXPECT_EQ(memorySummary(), MemorySettingsPresentation::keyringUnlockingText);
            expectWholeText("unlocking");
        } else {
            f.root->unlockKeyring([](const std::optional<std::string>&) {});
        }
        ASSERT_TRUE(f.main.runUntil([&] {
            f.worker.runUntilIdle();
            return visible(kept ? "sign-out-button" : "sign-in-button");
        }));
        f.drain();
        expectWholeText("answered");
        if (!kept) {
            EXPECT_EQ(accountText(), settings::account::notSignedInText);
            EXPECT_EQ(memorySummary(), "Memory unavailable");
            EXPECT_FALSE(manageEnabled());
            EXPECT_FALSE(memory->manager());
            EXPECT_EQ(f.root->memorySettingsNavigation().managerRequestID.get(), request);
            EXPECT_EQ(f.visibleSections(),
                      (std::vector<std::string>{"account", "contacts", "memory", "proactive"}));
            continue;
        }
        EXPECT_EQ(accountText(), "ada@example.com");
        EXPECT_EQ(f.visibleSections(),
                  (std::vector<std::string>{"account", "plan", "contacts", "memory", "proactive"}));
        EXPECT_FALSE(visible("settings-unlock-keyring-button"));
        EXPECT_EQ(memorySummary(), "1 saved association");
        EXPECT_TRUE(manageEnabled());
        EXPECT_TRUE(memory->manager()) << "the chat's request is taken once memory is there";
        EXPECT_FALSE(f.root->memorySettingsNavigation().managerRequestID.get());
    }
}

// Behind a keyring that does not answer, or with none on the bus, Settings says so with "Try
// Again", which asks the keyring once more each time it is pressed: still silent (or absent), the
// row says so again with its button; answering, the account and its memory show without
// reopening.
TEST(SettingsWindowTest, AKeyringThatDoesNotAnswerOffersTryAgain) {
    struct Case {
        const char* name;
        SecretBackend::Status status;
        std::string_view account;
        std::string_view memory;
    };
    const Case cases[] = {
        {"not answering", SecretBackend::cancelled, settings::account::keyringNotAnsweringText,
         MemorySettingsPresentation::keyringNotAnsweringText},
        {"no keyring on the bus", SecretBackend::notAvailable,
         settings::account::keyringNotAvailableText,
         MemorySettingsPresentation::keyringNotAvailableText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SettingsFixture f;
        f.storeAccountHeldBack(c.status);
        f.open();
        EXPECT_EQ(f.accountText(), c.account);
        EXPECT_EQ(f.memorySummary(), c.memory);
        for (const bool answers : {false, true}) {
            SCOPED_TRACE(answers ? "answering again" : "still silent");
            ASSERT_TRUE(f.visible("settings-try-keyring-again-button"));
            EXPECT_FALSE(f.visible("settings-unlock-keyring-button"));
            if (answers) {
                f.secrets->clearFailures();
            }
            f.window->findChild<QPushButton*>("settings-try-keyring-again-button")->click();
            EXPECT_FALSE(f.visible("settings-try-keyring-again-button")) << "asked once at a time";
            const char* shown = answers ? "sign-out-button" : "settings-try-keyring-again-button";
            ASSERT_TRUE(f.main.runUntil([&] {
                f.worker.runUntilIdle();
                return f.visible(shown);
            }));
            f.drain();
        }
        EXPECT_EQ(f.accountText(), "ada@example.com");
        EXPECT_NE(f.memorySummary(), c.memory);
    }
}

// The account's buttons that ask the keyring again, with what it answered for each to show.
struct KeyringButton {
    const char* name;
    SecretBackend::Status status;
    const char* button;
};
const KeyringButton kKeyringButtons[] = {
    {"Try Again", SecretBackend::cancelled, "settings-try-keyring-again-button"},
    {"Unlock", SecretBackend::interactionNotAllowed, "settings-unlock-keyring-button"},
};

// `key` pressed and released where the focus is.
void pressKey(int key) {
    for (const auto type : {QEvent::KeyPress, QEvent::KeyRelease}) {
        QKeyEvent event(type, key, Qt::NoModifier, key == Qt::Key_Space ? " " : "\r");
        if (QWidget* focus = QApplication::focusWidget()) {
            QApplication::sendEvent(focus, &event);
        }
    }
}

// Settings opened with contacts to sync and the account held back by the keyring as `c` says,
// the keyboard on the button that asks it again.
QPushButton* openWithKeyringButtonFocused(SettingsFixture& f, const KeyringButton& c,
                                          Qt::FocusReason reason) {
    installKeyboardHandling(*qApp);
    std::filesystem::create_directories(f.dir / "data" / "contacts");
    f.defaults.set(std::string(vcardFolderKind.accessGrantKey), std::string("authorized"));
    f.root->contactsSyncViewModel()->refreshAuthorization();
    f.storeAccountHeldBack(c.status);
    f.open();
    EXPECT_TRUE(f.visible("contacts-sync-button"));
    QApplication::setActiveWindow(f.window.get());
    auto* button = f.window->findChild<QPushButton*>(c.button);
    EXPECT_TRUE(f.visible(c.button));
    button->setFocus(reason);
    EXPECT_TRUE(test::eventually([&] {
        QApplication::processEvents();
        return button->hasFocus();
    }));
    return button;
}

// Try Again and Unlock, pressed by the keyboard, hide while they work: the focus waits in the
// account section (on the line saying what the keyring does) and is back on the button once it
// returns, so a second press asks the keyring again; it never runs on to Contacts' Sync Now,
// whose press would sync the contacts.
TEST(SettingsWindowTest, TryAgainAndUnlockPressedTwiceKeepTheFocusInTheAccount) {
    for (const auto& c : kKeyringButtons) {
        for (const int key : {Qt::Key_Space, Qt::Key_Return}) {
            SCOPED_TRACE(std::string(c.name) + (key == Qt::Key_Space ? ", Space" : ", Return"));
            SettingsFixture f;
            auto* button = openWithKeyringButtonFocused(f, c, Qt::OtherFocusReason);
            ASSERT_TRUE(button->hasFocus());
            const auto synced = f.root->contactsSyncViewModel()->lastSyncedAt.get();
            auto* account = f.window->findChild<AccountSettingsPanel*>();
            for (int press = 0; press < 2; ++press) {
                SCOPED_TRACE(press + 1);
                pressKey(key);
                EXPECT_FALSE(f.visible(c.button)) << "it works";
                QWidget* focus = QApplication::focusWidget();
                ASSERT_NE(focus, nullptr);
                EXPECT_TRUE(account->isAncestorOf(focus)) << focus->objectName().toStdString();
                ASSERT_TRUE(f.main.runUntil([&] {
                    f.worker.runUntilIdle();
                    return f.visible(c.button);
                }));
                f.drain();
                QApplication::processEvents();
                EXPECT_EQ(QApplication::focusWidget(), button)
                    << (QApplication::focusWidget()
                            ? QApplication::focusWidget()->objectName().toStdString()
                            : std::string("nothing"));
            }
            EXPECT_EQ(f.root->contactsSyncViewModel()->lastSyncedAt.get(), synced);
            EXPECT_FALSE(f.root->contactsSyncViewModel()->isBusy.get());
        }
    }
}

// Try Again or Unlock pressed by the keyboard, and the keyring answers: the account section goes
// while the e-mail is read again and comes back with it and Sign Out. The focus waits meanwhile
// and comes back to the account's line, never landing in another section (where a second press
// synced the contacts) nor on Sign Out (where Space signed out): a second press does nothing.
TEST(SettingsWindowTest, WhenTheKeyringAnswersTheFocusStaysInTheAccount) {
    for (const auto& c : kKeyringButtons) {
        for (const int key : {Qt::Key_Space, Qt::Key_Return}) {
            SCOPED_TRACE(std::string(c.name) + (key == Qt::Key_Space ? ", Space" : ", Return"));
            SettingsFixture f;
            auto* button = openWithKeyringButtonFocused(f, c, Qt::TabFocusReason);
            ASSERT_TRUE(button->hasFocus());
            const auto synced = f.root->contactsSyncViewModel()->lastSyncedAt.get();
            auto* account = f.window->findChild<AccountSettingsPanel*>();
            // Wherever the focus goes on the way, it is never in another section.
            std::vector<std::string> strays;
            const auto watch =
                QObject::connect(qApp, &QApplication::focusChanged, [&](QWidget*, QWidget* now) {
                    for (auto* section : f.window->findChildren<FormSection*>()) {
                        if (section != account && now != nullptr && section->isAncestorOf(now)) {
                            strays.push_back(now->objectName().toStdString());
                        }
                    }
                });
            f.secrets->clearFailures();
            pressKey(key);
            ASSERT_TRUE(f.main.runUntil([&] {
                f.worker.runUntilIdle();
                return f.visible("sign-out-button");
            }));
            f.drain();
            QApplication::processEvents();
            EXPECT_EQ(f.accountText(), "ada@example.com");
            QWidget* focus = QApplication::focusWidget();
            ASSERT_NE(focus, nullptr);
            EXPECT_TRUE(account->isAncestorOf(focus)) << focus->objectName().toStdString();
            EXPECT_FALSE(isDestructive(focus)) << "Space there signs out";
            pressKey(key);
            f.drain();
            QApplication::processEvents();
            QObject::disconnect(watch);
            EXPECT_TRUE(strays.empty()) << strays.front();
            EXPECT_TRUE(f.visible("sign-out-button")) << "still signed in";
            EXPECT_EQ(f.root->contactsSyncViewModel()->lastSyncedAt.get(), synced);
            EXPECT_FALSE(f.root->contactsSyncViewModel()->isBusy.get());
        }
    }
}

// "View in Settings" on a memory receipt opens Settings with Private Memory over it, modal to
// it: Private Memory takes the keyboard, whatever brings Settings to the front after it, and
// Escape there closes it, Settings then taking the keyboard back.
TEST(SettingsWindowTest, PrivateMemoryOpenedFromAReceiptTakesTheKeyboard) {
    SettingsFixture f;
    f.signIn();
    f.root->canonicalMemoryStore()->createAssociation(*MemoryPrincipal::make("user-1"), "Mum",
                                                      "Helen", MemoryProvenance::explicitlySaved,
                                                      Uuid::random(), 1);
    f.root->memorySettingsNavigation().managerRequestID.set(Uuid::random());
    f.open();
    // As the window registry opens it: shown, then brought to the front.
    bringToFront(f.window.get());
    f.drain();
    const QPointer<MemoryManagerView> manager = f.window->memoryPanel()->manager();
    ASSERT_NE(manager, nullptr);
    ASSERT_TRUE(manager->isVisible());
    EXPECT_EQ(keyboardWindowOf(f.window.get()), manager.data());
    ASSERT_TRUE(test::eventually([&] {
        QApplication::processEvents();
        return QApplication::activeWindow() == manager.data();
    })) << "active: "
        << (QApplication::activeWindow() ? QApplication::activeWindow()->objectName().toStdString()
                                         : std::string("none"));
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    EXPECT_EQ(focus->window(), manager.data());
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(focus, &escape);
    f.drain();
    EXPECT_TRUE(manager.isNull() || !manager->isVisible());
    EXPECT_TRUE(f.window->isVisible());
    EXPECT_EQ(keyboardWindowOf(f.window.get()), f.window.get());
}

}  // namespace
}  // namespace vask::ui
