#include <QApplication>
#include <QClipboard>
#include <QFocusEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QThread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <thread>

#include "foundation/google_auth_service.h"
#include "platform/file_io.h"
#include "platform/in_memory_secret_backend.h"
#include "platform/manual_executor.h"
#include "sample-chatdb/sample_chat_db.h"
#include "shell/app_dependencies.h"
#include "shell/onboarding_steps_model.h"
#include "support/fake_clock.h"
#include "support/stub_http_server.h"
#include "support/temp_dir.h"
#include "ui/onboarding/onboarding_controls.h"
#include "ui/onboarding/onboarding_view.h"
#include "ui/single_instance.h"
#include "support/recording_opener.h"

namespace vask::ui {
namespace {

using namespace std::chrono_literals;

// Runs the event loop until `done`; false when it never came (a hung test), not a time limit
// anything depends on.
bool processEventsUntil(const std::function<bool()>& done) {
    const auto giveUp = std::chrono::steady_clock::now() + 20s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// The browser of a sign-in: it comes back at once with a code on the callback scheme.
struct ReturningBrowser final : WebAuthenticationSession {
    explicit ReturningBrowser(MainExecutor& mainExecutor) : main(mainExecutor) {}
    bool start(const Url&, const std::string&, Completion completion) override {
        main.post([completion = std::move(completion)] {
            completion(Outcome::success(*Url::parse("vask://auth/callback?code=walk-code")));
        });
        return true;
    }
    void cancel() override {}
    MainExecutor& main;
};

using test::RecordingOpener;

// The onboarding window over a root of its own: a signed-out private home without a Messages
// database yet, a vCard folder, manual executors, a fake clock and a stand-in cloud backend.
struct WalkFixture {
    WalkFixture() {
        std::filesystem::create_directories(chatDB.parent_path());
        std::filesystem::create_directories(dir / "cards");
        writeFileAtomically(dir / "cards" / "ada.vcf",
                            "BEGIN:VCARD\nVERSION:3.0\nUID:ada\nFN:Ada Lovelace\nTEL:+15550100\n"
                            "END:VCARD\n");
        backend.script(
            "POST", "/api/v1/auth/google/exchange",
            {test::StubHttpServer::Reply::json(
                200, nlohmann::json{{"customer_token", "cust"},
                                    {"access_token", "acc"},
                                    {"refresh_token", "ref"},
                                    {"refresh_expires_at", "2030-01-01T00:00:00Z"},
                                    {"user", {{"id", "u1"}, {"email", "grace@example.com"}}}}
                         .dump())});
        root = std::make_unique<AppDependencies>(AppDependencies::Context{
            .environment = {{"HOME", (dir / "home").string()},
                            {"XDG_DATA_HOME", (dir / "data").string()},
                            {"VASK_SUPPORT_DIR", "VaskOnboardingTest"},
                            {"VASK_CONTACTS_DIR", (dir / "cards").string()},
                            {"CHAT_DB_PATH", chatDB.string()}},
            .bundleIdentifier = "ai.vask.onboarding",
            .defaults = defaults,
            .main = main,
            .worker = worker,
            .scheduler = clock,
            .secretBackend = std::make_shared<InMemorySecretBackend>(),
            .folderOpener = opener,
        });
        signIn = GoogleSignInViewModel::make({
            .authService = std::make_shared<GoogleAuthService>(backend.baseURL(), "vask",
                                                               StructuredLogger("google-auth"),
                                                               browser, root->httpClient()),
            .customerTokenStore = root->customerTokenStore(),
            .cloudAuthStore = root->cloudAuthStore(),
            .apiKeyStore = root->apiKeyStore(),
            .authModeProvider = [this] { return root->authMode(); },
            .resetAuthMode = [this] { root->resetAuthMode(); },
            .defaults = defaults,
            .main = main,
            .worker = worker,
        });
        view = std::make_unique<OnboardingView>(OnboardingStepsModel::make({
            .signIn = signIn,
            .access = root->makeFullDiskAccessViewModel(),
            .contacts = root->contactsSyncViewModel(),
            .sync = root->shadowSyncViewModel(),
            .state = root->onboardingState(),
            .authMode = [this] { return root->authMode(); },
            .shouldPresentAtLaunch = [this] { return root->shouldPresentOnboardingAtLaunch(); },
            .chatDBPath = chatDB,
            .main = main,
            .scheduler = clock,
            .actions = {.openMain = [this] { ++mainOpened; },
                        .activate = {},
                        .closeWindow = [this] { view->close(); },
                        .relaunch = [this] { ++relaunches; }},
            .locale = "en_US",
        }));
    }
    ~WalkFixture() {
        view.reset();
        drain();
    }

    void drain() {
        for (int i = 0; i < 100 && (main.runUntilIdle() + worker.runUntilIdle()) > 0; ++i) {
        }
        QCoreApplication::processEvents();
    }
    // Drives executors and the fake clock (in small steps) until `done`, or gives up.
    bool driveUntil(const std::function<bool()>& done) {
        const auto giveUp = std::chrono::steady_clock::now() + 20s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > giveUp) {
                return false;
            }
            if (main.runUntilIdle() + worker.runUntilIdle() == 0) {
                clock.advance(50ms);
                std::this_thread::sleep_for(1ms);
            }
        }
        QCoreApplication::processEvents();
        return true;
    }
    OnboardingStep step() const { return view->model().step.get(); }
    // The page of an earlier step may linger until the event loop deletes it: only what is on
    // screen counts.
    template <typename T>
    T* shown(const char* name) const {
        for (T* child : view->findChildren<T*>(name)) {
            if (child->isVisibleTo(view.get())) {
                return child;
            }
        }
        return view->findChild<T*>(name);
    }
    std::string title() const { return shown<QLabel>("onboarding.title")->text().toStdString(); }
    std::string subtitle() const {
        return shown<QLabel>("onboarding.subtitle")->text().toStdString();
    }
    QPushButton* button(const char* name) const { return shown<QPushButton>(name); }
    bool shows(const char* name) const {
        auto* found = button(name);
        return found && found->isVisibleTo(view.get());
    }
    // The primary button's label and enabled state, or nothing when there is none.
    std::optional<std::pair<std::string, bool>> primary() const {
        if (!shows("onboarding.primaryCTA")) {
            return std::nullopt;
        }
        auto* cta = button("onboarding.primaryCTA");
        EXPECT_EQ(cta->accessibleName(), cta->text());
        return std::pair{cta->text().toStdString(), cta->isEnabled()};
    }
    QStringList statusLines(const char* name) const { return shown<StatusArea>(name)->lines(); }

