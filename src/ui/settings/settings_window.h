#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "foundation/auth_mode.h"
#include "foundation/google_sign_in_view_model.h"
#include "memory/memory_settings_navigation.h"
#include "memory/memory_settings_view_model.h"
#include "platform/subscription.h"
#include "platform/url_opener.h"
#include "platform/user_defaults.h"
#include "relay/billing_view_model.h"
#include "relay/preset_catalog_service.h"
#include "shell/contacts_sync_view_model.h"
#include "shell/settings_presenter.h"
#include "ui/settings/form_parts.h"

class QLabel;
class QScrollArea;

namespace vask::ui {

class AccountSettingsPanel;
class BillingSettingsPanel;
class ContactsSettingsPanel;
class MemorySettingsPanel;
class ProactiveSurfacesPanel;

// The Settings window: one fixed-size form of the account, plan, contacts, memory and proactive
// sections, each shown when the account calls for it.
class SettingsWindow : public QWidget {
    Q_OBJECT
  public:
    struct Dependencies {
        std::shared_ptr<GoogleSignInViewModel> signIn;
        std::function<AuthMode()> authMode;
        // Subscribes to each arrival of a newly resolved mode (a keyring unlocked, here or
        // elsewhere, or answering again): the account and the plan follow it. Absent: they
        // follow only what the window sees itself.
        std::function<Subscription(std::function<void()>)> observeAuthMode;
        // Unlocks the keyring, as the chat's button does: `done` gets the failure's text,
        // nothing once unlocked. Absent: no "Unlock".
        std::function<void(std::function<void(std::optional<std::string>)>)> unlockKeyring;
        // Asks a keyring that did not answer once more, without a prompt; `done` runs once it
        // was asked. Absent: no "Try Again".
        std::function<void(std::function<void()>)> askKeyringAgain;
        std::function<bool()> hasGoogleAuthService;
        // Called once, when the window is made: the window keeps its own plan figures.
        std::function<std::shared_ptr<BillingViewModel>()> makeBillingViewModel;
        std::shared_ptr<PresetCatalogService> catalogService;
        std::shared_ptr<ContactsSyncViewModel> contacts;
        std::shared_ptr<MemorySettingsViewModel> memory;
        MemorySettingsNavigation& navigation;
        MemoryPrincipalProvider memoryPrincipal;
        UserDefaults& defaults;
        settings::ProactiveKeys proactiveKeys;
        // Empty members: flipping the master switch only stores it.
        settings::ProactiveSwitchReaction::Seams proactiveReaction;
        // What a completed sign-out does besides signing out.
        std::vector<std::function<void()>> refreshChatCredentials;
        std::function<void()> resetOnboarding;
        std::function<void()> closeMain;
        std::function<void()> openOnboarding;
        // The account page and what opens it; the plan's subscription link says when it did
        // not open.
        std::function<std::string()> accountPage;
        UrlOpener* urlOpener = nullptr;
        Confirm confirm = standardConfirm();
    };

    static constexpr int width = 480;
    static constexpr int height = 740;
    static constexpr int minimumHeight = 320;

    explicit SettingsWindow(Dependencies dependencies, QWidget* parent = nullptr);
    ~SettingsWindow() override;

    // Re-decides which sections show.
    void render();
    void signOut();
    void unlockKeyring();
    void askKeyringAgain();

    const std::optional<QString>& signOutError() const { return signOutError_; }
    const std::shared_ptr<BillingViewModel>& billingViewModel() const { return billingViewModel_; }
    BillingSettingsPanel* billingPanel() const { return billing_; }
    MemorySettingsPanel* memoryPanel() const { return memory_; }

  protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Escape puts the settings away, as it would a dialog.
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void fitForm();
    // Scrolls the form to show the control with the focus, when the form has it.
    void showFocusedField();
    // Tab follows the form's reading order, rows a section drew again (a plan's rows once its
    // figures came) included.
    void orderFocus();

    Dependencies deps_;
    QScrollArea* scroll_ = nullptr;
    // From the opening until the user scrolls, the focused control stays in view as the form
    // fills in.
    bool keepFocusInView_ = false;
    QWidget* form_ = nullptr;
    std::shared_ptr<BillingViewModel> billingViewModel_;
    std::optional<QString> signOutError_;
    // The keyring's prompt is open, asked from here; and why the last unlock did not.
    bool unlocking_ = false;
    std::optional<QString> unlockError_;
    // A keyring that did not answer is being asked again from here.
    bool askingAgain_ = false;
    // Which account the window last showed, so it logs each change once.
    std::optional<settings::account::Row> shownAccount_;
    QLabel* banner_ = nullptr;
    AccountSettingsPanel* account_ = nullptr;
    BillingSettingsPanel* billing_ = nullptr;
    ContactsSettingsPanel* contacts_ = nullptr;
    MemorySettingsPanel* memory_ = nullptr;
    ProactiveSurfacesPanel* proactive_ = nullptr;
    std::vector<Subscription> subscriptions_;
};

}  // namespace vask::ui
