#pragma once

#include <QPointer>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "memory/memory_principal.h"
#include "memory/memory_settings_navigation.h"
#include "memory/memory_settings_presentation.h"
#include "memory/memory_settings_view_model.h"
#include "platform/subscription.h"
#include "ui/memory/memory_manager_view.h"
#include "ui/settings/form_parts.h"

namespace vask::ui {

// The "Memory" section of Settings: how many associations are saved, "Manage…" for the manager,
// and the privacy note or the last error. Follows the store's changes while on screen, for the
// account signed in at the time; opens the manager when a chat asked for it. While a keyring
// holds the account back it says so, and follows the account once the keyring answers.
class MemorySettingsPanel : public FormSection {
    Q_OBJECT
  public:
    MemorySettingsPanel(std::shared_ptr<MemorySettingsViewModel> viewModel,
                        MemorySettingsNavigation& navigation,
                        MemoryPrincipalProvider principalProvider, Confirm confirm,
                        QWidget* parent = nullptr);

    void render();
    // What the keyring holds back now, as the settings window last saw it: the summary says so,
    // and memory that became available is followed (and a chat's request to manage it taken).
    void followKeyring(MemorySettingsPresentation::KeyringHold hold);
    void presentManager();
    MemoryManagerView* manager() const { return manager_; }

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    void followPrincipal();
    void presentRequestedManager();

    std::shared_ptr<MemorySettingsViewModel> viewModel_;
    MemorySettingsNavigation& navigation_;
    MemoryPrincipalProvider principalProvider_;
    Confirm confirm_;
    QLabel* summary_ = nullptr;
    QPushButton* manage_ = nullptr;
    QLabel* note_ = nullptr;
    QPointer<MemoryManagerView> manager_;
    std::optional<MemorySettingsViewModel::Monitor> monitor_;
    std::optional<std::string> monitoredPrincipal_;
    bool following_ = false;
    MemorySettingsPresentation::KeyringHold keyringHold_ =
        MemorySettingsPresentation::KeyringHold::none;
    // Whether the last render found memory available.
    bool wasAvailable_ = false;
    std::vector<Subscription> subscriptions_;
};

}  // namespace vask::ui