    test::TempDir dir;
    std::filesystem::path chatDB = dir / "home" / "Library" / "Messages" / "chat.db";
    InMemoryDefaults defaults;
    ManualExecutor main;
    ManualExecutor worker;
    test::FakeClock clock;
    test::StubHttpServer backend;
    ReturningBrowser browser{main};
    std::shared_ptr<RecordingOpener> opener = std::make_shared<RecordingOpener>();
    std::unique_ptr<AppDependencies> root;
    std::shared_ptr<GoogleSignInViewModel> signIn;
    std::unique_ptr<OnboardingView> view;
    int mainOpened = 0, relaunches = 0;
};

using Primary = std::optional<std::pair<std::string, bool>>;
Primary enabled(const char* label) {
    return std::pair{std::string(label), true};
}
Primary disabled(const char* label) {
    return std::pair{std::string(label), false};
}

TEST(OnboardingWindowTest, WalkFromASignedOutHomeToTheMainWindow) {
    WalkFixture f;
    f.view->show();
    f.drain();
    ASSERT_EQ(f.step(), OnboardingStep::welcome);
    EXPECT_EQ(f.title(), "Welcome to Vask");
    EXPECT_EQ(f.primary(), enabled("Get Started"));
    EXPECT_FALSE(f.shows("onboarding.skip"));
    EXPECT_FALSE(f.shows("onboarding.relaunch"));
    EXPECT_EQ(f.view->findChild<StepDots*>()->highlighted(), 0);
    EXPECT_TRUE(f.defaults.boolValue(f.root->onboardingState().startedKey()).valueOr(false));

    f.button("onboarding.primaryCTA")->click();
    ASSERT_EQ(f.step(), OnboardingStep::signIn);
    EXPECT_EQ(f.title(), "Sign in");
    EXPECT_EQ(f.primary(), enabled("Sign in with Google"));

    f.button("onboarding.primaryCTA")->click();
    EXPECT_EQ(f.primary(), disabled("Sign in with Google"));
    EXPECT_EQ(
        f.statusLines("onboarding.signInStatus"),
        (QStringList{"Continue in your browser…", "No browser opened? Open this link in one:"}));
    // The page's link, and a button that copies it for a browser opened by hand.
    ASSERT_TRUE(f.shows("onboarding.copySignInLink"));
    const auto link = f.signIn->signInLink();
    ASSERT_TRUE(link);
    const auto shownLink = f.shown<QLabel>("onboarding.signInLink");
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(shownLink->toolTip().toStdString(), *link);
    EXPECT_LE(shownLink->fontMetrics().horizontalAdvance(shownLink->text()), shownLink->width())
        << "never cut off";
    f.button("onboarding.copySignInLink")->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), *link);
    ASSERT_TRUE(f.driveUntil(
        [&] { return f.signIn->state.get().kind() != GoogleSignInState::Kind::signingIn; }));
    // Signed in: the step waits for the user to go on.
    EXPECT_EQ(f.step(), OnboardingStep::signIn);
    EXPECT_EQ(f.primary(), enabled("Continue"));
    EXPECT_EQ(f.statusLines("onboarding.signInStatus"),
              QStringList{"Continuing as grace@example.com"});
    EXPECT_TRUE(f.shows("onboarding.differentAccount"));

    f.button("onboarding.primaryCTA")->click();
    f.drain();
    ASSERT_EQ(f.step(), OnboardingStep::fullDiskAccess);
    EXPECT_EQ(f.primary(), enabled("Open Folder"));
    EXPECT_TRUE(f.shows("onboarding.relaunch"));
    EXPECT_NE(f.subtitle().find(f.chatDB.string()), std::string::npos);
    EXPECT_TRUE(f.opener->urls.empty());
    f.button("onboarding.primaryCTA")->click();
    EXPECT_EQ(f.opener->urls,
              std::vector<std::string>{FullDiskAccessViewModel::fileURL(f.chatDB.parent_path())});
    f.clock.advance(OnboardingStepsModel::accessPollInterval);
    f.drain();
    EXPECT_EQ(f.statusLines("onboarding.accessStatus"), QStringList{"Waiting for access…"});
    EXPECT_EQ(f.view->findChild<PathField*>("onboarding.accessFolder")->path().toStdString(),
              f.chatDB.parent_path().string());
    EXPECT_EQ(f.view->findChild<QLabel*>("onboarding.accessFile")->text(),
              "chat.db is not in this folder yet.");

    sample::buildSampleChatDB(f.chatDB, {.messages = 20, .chats = 2, .seed = 3});
    f.clock.advance(OnboardingStepsModel::accessPollInterval);
    f.drain();
    ASSERT_EQ(f.step(), OnboardingStep::contacts);
    EXPECT_EQ(f.primary(), enabled("Enable Contacts"));
    EXPECT_TRUE(f.shows("onboarding.skip"));
    EXPECT_FALSE(f.shows("onboarding.relaunch"));

    f.button("onboarding.primaryCTA")->click();
    EXPECT_EQ(f.primary(), disabled("Enable Contacts"));
    EXPECT_EQ(f.statusLines("onboarding.contactsStatus"),
              QStringList{"Waiting for Contacts permission…"});
    ASSERT_TRUE(f.driveUntil([&] { return f.step() != OnboardingStep::contacts; }));
    ASSERT_EQ(f.step(), OnboardingStep::indexing);
    EXPECT_EQ(f.primary(), std::nullopt);
    EXPECT_FALSE(f.shows("onboarding.relaunch"));

    ASSERT_TRUE(f.driveUntil([&] { return f.step() == OnboardingStep::done; }));
    EXPECT_EQ(f.title(), "You're all set");
    EXPECT_EQ(f.subtitle().rfind("Indexed 20 messages. ", 0), 0u);
    EXPECT_EQ(f.primary(), enabled("Start Chatting"));
    EXPECT_EQ(f.view->findChild<StepDots*>()->highlighted(), 5);
    EXPECT_TRUE(f.defaults.boolValue(f.root->onboardingState().completedKey()).valueOr(false));
    EXPECT_EQ(f.root->shadowSyncViewModel()->messageCount.get(), 20);

    f.button("onboarding.primaryCTA")->click();
    EXPECT_EQ(f.mainOpened, 1);
    EXPECT_FALSE(f.view->isVisible());
    // Finished, signed in, with access: opening it again closes it at once.
    f.view->show();
    f.drain();
    EXPECT_FALSE(f.view->isVisible());
}

