#pragma once

#include <functional>
#include <optional>

#include "shell/settings_presenter.h"
#include "ui/settings/form_parts.h"

namespace vask::ui {

// The "Account" section: who is signed in, and "Sign Out"; signed out, "Not signed in" and
// "Sign In…"; behind a locked keyring, so, with "Unlock"; behind one that does not answer, so,
// with "Try Again". A sign-out or unlock that failed leaves its message here.
class AccountSettingsPanel : public FormSection {
    Q_OBJECT
  public:
    AccountSettingsPanel(std::function<void()> onSignOut, std::function<void()> onSignIn,
                         std::function<void()> onUnlock = {}, std::function<void()> onTryAgain = {},
                         QWidget* parent = nullptr);

    void present(const settings::account::Presentation& account,
                 const std::optional<QString>& error);

  private:
    QLabel* email_ = nullptr;
    QPushButton* signOut_ = nullptr;
    QPushButton* signIn_ = nullptr;
    QPushButton* unlock_ = nullptr;
    QPushButton* tryAgain_ = nullptr;
    QLabel* error_ = nullptr;
};

}  // namespace vask::ui
