#include "screenshot_scenes.h"

#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <thread>

#include "app/window_sources.h"
#include "chat/chat_samples.h"
#include "engine/rlm_helper_error.h"
#include "foundation/customer_token_store.h"
#include "platform/file_problem.h"
#include "platform/file_secret_backend.h"
#include "platform/in_memory_secret_backend.h"
#include "platform/iso8601.h"
#include "platform/manual_executor.h"
#include "platform/user_defaults.h"
#include "proactive/awaiting_stand_ins.h"
#include "proactive/proactive_surfaces.h"
#include "records/sqlite_session_store.h"
#include "sample-chatdb/sample_chat_db.h"
#include "shell/app_dependencies.h"
#include "shell/onboarding_steps_model.h"
#include "shell/popover_model.h"
#include "store/chat_db_reader.h"
#include "ui/awaiting/awaiting_replies_detail_view.h"
#include "ui/brand_marks.h"
#include "ui/chat/chat_view.h"
#include "ui/keyboard.h"
#include "ui/main_window/main_window_factory.h"
#include "ui/main_window/session_sidebar.h"
#include "ui/memory/memory_manager_view.h"
#include "ui/onboarding/onboarding_controls.h"
#include "ui/onboarding/onboarding_view.h"
#include "ui/popover/vask_menu.h"
#include "ui/qt_platform.h"
#include "ui/settings/form_parts.h"
#include "ui/single_instance.h"
#include "ui/theme.h"
#include "ui/tray_controller.h"
#include "ui/window_fit.h"