// A page opened by the keyboard goes on by Return: each step's button takes the focus when the
// step opens, or once it has one. Return on "Enable Contacts" leads through indexing, which has
// no button, to the last page, whose "Start Chatting" has the focus.
TEST(OnboardingWindowTest, EachPageOpensWithItsButtonFocused) {
    WalkFixture f;
    sample::buildSampleChatDB(f.chatDB, {.messages = 20, .chats = 2, .seed = 3});
    f.view->show();
    QApplication::setActiveWindow(f.view.get());
    f.drain();
    const auto focusedButton = [] {
        auto* focus = qobject_cast<QPushButton*>(QApplication::focusWidget());
        return focus != nullptr && focus->isVisible() ? focus->text().toStdString()
                                                       : std::string();
    };
    for (const auto& [step, button] : {std::pair{OnboardingStep::welcome, "Get Started"},
                                       std::pair{OnboardingStep::signIn, "Sign in with Google"},
                                       std::pair{OnboardingStep::contacts, "Enable Contacts"}}) {
        f.view->model().step.set(step);
        f.drain();
        EXPECT_EQ(focusedButton(), button);
    }
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
    QApplication::sendEvent(QApplication::focusWidget(), &press);
    ASSERT_TRUE(f.driveUntil([&] { return f.step() == OnboardingStep::done; }));
    f.drain();
    EXPECT_EQ(focusedButton(), "Start Chatting");
}

// On a short screen at a large scale (1024x600 at twice the scale: 512x300) the pages scroll;
// each page opens at its top, its heading whole in view, whatever the page before was scrolled
// to.
TEST(OnboardingWindowTest, EachPageOpensAtItsTopOnAShortScreen) {
    WalkFixture f;
    sample::buildSampleChatDB(f.chatDB, {.messages = 20, .chats = 2, .seed = 3});
    f.view->fitToArea({512, 300});
    f.view->show();
    f.drain();
    auto* scroll = f.view->findChild<QScrollArea*>("onboarding.scroll");
    ASSERT_NE(scroll, nullptr);
    for (const auto& [from, to] :
         {std::pair{OnboardingStep::signIn, OnboardingStep::contacts},
          std::pair{OnboardingStep::contacts, OnboardingStep::done}}) {
        SCOPED_TRACE(static_cast<int>(to));
        f.view->model().step.set(from);
        f.drain();
        QScrollBar* bar = scroll->verticalScrollBar();
        ASSERT_GT(bar->maximum(), 0) << "the page scrolls";
        bar->setValue(bar->maximum());
        f.view->model().step.set(to);
        f.drain();
        ASSERT_EQ(f.step(), to);
        ASSERT_GT(bar->maximum(), 0) << "the page scrolls";
        EXPECT_EQ(bar->value(), 0);
        auto* title = f.shown<QLabel>("onboarding.title");
        ASSERT_NE(title, nullptr);
        EXPECT_GE(title->mapTo(scroll->viewport(), QPoint(0, 0)).y(), 0)
            << title->text().toStdString();
    }
}