namespace vask::screenshots {

Scene::Scene(const std::filesystem::path& home, const Environment& extra) : homeDir(home) {
    const auto chatDB = home / "Library" / "Messages" / "chat.db";
    std::filesystem::create_directories(chatDB.parent_path());
    if (!std::filesystem::exists(chatDB)) {
        sample::buildSampleChatDB(chatDB, {.messages = 1234, .chats = 6, .seed = 4});
    }
    Environment environment = {{"HOME", home.string()},
                               {"XDG_DATA_HOME", (home / "data").string()},
                               {"VASK_SUPPORT_DIR", "VaskScreenshots"},
                               {"CHAT_DB_PATH", chatDB.string()}};
    environment.insert(extra.begin(), extra.end());
    root = std::make_unique<AppDependencies>(AppDependencies::Context{
        .environment = std::move(environment),
        .bundleIdentifier = "ai.vask.screenshots",
        .defaults = defaults,
        .main = main,
        .worker = worker,
        .scheduler = scheduler,
        .secretBackend = std::make_shared<InMemorySecretBackend>(),
    });
}

void Scene::signIn() {
    root->customerTokenStore().save("tok", "ada@example.com");
    root->cloudAuthStore().save(
        {"acc", "ref", *parseISO8601("2030-01-01T00:00:00Z"), "user-1", "ada@example.com"});
    root->resetAuthMode();
}

void Scene::drain() {
    for (int i = 0; i < 50 && main.runUntilIdle() + worker.runUntilIdle() > 0; ++i) {
    }
}

namespace {

std::vector<std::unique_ptr<PopoverModel>>& keptPopoverModels() {
    static std::vector<std::unique_ptr<PopoverModel>> models;
    return models;
}

// Reaches the control named `target` by the keyboard (Shift+Tab away and Tab back, which rings
// it) and presses `key` on it, as a keyboard user does; what that sets going is run.
void pressByKeyboard(QWidget* window, Scene& scene, const char* target, int key) {
    QApplication::setActiveWindow(window);
    for (auto* control : window->findChildren<QWidget*>(target)) {
        if (control->isVisible()) {
            control->setFocus(Qt::OtherFocusReason);
            break;
        }
    }
    const auto send = [](QEvent::Type type, int code, Qt::KeyboardModifiers modifiers) {
        if (QWidget* focus = QApplication::focusWidget()) {
            QKeyEvent event(type, code, modifiers,
                            code == Qt::Key_Space ? " " : (code == Qt::Key_Return ? "\r" : ""));
            QApplication::sendEvent(focus, &event);
        }
    };
    send(QEvent::KeyPress, Qt::Key_Backtab, Qt::ShiftModifier);
    send(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    send(QEvent::KeyPress, key, Qt::NoModifier);
    send(QEvent::KeyRelease, key, Qt::NoModifier);
    scene.drain();
}

std::unique_ptr<PopoverModel> popoverModel(Scene& scene) {
    return std::make_unique<PopoverModel>(PopoverModel::Dependencies{
        .authMode = [&scene] { return scene.root->authMode(); },
        .access = scene.root->makeFullDiskAccessViewModel(),
        .sync = scene.root->shadowSyncViewModel(),
        .contacts = scene.root->contactsSyncViewModel(),
        .hasUpdaterController = [] { return false; },
        .checkForUpdates = [] {},
        .configLoadError = [] { return std::nullopt; },
        .contactsTrace = {},
        .chat = {.startNewSession = [] {},
                 .handOffToMain = [] {},
                 .refreshCredentials = [] {},
                 .hasContent = [] { return false; },
                 .lastError = [] { return std::nullopt; },
                 .observe = {}},
    });
}

// ---- Settings window and memory manager ----

std::vector<std::shared_ptr<MemorySettingsViewModel>>& keptMemoryModels() {
    static std::vector<std::shared_ptr<MemorySettingsViewModel>> models;
    return models;
}

ManagedBillingInfo sampleManagedPlan() {
    ManagedBillingInfo plan;
    plan.tierCode = "pro";
    plan.tierDisplayName = "Pro";
    plan.priceAmountCents = 1999;
    plan.priceInterval = "month";
    plan.currentPeriodEnd = *parseISO8601("2027-01-14T00:00:00Z");
    plan.spendRemainingMicrocents = 1'200'000;
    plan.percentageUsed = 82.4;
    plan.windowEnd = *parseISO8601("2027-01-01T00:00:00Z");
    return plan;
}

void adoptSamplePresets(Scene& scene) {
    ModelPresetCatalog catalog{{
        {.code = "balanced",
         .displayName = "Balanced",
         .description = "Good answers at a steady pace for everyday questions.",
         .isDefault = true},
        {.code = "thorough",
         .displayName = "Thorough",
         .description = "Reads more of your history before answering; slower."},
    }};
    scene.root->presetCatalogService()->record.set(
        {"balanced", PresetCatalogSnapshot{"6F1C2A4E-0000-4000-8000-000000000001", catalog}});
}

void saveSampleMemories(Scene& scene) {
    const auto principal = scene.root->canonicalMemoryPrincipal();
    auto store = scene.root->canonicalMemoryStore();
    if (!principal || !store) {
        return;
    }
    store->createAssociation(*principal, "Mum", "My mother, Helen Ward; texts as \"Mum\".",
                             MemoryProvenance::explicitlySaved, Uuid::random(), 1);
    store->createAssociation(*principal, "the cabin",
                             "Our family place near Lake Tahoe; trips are planned in the "
                             "\"Cabin crew\" group chat.",
                             MemoryProvenance::inferred, Uuid::random(), 2);
    store->createAssociation(*principal, "Sam", "Sam Ortiz, my manager at work.",
                             MemoryProvenance::inferred, Uuid::random(), 3);
}

ui::SettingsWindow* settingsWindow(Scene& scene) {
    static struct NoOpener final : UrlOpener {
        bool open(const std::string&) override { return true; }
    } opener;
    // Plan loads never run: each shot sets the figures it shows.
    static ManualExecutor idleWorker;
    static UsageChanges usageChanges{0};
    SettingsWindowHooks hooks;
    hooks.urlOpener = &opener;
    hooks.makeBillingViewModel = [&scene] {
        auto& root = *scene.root;
        return BillingViewModel::make({
            .service = root.billingService(),
            .authModeProvider = [&root] { return root.authMode(); },
            .catalogService = root.presetCatalogService(),
            .tokenRefresh = root.tokenRefreshCoordinator(),
            .defaults = scene.defaults,
            .main = scene.main,
            .worker = idleWorker,
            .usageChanges = usageChanges,
        });
    };
    return new ui::SettingsWindow(settingsWindowDependencies(*scene.root, std::move(hooks)));
}

// An account a sign-in of an earlier run kept in the keyring.
void storeAccountInKeyring(Scene& scene) {
    auto keyring = std::dynamic_pointer_cast<InMemorySecretBackend>(scene.root->secretBackend());
    const auto service = scene.root->keychain().service();
    keyring->put(service, std::string(CustomerTokenStore::defaultTokenKey), "tok");
    keyring->put(service, std::string(CloudAuthStore::defaultKey),
                 CloudAuthSession{"acc", "ref", *parseISO8601("2030-01-01T00:00:00Z"), "user-1",
                                  "ada@example.com"}
                     .encoded());
}

// A signed-in user's keyring that answers a read of the account with `status` (locked, or not
// answering).
void keyringHoldsTheAccountBack(Scene& scene, SecretBackend::Status status) {
    auto keyring = std::dynamic_pointer_cast<InMemorySecretBackend>(scene.root->secretBackend());
    scene.root->signInRecord().noteSignedIn();
    keyring->fail(InMemorySecretBackend::Operation::copyMatching,
                  std::string(CustomerTokenStore::defaultTokenKey), status,
                  "the keyring holds the account back");
}

// Settings of a signed-in user whose keyring answers a read of the account with `status`,
// shown.
QWidget* settingsHeldBackByTheKeyring(Scene& scene, SecretBackend::Status status) {
    keyringHoldsTheAccountBack(scene, status);
    scene.root->contactsSyncViewModel()->authorizationState.set(
        ContactsAuthorizationState::authorized);
    auto* window = settingsWindow(scene);
    window->show();
    scene.drain();
    return window;
}

void contactsFolderMissing(Scene& scene) {
    auto contacts = scene.root->contactsSyncViewModel();
    contacts->folderProblem.set(ContactsFolderProblem::missing);
    contacts->lastError.set(
        "Could not read the address book: /home/ada/.local/share/contacts: no such folder");
    contacts->authorizationState.set(ContactsAuthorizationState::authorized);
}

void fitSettingsTo(ui::SettingsWindow* window, ui::Extent screen) {
    ui::fitToArea(window, {ui::SettingsWindow::width, ui::SettingsWindow::height},
                  {ui::SettingsWindow::width, ui::SettingsWindow::minimumHeight},
                  {ui::SettingsWindow::width, ui::SettingsWindow::height}, screen);
}

// Settings signed in with a plan, presets and memories, fitted to `screen` when given.
QWidget* signedInSettings(Scene& scene, std::optional<ui::Extent> screen) {
    scene.signIn();
    adoptSamplePresets(scene);
    saveSampleMemories(scene);
    scene.root->contactsSyncViewModel()->authorizationState.set(
        ContactsAuthorizationState::authorized);
    auto* window = settingsWindow(scene);
    if (screen) {
        fitSettingsTo(window, *screen);
    }
    window->show();
    scene.drain();
    // After the shot's own appearance, whose load never ends.
    scene.main.post([model = window->billingViewModel()] {
        model->state.set(BillingState::loaded(sampleManagedPlan()));
    });
    return window;
}

std::vector<Shot> settingsShots() {
    return {
        {"settings", "signed-out", [](Scene& scene) -> QWidget* { return settingsWindow(scene); }},
        {"settings", "signed-in",
         [](Scene& scene) -> QWidget* { return signedInSettings(scene, std::nullopt); }},
        // Sync Now pressed by Space: synced, and the focus still on it.
        {"settings", "synced-by-keyboard",
         [](Scene& scene) -> QWidget* {
             scene.signIn();
             std::filesystem::create_directories(scene.homeDir / "data" / "contacts");
             scene.defaults.set(std::string("contactsAccessGrant"), std::string("authorized"));
             scene.root->contactsSyncViewModel()->refreshAuthorization();
             return settingsWindow(scene);
         },
         [](QWidget* window, Scene& scene) {
             pressByKeyboard(window, scene, "contacts-sync-button", Qt::Key_Space);
             // The sync runs on the contacts engine's thread.
             for (int turn = 0; turn < 1000 && scene.root->contactsSyncViewModel()->isBusy.get();
                  ++turn) {
                 std::this_thread::sleep_for(std::chrono::milliseconds(5));
                 scene.drain();
             }
         }},
        // Signed in, at a start whose login keyring is still locked: the account and memory
        // say so, with Unlock.
        {"settings", "keyring-locked",
         [](Scene& scene) -> QWidget* {
             storeAccountInKeyring(scene);
             return settingsHeldBackByTheKeyring(scene, SecretBackend::interactionNotAllowed);
         }},
        // Signed in, at a start whose keyring does not answer: the account says so, with Try
        // Again.
        {"settings", "keyring-not-answering",
         [](Scene& scene) -> QWidget* {
             return settingsHeldBackByTheKeyring(scene, SecretBackend::cancelled);
         }},
        // Signed in, at a start with no keyring on the bus: the account says the keyring is not
        // available, with Try Again.
        {"settings", "keyring-not-available",
         [](Scene& scene) -> QWidget* {
             return settingsHeldBackByTheKeyring(scene, SecretBackend::notAvailable);
         }},
        {"settings", "contacts-folder-missing",
         [](Scene& scene) -> QWidget* {
             scene.signIn();
             contactsFolderMissing(scene);
             auto* window = settingsWindow(scene);
             window->show();
             scene.drain();
             return window;
         }},
        {"settings", "developer-plan-error",
         [](Scene& scene) -> QWidget* {
             scene.signIn();
             scene.root->contactsSyncViewModel()->authorizationState.set(
                 ContactsAuthorizationState::denied);
             scene.root->contactsSyncViewModel()->lastError.set(
                 "Contacts permission was not granted.");
             auto* window = settingsWindow(scene);
             window->show();
             scene.drain();
             scene.main.post([model = window->billingViewModel()] {
                 model->state.set(BillingState::error(
                     BillingError::networkError("The relay could not be reached.")));
             });
             return window;
         }},
        // As it opens on a 1366x768 screen, the panel's 32 pixels taken: the form scrolls.
        {"settings", "screen-1366x768",
         [](Scene& scene) -> QWidget* {
             scene.signIn();
             adoptSamplePresets(scene);
             saveSampleMemories(scene);
             auto* window = settingsWindow(scene);
             ui::fitToArea(window, {ui::SettingsWindow::width, ui::SettingsWindow::height},
                           {ui::SettingsWindow::width, ui::SettingsWindow::minimumHeight},
                           {ui::SettingsWindow::width, ui::SettingsWindow::height}, {1366, 736});
             window->show();
             scene.drain();
             scene.main.post([model = window->billingViewModel()] {
                 model->state.set(BillingState::loaded(sampleManagedPlan()));
             });
             return window;
         }},
        // As it opens on a 1024x600 screen at twice the scale (512x300 logical): the form
        // scrolls to the control with the focus (its ring in view), signed in and out.
        {"settings", "screen-1024x600-scale-2",
         [](Scene& scene) -> QWidget* { return signedInSettings(scene, ui::Extent{512, 300}); }},
        {"settings", "screen-1024x600-scale-2-signed-out",
         [](Scene& scene) -> QWidget* {
             auto* window = settingsWindow(scene);
             fitSettingsTo(window, {512, 300});
             return window;
         }},
        {"memory-manager", "list",
         [](Scene& scene) -> QWidget* {
             scene.signIn();
             saveSampleMemories(scene);
             auto viewModel = scene.root->makeMemorySettingsViewModel();
             auto* manager = new ui::MemoryManagerView(viewModel, ui::standardConfirm());
             keptMemoryModels().push_back(viewModel);
             return manager;
         }},
        {"memory-manager", "empty",
         [](Scene& scene) -> QWidget* {
             scene.signIn();
             auto viewModel = scene.root->makeMemorySettingsViewModel();
             keptMemoryModels().push_back(viewModel);
             return new ui::MemoryManagerView(viewModel, ui::standardConfirm());
         }},
        // On a 1024x600 screen at twice the scale (512x300 logical), narrower than it would
        // like: its sentences wrap, the list's and the empty one's.
        {"memory-manager", "screen-1024x600-scale-2",
         [](Scene& scene) -> QWidget* {
             scene.signIn();
             saveSampleMemories(scene);
             auto viewModel = scene.root->makeMemorySettingsViewModel();
             auto* manager = new ui::MemoryManagerView(viewModel, ui::standardConfirm());
             manager->fitToArea({512, 300});
             keptMemoryModels().push_back(viewModel);
             return manager;
         }},
        {"memory-manager", "empty-screen-1024x600-scale-2",
         [](Scene& scene) -> QWidget* {
             scene.signIn();
             auto viewModel = scene.root->makeMemorySettingsViewModel();
             keptMemoryModels().push_back(viewModel);
             auto* manager = new ui::MemoryManagerView(viewModel, ui::standardConfirm());
             manager->fitToArea({512, 300});
             return manager;
         }},
    };
}

// --- Awaiting-replies screen -------------------------------------------------------------

// A desktop where nothing takes an address: xdg-open has nothing for it.
struct NoUrlOpener final : UrlOpener {
    bool open(const std::string&) override { return false; }
};

// `narrowDraft`: a draft open in the detail at its narrowest, as on a 1024x600 screen at twice
// the scale: its row, its text and its buttons wrap inside the list.
enum class AwaitingState { conversations, draft, failedDraft, copied, narrowDraft };

// Four people waiting, two of them judged to need a reply; a draft opened on the first row
// comes back with `answer` (nothing: the model gave no usable text).
QWidget* awaitingScreen(Scene& scene, AwaitingState state, Clipboard& clipboard,
                        UrlOpener& opener) {
    constexpr std::int64_t now = 1796630400;
    const auto at = [](std::int64_t ago) { return std::optional<std::int64_t>(now - ago); };
    std::vector<AwaitingReply> replies = {
        {"chat-1", "Maya Okafor", "+15550101",
         "Are we still on for dinner Friday? I can book the place by the river if you want", 40,
         at(3 * 3600)},
        {"chat-2", "Jonas Berg", "jonas@example.com",
         "Sent you the draft of the proposal, let me know what you think when you get a chance", 30,
         at(26 * 3600)},
        {"chat-3", "Priya", "+15550133", "ok thanks!", 20, at(12 * 60)},
        {"chat-4", "Leo Marchetti", "+15550144", "Can you pick up Mia from practice at 5?", 10,
         at(3 * 86400)},
    };
    scene.defaults.set(ProactiveSurfaces::enabledKey(), true);
    auto viewModel = stand_in::awaitingViewModel(replies, scene.defaults, scene.main, scene.worker,
                                                 scene.scheduler);
    auto needsReply = stand_in::needsReplyService(scene.defaults, scene.main, scene.worker);
    scene.drain();
    needsReply->verdicts().set({{"chat-1", true}, {"chat-4", true}, {"chat-3", false}});
    ReplyDrafts::Seams seams;
    seams.personaDraftsEnabled = [] { return true; };
    seams.complete = [state](const CorvaneResponses::Request&) -> std::optional<std::string> {
        if (state == AwaitingState::failedDraft) {
            return std::nullopt;
        }
        return "\"Yes! Friday works \xE2\x80\x94 book the river place, I'll be there by 7.\"";
    };
    auto* view = new ui::AwaitingRepliesDetailView(AwaitingScreenPresenter::Dependencies{
        .viewModel = viewModel,
        .needsReply = needsReply,
        .settings = scene.defaults,
        .displayDays = [] { return 7; },
        .setDisplayDays = [](int) {},
        .onCatchUp = {},
        .urlOpener = opener,
        .clipboard = clipboard,
        .draftSeams = std::move(seams),
        .main = scene.main,
        .worker = scene.worker,
        .now = [] { return now; },
    });
    view->resize(state == AwaitingState::narrowDraft ? QSize(300, 560) : QSize(640, 620));
    if (state != AwaitingState::conversations) {
        view->presenter().drafts().startDraft(replies[0]);
    }
    if (state == AwaitingState::copied) {
        scene.drain();
        view->presenter().drafts().send(replies[0]);
    }
    return view;
}

// --- end of awaiting-replies screen -------------------------------------------------------

// --- Chat views ---------------------------------------------------------------------------

enum class ChatShot {
    empty,
    thinking,
    answer,
    limitApiKey,
    limitFree,
    limitPro,
    limitMax,
    longReasoning,
    cutAnswer,
    bubbleSizes,
    loading,
    // Answers of one and of several lines arriving while the chat is shown, their usage and
    // sources a moment after them, as a real turn brings them.
    liveAnswers,
    // Made in the other appearance and scrolled to the middle of a long answer, then the
    // desktop's appearance changes to this one: the same place, in the new colours.
    themeChangedScrolled,
    // An answer's source card opened: no "Open in Messages" where no Messages application is.
    sourceCard,
    // Two questions that failed, then a third: each keeps its error under it.
    twoFailures,
    // The out-of-credit card's button with an opener that fails: the chat says so.
    openFailed,
    // An answer with a link longer than the line and a question of one long word, in a column
    // as narrow as the popover's: both broken where the line ends.
    longWord,
    // A new user's first question while the first copy's full-text index is still being built.
    indexing
};

// A main window's chat whose saved chats are still being read: its worker never runs.
std::shared_ptr<ChatViewModel> loadingChat(Scene& scene) {
    static ManualExecutor idleWorker;
    static InMemoryDefaults defaults;
    static PresetSelection presets{defaults};
    const auto file = std::filesystem::temp_directory_path() /
                      ("vask-screenshots-" + Uuid::random().lowercaseString() + ".db");
    std::ofstream(file) << "";
    auto model = ChatViewModel::make({.main = scene.main,
                                      .worker = idleWorker,
                                      .defaults = defaults,
                                      .presets = presets,
                                      .shadowDBPath = "/nonexistent/shadow.db",
                                      .sessionStore = std::make_shared<SQLiteSessionStore>(file),
                                      .persistsSessions = true});
    std::filesystem::remove(file);
    return model;
}

// The main window's chat over the root's view model, in one moment of a conversation.
QWidget* chatScreen(Scene& scene, ChatShot shot, UrlOpener& opener) {
    constexpr std::int64_t now = 1796630400;
    const ui::Appearance shown = ui::Theme::current();
    if (shot == ChatShot::themeChangedScrolled) {
        ui::Theme::apply(
            *qApp, shown == ui::Appearance::dark ? ui::Appearance::light : ui::Appearance::dark);
    }
    auto model = shot == ChatShot::loading ? loadingChat(scene) : scene.root->chatViewModel();
    ChatSession session;
    session.id = "screenshot-session";
    const auto ask = chat_samples::question(
        "What was the restaurant Sam recommended for Maya's birthday dinner?");
    if (shot == ChatShot::answer) {
        auto answer = chat_samples::answer(
            "Sam recommended **Osteria Nonna** \xE2\x80\x94 the *cacio e pepe* place on "
            "`Via Roma`. Maya booked it for ~~Thursday~~ Friday at 7.\n\nDetails: "
            "[their site](https://osteria.example.com).",
            2, 1, now);
        answer.extracted = true;
        answer.memoryReceipts = std::vector{
            chat_samples::receipt(MemoryMutationOperation::create,
                                  MemoryProvenance::explicitlySaved, MemoryReceiptStatus::committed,
                                  "Maya's birthday", "14 March"),
            chat_samples::receipt(MemoryMutationOperation::suggest, MemoryProvenance::inferred,
                                  MemoryReceiptStatus::committed, "Favourite restaurant",
                                  "Osteria Nonna"),
        };
        session.messages = {ask, answer};
    } else if (shot == ChatShot::cutAnswer) {
        std::string text;
        for (int i = 0; text.size() < 150'000; ++i) {
            text += "Line " + std::to_string(i) +
                    " of a runaway answer: the helper kept writing the same **table** again.\n";
        }
        session.messages = {ask, chat_samples::answer(text, 0, 0, now)};
    } else if (shot == ChatShot::themeChangedScrolled) {
        std::string text;
        for (int i = 1; i <= 45; ++i) {
            text += "Line " + std::to_string(i) + " of the answer about the birthday dinner.\n";
        }
        session.messages = {ask, chat_samples::answer(text, 3, 1, now)};
    } else if (shot == ChatShot::bubbleSizes) {
        session.messages = {
            // Mixed scripts on one line: the Arabic word stays beside the others.
            chat_samples::question(
                "dinner \xF0\x9F\x98\x80 \xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7"),
            chat_samples::question("Friday?"),
            chat_samples::answer("Yes \xE2\x80\x94 Friday at 7.", 0, 0, now),
            chat_samples::question(
                "Can you list everything Sam and Maya said about the birthday dinner, who is "
                "bringing the cake, and whether Leo confirmed he can drive everyone home?"),
            chat_samples::answer(
                "Sam suggested **Osteria Nonna** on Monday and Maya booked a table for six on "
                "Friday at 7. Priya offered to bring the cake \xE2\x80\x94 a lemon tart from the "
                "bakery on `Via Roma` \xE2\x80\x94 and asked whether candles are allowed at the "
                "restaurant. Leo said on Wednesday that he can drive four people home after "
                "dinner, so one more car is needed; Jonas has not answered yet.",
                0, 0, now)};
    } else if (shot == ChatShot::sourceCard) {
        session.messages = {
            ask, chat_samples::answer("Sam recommended **Osteria Nonna**, the cacio e pepe place.",
                                      1, 0, now)};
    } else if (shot == ChatShot::longWord) {
        const std::string longURL =
            "https://osteria.example.com/reservations/confirm?booking=7F3A9C2E-51B4-4D2A-9E0F-"
            "6C1B8A7D3E55&guests=6&date=2026-12-11&time=19:00&table=window&name=Maya%20Okafor&"
            "phone=%2B15550101&source=messages&ref=sam-recs-birthday-dinner";
        session.messages = {chat_samples::question(std::string(220, 'w')),
                            chat_samples::answer("The booking is at [" + longURL + "](" + longURL +
                                                     ") \xE2\x80\x94 open it to change the time.",
                                                 0, 0, now)};
    } else if (shot == ChatShot::twoFailures) {
        session.messages = {chat_samples::question("Who is picking up Mia on Friday?"),
                            chat_samples::question("And who brings the cake?"),
                            chat_samples::question("Is Leo driving?")};
    } else if (shot != ChatShot::empty && shot != ChatShot::thinking &&
               shot != ChatShot::longReasoning && shot != ChatShot::loading &&
               shot != ChatShot::liveAnswers && shot != ChatShot::openFailed &&
               shot != ChatShot::indexing) {
        session.messages = {chat_samples::question("Who is picking up Mia on Friday?"),
                            chat_samples::answer("**Leo** said he would, at 5.", 0, 0, now)};
    }
    if (shot != ChatShot::loading) {
        chat_samples::show(*model, session);
    }
    switch (shot) {
        case ChatShot::thinking:
            model->state.set(ChatState::sending(
                ask, "Searching your conversations with Maya and Sam",
                "The user asks about a restaurant recommendation. Sam is a contact; look for "
                "messages from Sam mentioning restaurants, dinner or birthday in the last months, "
                "then check Maya's thread for the booking."));
            model->usageDisclosure.set(
                RLMUsageDisclosure{.questionID = ask.id.uppercaseString(),
                                   .sessionID = session.id,
                                   .usage = chat_samples::usage(4'200, 900)});
            break;
        case ChatShot::longReasoning: {
            std::string reasoning;
            for (int step = 1; reasoning.size() < 2'000'000; ++step) {
                reasoning += "Step " + std::to_string(step) +
                             ": search Sam's messages for restaurants, then compare the dates "
                             "with Maya's thread and the calendar of March.\n";
            }
            model->state.set(
                ChatState::sending(ask, "Reading your messages\xE2\x80\xA6", std::move(reasoning)));
            break;
        }
        case ChatShot::indexing:
            model->state.set(ChatState::sending(
                ask, std::string(ChatViewModel::indexingHistoryText), std::nullopt));
            break;
        case ChatShot::limitApiKey:
            model->state.set(ChatState::usageLimitReached(ask, AuthType::apiKey, std::nullopt));
            break;
        case ChatShot::limitFree:
            model->state.set(
                ChatState::usageLimitReached(ask, AuthType::customerToken, std::nullopt));
            break;
        case ChatShot::limitPro:
            model->state.set(ChatState::usageLimitReached(ask, AuthType::customerToken, "pro"));
            break;
        case ChatShot::limitMax:
        case ChatShot::openFailed:
            model->state.set(ChatState::usageLimitReached(ask, AuthType::customerToken, "max"));
            break;
        case ChatShot::twoFailures: {
            const std::string error =
                RLMHelperError::plain(RLMHelperError::Case::missingBundledHelper).what();
            model->state.set(ChatState::failed(session.messages[0], error));
            model->state.set(ChatState::failed(session.messages[1], error));
            model->state.set(ChatState::sending(
                session.messages[2], "Searching your conversations with Leo", std::nullopt));
            break;
        }
        default:
            break;
    }
    auto* view = new ui::ChatView(
        model,
        {.isReady = true, .showsSources = true, .urlOpener = &opener, .now = [] { return now; }});
    view->resize(shot == ChatShot::bubbleSizes ? 900
                 : shot == ChatShot::longWord  ? 340
                                               : 560,
                 shot == ChatShot::answer || shot == ChatShot::longWord ? 860 : 520);
    if (shot == ChatShot::cutAnswer) {
        // The note is at the end of the bubble: show the end, as the chat does for a new answer.
        view->show();
        QApplication::processEvents();
        auto* bar = view->findChild<QScrollArea*>("chatMessages")->verticalScrollBar();
        bar->setValue(bar->maximum());
    }
    if (shot == ChatShot::themeChangedScrolled) {
        view->show();
        QApplication::processEvents();
        auto* bar = view->findChild<QScrollArea*>("chatMessages")->verticalScrollBar();
        bar->setValue(bar->maximum() / 2);
        ui::Theme::apply(*qApp, shown);
        QApplication::processEvents();
    }
    if (shot == ChatShot::answer || shot == ChatShot::sourceCard) {
        if (auto* toggle = view->findChild<QPushButton*>("sourcesToggle")) {
            toggle->click();
        }
    }
    if (shot == ChatShot::openFailed) {
        view->show();
        QApplication::processEvents();
        if (auto* action = view->findChild<QPushButton*>("usageLimitAction")) {
            action->click();
        }
        QApplication::processEvents();
    }
    if (shot == ChatShot::liveAnswers) {
        view->show();
        QApplication::processEvents();
        for (const char* text :
             {"Found 3 matching messages.",
              "Here is what I found about dinner:\n\n- **Friday at 7** at Osteria Nonna, booked "
              "by Maya.\n- Sam recommended the cacio e pepe.\n- Leo asked for a table by the "
              "window."}) {
            session.messages.push_back(chat_samples::question("dinner"));
            const auto answer = chat_samples::answer(text, 2, 0, now);
            auto bare = answer;
            bare.tokenUsage.reset();
            bare.sources.reset();
            session.messages.push_back(bare);
            chat_samples::show(*model, session);
            QApplication::processEvents();
            session.messages.back() = answer;
            chat_samples::show(*model, session);
            QApplication::processEvents();
        }
    }
    return view;
}

// --- end of chat views ---------------------------------------------------------------------

// Onboarding: the window on one step, with the view models in the state that step shows.
QWidget* onboardingWindow(Scene& scene, OnboardingStep step,
                          const std::function<void(Scene&)>& arrange = {}) {
    auto& root = *scene.root;
    auto model = root.makeOnboardingStepsModel({}, "en_US");
    if (arrange) {
        arrange(scene);
    }
    // Resumed where the shot wants it; appearing leaves a step whose requirement is unmet.
    root.onboardingState().save(step);
    model->step.set(step);
    return new ui::OnboardingView(model);
}

std::vector<Shot> onboardingShots() {
    using Step = OnboardingStep;
    // No Messages database in its place yet: the access step waits, and indexing fails.
    const auto withoutMessages = [](Scene& scene) {
        std::filesystem::remove(ChatDBReader::defaultChatDBPath(scene.root->context().environment));
    };
    const auto shot = [](const char* state, Step step, std::function<void(Scene&)> arrange = {}) {
        return Shot{"onboarding", state, [step, arrange](Scene& scene) {
                        return onboardingWindow(scene, step, arrange);
                    }};
    };
    const auto withMessages = [](Scene& scene) {
        auto sync = scene.root->shadowSyncViewModel();
        sync->messageCount.set(12345);
        sync->messageRetention.set(
            MessageRetentionAssessment{MessageRetentionAssessment::Policy::thirtyDays,
                                       MessageRetentionAssessment::Evidence::preference});
    };
    const auto onSmallScreen = [](const char* state, Step from, Step to,
                                  std::function<void(Scene&)> arrange = {}) {
        return Shot{"onboarding", state,
                    [from, arrange](Scene& scene) -> QWidget* {
                        auto* view = static_cast<ui::OnboardingView*>(
                            onboardingWindow(scene, from, arrange));
                        view->fitToArea({512, 300});
                        return view;
                    },
                    [to](QWidget* window, Scene& scene) {
                        auto* view = static_cast<ui::OnboardingView*>(window);
                        if (auto* scroll = view->findChild<QScrollArea*>("onboarding.scroll")) {
                            scroll->verticalScrollBar()->setValue(
                                scroll->verticalScrollBar()->maximum());
                        }
                        view->model().step.set(to);
                        scene.drain();
                    }};
    };
    return {
        shot("welcome", Step::welcome),
        shot("signin", Step::signIn),
        shot("signin-waiting", Step::signIn,
             [](Scene& scene) {
                 scene.root->sharedGoogleSignInViewModel()->state.set(
                     GoogleSignInState::signingIn());
             }),
        shot("signin-done", Step::signIn,
             [](Scene& scene) {
                 auto signIn = scene.root->sharedGoogleSignInViewModel();
                 signIn->state.set(GoogleSignInState::success());
                 signIn->userEmail.set("ada@example.com");
             }),
        shot("signin-failed", Step::signIn,
             [](Scene& scene) {
                 scene.root->sharedGoogleSignInViewModel()->state.set(
                     GoogleSignInState::error("Google sign-in failed: access_denied"));
             }),
        shot("signin-no-browser", Step::signIn,
             [](Scene& scene) {
                 auto signIn = scene.root->sharedGoogleSignInViewModel();
                 signIn->state.set(GoogleSignInState::browserUnavailable(
                     "No web browser could be opened.",
                     signIn->signInLink().value_or("https://vask.example.com/auth/google/start")));
             }),
        shot("access", Step::fullDiskAccess, withoutMessages),
        shot("contacts", Step::contacts),
        shot("contacts-folder-missing", Step::contacts, contactsFolderMissing),
        shot("contacts-restricted", Step::contacts,
             [](Scene& scene) {
                 scene.root->contactsSyncViewModel()->authorizationState.set(
                     ContactsAuthorizationState::restricted);
             }),
        shot("indexing", Step::indexing,
             [](Scene& scene) {
                 // A run in progress: appearing starts no other.
                 auto sync = scene.root->shadowSyncViewModel();
                 sync->isSyncing.set(true);
                 sync->syncProgress.set(ShadowSyncViewModel::SyncProgress{12345, 48210});
             }),
        shot("indexing-failed", Step::indexing, withoutMessages),
        // On a 1024x600 screen at twice the scale (512x300 logical), the page before scrolled
        // to its end: the next one opens at its top.
        onSmallScreen("contacts-screen-1024x600-scale-2", Step::signIn, Step::contacts),
        onSmallScreen("done-screen-1024x600-scale-2", Step::contacts, Step::done, withMessages),
        shot("done", Step::done,
             [](Scene& scene) {
                 auto sync = scene.root->shadowSyncViewModel();
                 sync->messageCount.set(12345);
                 sync->messageRetention.set(
                     MessageRetentionAssessment{MessageRetentionAssessment::Policy::thirtyDays,
                                                MessageRetentionAssessment::Evidence::preference});
             }),
    };
}

// ---- Main window ----

ChatSession sampleConversation(const std::string& id, const std::string& title,
                               const std::vector<std::pair<ChatRole, std::string>>& lines,
                               std::chrono::minutes ago) {
    ChatSession session;
    session.id = id;
    session.title = title;
    session.lastMessageAt = std::chrono::system_clock::now() - ago;
    session.createdAt = session.lastMessageAt;
    for (const auto& [role, text] : lines) {
        ChatMessage message;
        message.id = Uuid::random();
        message.role = role;
        message.text = text;
        message.timestamp = session.lastMessageAt;
        session.messages.push_back(std::move(message));
    }
    session.messageCount = static_cast<std::int64_t>(session.messages.size());
    return session;
}

// The main window's chat, as the application makes it.
std::function<QWidget*()> mainChatView(Scene& scene, UrlOpener& opener) {
    return [&scene, &opener]() -> QWidget* {
        return new ui::ChatView(scene.root->chatViewModel(), {.isReady = true,
                                                              .showsSessionControls = false,
                                                              .showsSources = true,
                                                              .focusesInputOnAppear = false,
                                                              .openSettings = {},
                                                              .urlOpener = &opener});
    };
}

std::vector<Subscription>& keptSubscriptions() {
    static std::vector<Subscription> subscriptions;
    return subscriptions;
}

// The awaiting screen at the window's smallest and at 750 pixels too: times and the heading whole.
enum class MainShot {
    empty,
    conversation,
    minimumSize,
    awaitingSelected,
    awaitingMinimumSize,
    awaitingAt750,
    // The list with the keyboard focus, moved one row down from the chat shown.
    listFocused,
    // A right-to-left title too long for the sidebar: its "…" at its cut end, on the left.
    rightToLeftTitle,
    // As it opens on a 1366x768 screen at twice the scale (683x384 logical), and maximised on
    // one at the scale of one: the work area whole.
    screen1366AtTwice,
    maximised1366,
    // A new chat as the window opens on a 1024x600 screen at twice the scale (512x300 logical),
    // and at its smallest there: the empty chat's heading whole.
    screen1024AtTwice,
    screen1024AtTwiceMinimum,
    // A conversation there at the window's smallest: the transcript scrolls above the composer.
    screen1024AtTwiceConversation,
    // Signed in, the login keyring locked since the start and no unlock under way: the question
    // asked is refused, its row saying so beside Unlock Keyring.
    keyringLockedQuestion
};

QWidget* mainWindow(Scene& scene, MainShot shot) {
    static NoClipboard clipboard;
    static NoUrlOpener opener;
    const bool on1024 = shot == MainShot::screen1024AtTwice ||
                        shot == MainShot::screen1024AtTwiceMinimum ||
                        shot == MainShot::screen1024AtTwiceConversation;
    const bool newChat = on1024 && shot != MainShot::screen1024AtTwiceConversation;
    const bool withConversation = shot != MainShot::empty && !newChat;
    if (shot == MainShot::keyringLockedQuestion) {
        storeAccountInKeyring(scene);
        keyringHoldsTheAccountBack(scene, SecretBackend::interactionNotAllowed);
    } else {
        scene.signIn();
    }
    auto chat = scene.root->chatViewModel();
    const bool awaitingShown = shot == MainShot::awaitingSelected ||
                               shot == MainShot::awaitingMinimumSize ||
                               shot == MainShot::awaitingAt750;
    const bool onAScreen =
        shot == MainShot::screen1366AtTwice || shot == MainShot::maximised1366 || on1024;
    if (shot == MainShot::minimumSize || shot == MainShot::listFocused || awaitingShown ||
        onAScreen) {
        // A title too long for any sidebar.
        using enum ChatRole;
        chat->adopt(sampleConversation(
            "s-3", "Planning the surprise party for Priya's thirtieth birthday in the garden",
            {{user, "Who is bringing the cake?"}, {assistant, "Tom said he would."}},
            std::chrono::minutes(60 * 24 * 9)));
    }
    if (shot == MainShot::rightToLeftTitle) {
        using enum ChatRole;
        chat->adopt(sampleConversation(
            "s-4",
            "\u05EA\u05DB\u05E0\u05D5\u05DF \u05DE\u05E1\u05D9\u05D1\u05EA "
            "\u05D4\u05D9\u05D5\u05DD \u05D4\u05D5\u05DC\u05D3\u05EA "
            "\u05D4\u05E4\u05EA\u05E2\u05D4 \u05E9\u05DC \u05E4\u05E8\u05D9\u05D4 "
            "\u05D1\u05D2\u05D9\u05E0\u05D4 \u05E2\u05DD \u05DB\u05D5\u05DC\u05DD",
            {{user,
              "\u05DE\u05D9 \u05DE\u05D1\u05D9\u05D0 \u05D0\u05EA "
              "\u05D4\u05E2\u05D5\u05D2\u05D4?"},
             {assistant, "Tom said he would."}},
            std::chrono::minutes(60 * 24 * 2)));
    }
    if (withConversation) {
        using enum ChatRole;
        chat->adopt(
            sampleConversation("s-2", "Mum\u2019s birthday",
                               {{user, "When is Mum\u2019s birthday dinner?"},
                                {assistant, "Saturday at 7pm at Lucia\u2019s, booked by Sam."}},
                               std::chrono::minutes(60 * 26)));
        chat->adopt(sampleConversation(
            "s-1", "Weekend at the cabin",
            {{user, "What did we decide about the cabin this weekend?"},
             {assistant,
              "In \u201cCabin crew\u201d on Tuesday, Priya offered to drive and Tom "
              "asked you to bring the board games. You agreed to arrive Friday "
              "around 6pm."}},
            std::chrono::minutes(4)));
    }
    auto* window = ui::makeMainWindow(
        mainWindowSources(*scene.root, clipboard, opener, mainChatView(scene, opener)));
    window->show();
    scene.drain();
    if (shot == MainShot::minimumSize || awaitingShown || onAScreen) {
        // Two people waiting, so the sidebar has its awaiting row and count. The window's own
        // refresh finds nobody in the sample history: the stand-in list is put back each time.
        const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
        const auto at = [now](std::int64_t ago) { return std::optional<std::int64_t>(now - ago); };
        const std::vector<AwaitingReply> waiting = {
            {"chat-1", "Maya Okafor", "+15550101", "Are we still on for dinner Friday?", 40,
             at(3 * 3600)},
            {"chat-2", "Jonas Berg", "jonas@example.com", "Sent you the draft", 30, at(26 * 3600)}};
        scene.defaults.set(scene.root->instanceScopedKey(ProactiveSurfaces::enabledKeyBase), true);
        auto awaiting = scene.root->awaitingReplyViewModel();
        keptSubscriptions().push_back(awaiting->replies().subscribe(
            [&scene, awaiting, waiting](const std::vector<AwaitingReply>& replies) {
                if (replies != waiting) {
                    scene.main.post([awaiting, waiting] { awaiting->replies().set(waiting); });
                }
            }));
    }
    if (awaitingShown) {
        window->model().select(SidebarSelection::awaitingReplies());
        window->render();
        scene.drain();
    }
    if (shot == MainShot::minimumSize || shot == MainShot::awaitingMinimumSize) {
        window->resize(window->minimumSizeHint());
    }
    if (shot == MainShot::listFocused) {
        window->activateWindow();
        auto* list = window->findChild<QWidget*>("session-list");
        list->setFocus(Qt::TabFocusReason);
        QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
        QCoreApplication::sendEvent(list, &down);
    }
    if (shot == MainShot::awaitingAt750) {
        window->resize(750, 480);
    }
    if (shot == MainShot::keyringLockedQuestion) {
        chat->inputText.set("Who is bringing the cake?");
        chat->send();
    }
    if (shot == MainShot::screen1366AtTwice) {
        const ui::Extent screen{683, 384};
        window->fitPanesTo(ui::roomOn(screen));
        ui::fitToArea(window, {900, 600}, {}, ui::noLimit, screen);
    }
    if (shot == MainShot::maximised1366) {
        window->fitPanesTo(ui::roomOn({1366, 768}));
        window->resize(1366, 768);
    }
    if (on1024) {
        if (newChat) {
            chat->startNewSession();
            scene.drain();
        }
        const ui::Extent screen{512, 300};
        window->fitPanesTo(ui::roomOn(screen));
        ui::fitToArea(window, {900, 600}, {}, ui::noLimit, screen);
        if (shot != MainShot::screen1024AtTwice) {
            window->resize(window->minimumSize());
        }
    }
    scene.drain();
    return window;
}

// --- Access step and account failures ------------------------------------------------------

// A folder opener whose desktop takes the address and then fails, as xdg-open does with no
// file manager for folders.
struct FailingFolderOpener final : UrlOpener {
    bool open(const std::string&) override { return true; }
    void openReporting(const std::string&, Finished finished) override {
        finished("xdg-open exited with status 3");
    }
};

// Why the credentials file could not be changed, in the file store's own words: produced by
// it, over a credentials file that is in the way.
std::string credentialsFileFailure(const std::filesystem::path& scratch) {
    const auto file = scratch / "credentials.json";
    std::filesystem::create_directories(file / "in the way");
    FileSecretBackend backend(file);
    return backend.remove("ai.vask.screenshots", "cloud.auth.session").reason;
}

std::vector<Shot> accessAndAccountShots(const std::filesystem::path& scratch) {
    return {
        {"onboarding", "access-open-failed",
         [](Scene& scene) -> QWidget* {
             const auto chatDB = ChatDBReader::defaultChatDBPath(scene.root->context().environment);
             std::filesystem::remove(chatDB);
             auto access = FullDiskAccessViewModel::make({
                 .probe =
                     [](const StructuredLogger&) {
                         return FullDiskAccessResult{false, "chat.db not found"};
                     },
                 .chatDBPath = chatDB,
                 .folderOpener = std::make_shared<FailingFolderOpener>(),
                 .main = scene.main,
                 .worker = scene.worker,
             });
             auto& root = *scene.root;
             auto model = OnboardingStepsModel::make({
                 .signIn = root.sharedGoogleSignInViewModel(),
                 .access = access,
                 .contacts = root.contactsSyncViewModel(),
                 .sync = root.shadowSyncViewModel(),
                 .state = root.onboardingState(),
                 .authMode = [&root] { return root.authMode(); },
                 .shouldPresentAtLaunch = {},
                 .chatDBPath = chatDB,
                 .main = scene.main,
                 .scheduler = scene.scheduler,
                 .actions = {},
                 .locale = "en_US",
             });
             root.onboardingState().save(OnboardingStep::fullDiskAccess);
             model->step.set(OnboardingStep::fullDiskAccess);
             access->checkAccess();
             scene.drain();
             access->openDatabaseFolder();
             scene.drain();
             // At its smallest: every line of the hint and the failure whole.
             auto* view = new ui::OnboardingView(model);
             view->resize(view->minimumSize());
             return view;
         }},
        {"settings", "sign-out-failed",
         [scratch](Scene& scene) -> QWidget* {
             scene.signIn();
             auto* window = settingsWindow(scene);
             window->show();
             scene.drain();
             std::dynamic_pointer_cast<InMemorySecretBackend>(scene.root->secretBackend())
                 ->fail(InMemorySecretBackend::Operation::remove,
                        std::string(CustomerTokenStore::defaultTokenKey),
                        SecretBackend::internalError, credentialsFileFailure(scratch));
             window->findChild<QPushButton*>("sign-out-button")->click();
             scene.drain();
             return window;
         }},
    };
}

// --- end of access step and account failures ----------------------------------------------

std::vector<Shot> mainWindowShots() {
    return {
        {"main", "empty", [](Scene& scene) { return mainWindow(scene, MainShot::empty); }},
        {"main", "conversation",
         [](Scene& scene) { return mainWindow(scene, MainShot::conversation); }},
        {"main", "minimum-size",
         [](Scene& scene) { return mainWindow(scene, MainShot::minimumSize); }},
        {"main", "awaiting-minimum-size",
         [](Scene& scene) { return mainWindow(scene, MainShot::awaitingMinimumSize); }},
        {"main", "awaiting-750",
         [](Scene& scene) { return mainWindow(scene, MainShot::awaitingAt750); }},
        {"main", "list-focused",
         [](Scene& scene) { return mainWindow(scene, MainShot::listFocused); }},
        {"main", "awaiting-selected",
         [](Scene& scene) { return mainWindow(scene, MainShot::awaitingSelected); }},
        {"main", "rtl-title",
         [](Scene& scene) { return mainWindow(scene, MainShot::rightToLeftTitle); }},
        {"main", "screen-1366x768-scale-2",
         [](Scene& scene) { return mainWindow(scene, MainShot::screen1366AtTwice); }},
        {"main", "maximised-1366x768",
         [](Scene& scene) { return mainWindow(scene, MainShot::maximised1366); }},
        {"main", "screen-1024x600-scale-2",
         [](Scene& scene) { return mainWindow(scene, MainShot::screen1024AtTwice); }},
        {"main", "screen-1024x600-scale-2-minimum",
         [](Scene& scene) { return mainWindow(scene, MainShot::screen1024AtTwiceMinimum); }},
        {"main", "screen-1024x600-scale-2-conversation",
         [](Scene& scene) { return mainWindow(scene, MainShot::screen1024AtTwiceConversation); }},
        // A helper to run, so that the question reaches the keyring: it is refused before it.
        {"main", "keyring-locked-question",
         [](Scene& scene) { return mainWindow(scene, MainShot::keyringLockedQuestion); },
         {},
         {{"VASK_RLM_HELPER_CMD", "/bin/true"}}},
        // The confirmation of a chat's deletion, as the sidebar asks it.
        {"dialog", "delete-chat",
         [](Scene&) -> QWidget* {
             auto* box = new QMessageBox;
             ui::fillConfirmation(*box, {.title = "Delete this chat?",
                                         .message = ui::SessionSidebar::deleteMessage,
                                         .action = "Delete Chat",
                                         .actionIdentifier = "confirm-delete-chat"});
             return box;
         }},
        // No tray on this desktop: the window's own way to sign in.
        {"main", "signed-out-no-tray",
         [](Scene& scene) -> QWidget* {
             static NoClipboard clipboard;
             static NoUrlOpener opener;
             return ui::makeMainWindow(
                 mainWindowSources(*scene.root, clipboard, opener, mainChatView(scene, opener)));
         }},
    };
}

// What the popover and chat shots share: no clipboard, no desktop to open addresses.
NoClipboard& shotClipboard() {
    static NoClipboard clipboard;
    return clipboard;
}

UrlOpener& shotUrlOpener() {
    static NoUrlOpener opener;
    return opener;
}

// The popover over a session of `exchanges` questions and answers, placed by `place`.
QWidget* popoverWithChat(Scene& scene, int exchanges,
                         const std::function<void(ui::VaskMenu&)>& place) {
    auto& models = keptPopoverModels();
    scene.signIn();
    models.push_back(popoverModel(scene));
    auto* chat =
        new ui::ChatView(scene.root->popoverChatViewModel(), {.isReady = true,
                                                              .showsSources = false,
                                                              .focusesInputOnAppear = true,
                                                              .urlOpener = &shotUrlOpener()});
    auto* menu = new ui::VaskMenu(*models.back(), chat, shotClipboard(), {});
    place(*menu);
    menu->show();
    scene.drain();
    scene.root->shadowSyncViewModel()->simulateSynced();
    chat_samples::show(*scene.root->popoverChatViewModel(),
                       chat_samples::session(exchanges, 1796630400));
    return menu;
}

}  // namespace

std::vector<Shot> allShots(const std::filesystem::path& scratch) {
    std::vector<Shot> shots = {
        {"popover", "setup",
         [](Scene& scene) -> QWidget* {
             keptPopoverModels().push_back(popoverModel(scene));
             return new ui::VaskMenu(*keptPopoverModels().back(), new QWidget, shotClipboard(), {});
         }},
        {"popover", "chat",
         [](Scene& scene) -> QWidget* {
             scene.signIn();
             keptPopoverModels().push_back(popoverModel(scene));
             auto* menu =
                 new ui::VaskMenu(*keptPopoverModels().back(), new QWidget, shotClipboard(), {});
             menu->show();
             scene.drain();
             scene.root->shadowSyncViewModel()->lastError.set(
                 "Could not read chat.db: database is locked");
             return menu;
         }},
        // Awaiting-replies screen.
        {"awaiting", "conversations",
         [](Scene& scene) {
             return awaitingScreen(scene, AwaitingState::conversations, shotClipboard(),
                                   shotUrlOpener());
         }},
        {"awaiting", "draft",
         [](Scene& scene) {
             return awaitingScreen(scene, AwaitingState::draft, shotClipboard(), shotUrlOpener());
         }},
        {"awaiting", "draft-1024x600-scale-2",
         [](Scene& scene) {
             return awaitingScreen(scene, AwaitingState::narrowDraft, shotClipboard(),
                                   shotUrlOpener());
         }},
        {"awaiting", "failed-draft",
         [](Scene& scene) {
             return awaitingScreen(scene, AwaitingState::failedDraft, shotClipboard(),
                                   shotUrlOpener());
         }},
        {"awaiting", "copied",
         [](Scene& scene) {
             return awaitingScreen(scene, AwaitingState::copied, shotClipboard(), shotUrlOpener());
         }},
        // Copy Reply pressed by Return: copied, and the focus still on it.
        {"awaiting", "copied-by-keyboard",
         [](Scene& scene) {
             return awaitingScreen(scene, AwaitingState::draft, shotClipboard(), shotUrlOpener());
         },
         [](QWidget* view, Scene& scene) {
             pressByKeyboard(view, scene, "awaiting.send", Qt::Key_Return);
         }},
        // Chat views.
        {"chat", "empty",
         [](Scene& scene) { return chatScreen(scene, ChatShot::empty, shotUrlOpener()); }},
        {"chat", "thinking",
         [](Scene& scene) { return chatScreen(scene, ChatShot::thinking, shotUrlOpener()); }},
        {"chat", "answer",
         [](Scene& scene) { return chatScreen(scene, ChatShot::answer, shotUrlOpener()); }},
        {"chat", "indexing",
         [](Scene& scene) { return chatScreen(scene, ChatShot::indexing, shotUrlOpener()); }},
        {"chat", "limit-api-key",
         [](Scene& scene) { return chatScreen(scene, ChatShot::limitApiKey, shotUrlOpener()); }},
        {"chat", "limit-free",
         [](Scene& scene) { return chatScreen(scene, ChatShot::limitFree, shotUrlOpener()); }},
        {"chat", "limit-pro",
         [](Scene& scene) { return chatScreen(scene, ChatShot::limitPro, shotUrlOpener()); }},
        {"chat", "limit-max",
         [](Scene& scene) { return chatScreen(scene, ChatShot::limitMax, shotUrlOpener()); }},
        {"chat", "long-reasoning",
         [](Scene& scene) { return chatScreen(scene, ChatShot::longReasoning, shotUrlOpener()); }},
        {"chat", "cut-answer",
         [](Scene& scene) { return chatScreen(scene, ChatShot::cutAnswer, shotUrlOpener()); }},
        {"chat", "bubble-sizes",
         [](Scene& scene) { return chatScreen(scene, ChatShot::bubbleSizes, shotUrlOpener()); }},
        {"chat", "loading",
         [](Scene& scene) { return chatScreen(scene, ChatShot::loading, shotUrlOpener()); }},
        {"chat", "live-answers",
         [](Scene& scene) { return chatScreen(scene, ChatShot::liveAnswers, shotUrlOpener()); }},
        {"chat", "theme-changed-scrolled",
         [](Scene& scene) {
             return chatScreen(scene, ChatShot::themeChangedScrolled, shotUrlOpener());
         }},
        {"chat", "source-card",
         [](Scene& scene) { return chatScreen(scene, ChatShot::sourceCard, shotUrlOpener()); }},
        // The open sources' "Sources (n)" pressed by Return: they close, the focus still on the
        // toggle.
        {"chat", "sources-closed-by-keyboard",
         [](Scene& scene) { return chatScreen(scene, ChatShot::answer, shotUrlOpener()); },
         [](QWidget* view, Scene& scene) {
             pressByKeyboard(view, scene, "sourcesToggle", Qt::Key_Return);
         }},
        {"chat", "two-failures",
         [](Scene& scene) { return chatScreen(scene, ChatShot::twoFailures, shotUrlOpener()); }},
        {"chat", "open-failed",
         [](Scene& scene) { return chatScreen(scene, ChatShot::openFailed, shotUrlOpener()); }},
        {"chat", "long-word",
         [](Scene& scene) { return chatScreen(scene, ChatShot::longWord, shotUrlOpener()); }},
        // A 1366x768 screen at twice the density (683x384 logical), a 12-point panel at the
        // bottom with the icon: the popover takes the room above the icon, its chat scrolling.
        {"popover", "scale-2",
         [](Scene& scene) -> QWidget* {
             return popoverWithChat(scene, 3, [](ui::VaskMenu& menu) {
                 menu.resize(ui::popoverSize(QRect(640, 372, 24, 12), menu.sizeHint(),
                                             menu.minimumSizeHint(), QRect(0, 0, 683, 372)));
             });
         }},
        // A 1024x600 screen at twice the density (512x300 logical), the panel at the bottom.
        {"popover", "screen-1024x600-scale-2",
         [](Scene& scene) -> QWidget* {
             return popoverWithChat(scene, 0, [](ui::VaskMenu& menu) {
                 menu.resize(ui::popoverSize(QRect(470, 288, 24, 12), menu.sizeHint(),
                                             menu.minimumSizeHint(), QRect(0, 0, 512, 288)));
             });
         }},
        {"popover", "with-chat",
         [](Scene& scene) -> QWidget* { return popoverWithChat(scene, 1, [](ui::VaskMenu&) {}); }},
        // The same screen under Wayland, where the compositor places the popover and Qt knows
        // of no panel: room is left above and below for one.
        {"popover", "wayland-1024x600-scale-2",
         [](Scene& scene) -> QWidget* {
             return popoverWithChat(scene, 0, [](ui::VaskMenu& menu) {
                 const QRect screen(0, 0, 512, 300);
                 const QRect room = ui::popoverRoom(screen, screen);
                 menu.resize(ui::popoverSize(QRect(room.center().x(), room.top(), 1, 1),
                                             menu.sizeHint(), menu.minimumSizeHint(), room));
             });
         }},
        // End of chat views.
    };

    for (auto& shot : settingsShots()) {
        shots.push_back(std::move(shot));
    }
    for (auto& shot : onboardingShots()) {
        shots.push_back(std::move(shot));
    }
    for (auto& shot : mainWindowShots()) {
        shots.push_back(std::move(shot));
    }
    for (auto& shot : accessAndAccountShots(scratch)) {
        shots.push_back(std::move(shot));
    }
    // Alerts: a launch that can neither start nor reach the running instance, and files of the
    // user that Vask could not keep.
    const std::pair<const char*, Alert> alerts[] = {
        {"launch-failed",
         ui::SingleInstance::failureAlert(
             "Another Vask holds /run/user/1000/vask-1000-Vask.lock but does not answer at "
             "/run/user/1000/vask-1000-Vask.")},
        {"settings-unwritable",
         fileProblemAlert({FileProblem::Kind::settingsUnwritable,
                           "/home/ada/.config/vask/ai.ternwick.Vask.json", std::nullopt,
                           "Could not read /home/ada/.config/vask/ai.ternwick.Vask.json: Is a "
                           "directory"})},
        {"credentials-damaged",
         fileProblemAlert({FileProblem::Kind::credentialsDamaged,
                           "/home/ada/.local/share/Vask/credentials.json",
                           "/home/ada/.local/share/Vask/credentials.json.corrupt-1796630400",
                           {}})},
    };
    // The About box, its link reached by Tab.
    shots.push_back(
        Shot{"alert", "about", [](Scene&) -> QWidget* {
                 // Kept when closed: the shot owns it.
                 auto* box = ui::showAboutBox(
                     "About Vask",
                     "<b>Vask</b> 0.1.0<br><br><a href=\"https://ternwick.ai\">ternwick.ai</a>",
                     ui::appIcon().pixmap(64), shotUrlOpener());
                 box->setAttribute(Qt::WA_DeleteOnClose, false);
                 return box;
             }});
    for (const auto& entry : alerts) {
        shots.push_back(Shot{"alert", entry.first, [alert = entry.second](Scene&) -> QWidget* {
                                 auto* box = new QMessageBox;
                                 ui::fillAlertBox(*box, alert);
                                 return box;
                             }});
    }

    return shots;
}

void settle() {
    for (int turn = 0; turn < 3; ++turn) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QApplication::processEvents();
    }
}

ShownShot::ShownShot(const Shot& shot, const std::filesystem::path& scratch) {
    std::filesystem::remove_all(scratch);
    scene_ = std::make_unique<Scene>(scratch / "home", shot.environment);
    widget_.reset(shot.build(*scene_));
    widget_->setWindowFlags(Qt::Widget);
    widget_->show();
    scene_->drain();
    settle();
    if (shot.then) {
        shot.then(widget_.get(), *scene_);
        settle();
    }
}

ShownShot::~ShownShot() {
    widget_.reset();
    keptPopoverModels().clear();
    keptMemoryModels().clear();
    keptSubscriptions().clear();
}

}  // namespace vask::screenshots