TEST(OnboardingWindowTest, FailuresOfIndexingOfferRetryAndRelaunch) {
    WalkFixture f;
    f.view->show();
    f.drain();
    auto& sync = *f.root->shadowSyncViewModel();
    sync.lastError.set("Sync failed: disk I/O error");
    f.view->model().step.set(OnboardingStep::indexing);
    f.drain();
    EXPECT_EQ(f.primary(), enabled("Try Again"));
    EXPECT_TRUE(f.shows("onboarding.relaunch"));
    EXPECT_FALSE(
        f.view->findChild<QProgressBar*>("onboarding.indexingProgress")->isVisibleTo(f.view.get()));
    f.button("onboarding.relaunch")->click();
    EXPECT_EQ(f.relaunches, 1);
    EXPECT_EQ(f.defaults.integerValue(f.root->onboardingState().stepKey()).optional(), 2);
}

// At the window's smallest, the access step with the longest of its failures (the folder could
// not be made: its path and why) keeps every line whole above the footer, each as tall as its
// lines: the hint's note, the status and the failure.
TEST(OnboardingWindowTest, TheAccessStepKeepsItsLinesWholeAtItsSmallestWithAFailure) {
    WalkFixture f;
    // A file where the Messages folder goes: the folder cannot be made.
    std::filesystem::remove_all(f.chatDB.parent_path());
    writeFileAtomically(f.chatDB.parent_path(), "");
    f.view->show();
    f.drain();
    f.view->model().step.set(OnboardingStep::fullDiskAccess);
    f.drain();
    f.view->resize(f.view->minimumSize());
    f.button("onboarding.primaryCTA")->click();
    f.drain();
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QCoreApplication::processEvents();
    }
    const auto lines = f.statusLines("onboarding.accessStatus");
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[1].contains(QString::fromStdString(f.chatDB.parent_path().string())));
    QWidget* view = f.view.get();
    const int footerTop = f.shown<QWidget>("onboarding.footer")->mapTo(view, QPoint(0, 0)).y();
    int checked = 0;
    for (auto* label : f.shown<QWidget>("onboarding.content")->findChildren<QLabel*>()) {
        if (!label->isVisibleTo(view) || label->text().isEmpty()) {
            continue;
        }
        ++checked;
        const std::string text = label->text().left(40).toStdString();
        const QRect at(label->mapTo(view, QPoint(0, 0)), label->size());
        const int needed = label->wordWrap() ? label->heightForWidth(label->width())
                                             : label->minimumSizeHint().height();
        EXPECT_GE(label->height(), needed) << text;
        // Nor blank lines under it, which push the rest down.
        EXPECT_LT(label->height(), needed + label->fontMetrics().lineSpacing()) << text;
        EXPECT_GE(at.top(), 0) << text;
        EXPECT_LE(at.bottom(), footerTop) << text;
    }
    EXPECT_GE(checked, 5);
}

TEST(OnboardingControlsTest, DotsButtonAndNotices) {
    struct DotCase {
        int current;
        std::optional<int> highlighted;
    };
    for (const auto& c :
         std::vector<DotCase>{{0, 0}, {5, 5}, {6, std::nullopt}, {-1, std::nullopt}}) {
        EXPECT_EQ(StepDots(6, c.current).highlighted(), c.highlighted) << c.current;
    }
    // Held down while disabled, the button stays faint.
    for (const auto appearance : {Appearance::light, Appearance::dark}) {
        EXPECT_EQ(OnboardingPrimaryButton::fill(appearance, false, true).alphaF(), 0.4F);
        EXPECT_EQ(OnboardingPrimaryButton::fill(appearance, false, true),
                  OnboardingPrimaryButton::fill(appearance, false, false));
    }

    using A = MessageRetentionAssessment;
    const MessageRetentionNotice byPreference({A::Policy::oneYear, A::Evidence::preference});
    EXPECT_NE(byPreference.findChild<QLabel*>("onboarding.retentionTip"), nullptr);
    const MessageRetentionNotice byAge({A::Policy::oneYear, A::Evidence::oldestMessage});
    EXPECT_EQ(byAge.findChild<QLabel*>("onboarding.retentionTip"), nullptr);

    // Nothing to switch on: the folder, selectable to copy, and what is in it.
    FullDiskAccessHint hint;
    hint.setFolder({"/home/ada/Library/Messages", "chat.db is not in this folder yet.", false});
    EXPECT_EQ(hint.folderPath()->path(), "/home/ada/Library/Messages");
    EXPECT_TRUE(hint.folderPath()->isReadOnly());
    EXPECT_TRUE(hint.folderPath()->toolTip().startsWith("/home/ada/Library/Messages\n"));
    EXPECT_EQ(hint.fileState()->text(), "chat.db is not in this folder yet.");
    for (auto* child : hint.findChildren<QWidget*>()) {
        EXPECT_FALSE(child->accessibleName().contains("switched on"));
    }
}

// A long path shows its start and its end, the folder's name; focused, the whole path is there,
// selected, to copy.
TEST(OnboardingControlsTest, ALongFolderPathKeepsItsEndInView) {
    const QString path =
        "/home/ada-with-a-long-name/some/deeply/nested/folder/of/exports/Library/Messages";
    QWidget window;
    auto* field = new PathField(&window);
    field->setGeometry(0, 30, 200, 24);
    field->setPath(path);
    window.show();
    QApplication::processEvents();
    EXPECT_TRUE(field->text().startsWith("/home"));
    EXPECT_TRUE(field->text().endsWith("Messages")) << field->text().toStdString();
    EXPECT_LT(field->text().size(), path.size());
    EXPECT_TRUE(field->toolTip().startsWith(path));
    QFocusEvent in(QEvent::FocusIn, Qt::TabFocusReason);
    QApplication::sendEvent(field, &in);
    EXPECT_EQ(field->text(), path);
    EXPECT_EQ(field->selectedText(), path);
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(field, &out);
    EXPECT_TRUE(field->text().endsWith("Messages"));
    // A short path is shown whole.
    field->setPath("/home/ada");
    EXPECT_EQ(field->text(), "/home/ada");
}

// A relaunched instance says that it runs before it waits for the lock, and takes the lock over
// once the running instance, having heard it, goes.
TEST(RelaunchHandshakeTest, TheNewInstanceReportsThenTakesOverTheLock) {
    const QString instance = QString("relaunch-test-%1").arg(QCoreApplication::applicationPid());
    test::TempDir dataFolder;
    const QString data = QString::fromStdString(dataFolder.path().string());
    auto running = std::make_unique<SingleInstance>(instance, data);
    ASSERT_EQ(running->claimOrForward(std::nullopt, false), SingleInstance::Role::primary);
    std::optional<qint64> reported;
    QObject::connect(running.get(), &SingleInstance::relaunchedInstanceStarted,
                     [&](qint64 pid) { reported = pid; });

    std::atomic<int> role{-1};
    std::unique_ptr<QThread> relaunched(QThread::create([&] {
        SingleInstance next(instance, data);
        role = static_cast<int>(next.claimOrForward(std::nullopt, true, 15000));
    }));
    relaunched->start();
    const bool heard = processEventsUntil([&] { return reported.has_value(); });
    EXPECT_TRUE(heard);
    EXPECT_EQ(role.load(), -1) << "took over before the running instance went";
    running.reset();
    relaunched->wait();
    ASSERT_TRUE(heard);
    EXPECT_EQ(*reported, QCoreApplication::applicationPid());
    EXPECT_EQ(role.load(), static_cast<int>(SingleInstance::Role::primary));
}

}  // namespace
}  // namespace vask::ui
