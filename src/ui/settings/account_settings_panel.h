#pragma once

#include <functional>
#include <optional>

#include "ui/settings/form_parts.h"

namespace vask::ui {

// The "Account" section: who is signed in, and "Sign Out"; signed out, "Not signed in" and
// "Sign In…". A sign-out that failed leaves its message here.
class AccountSettingsPanel : public FormSection {
    Q_OBJECT
  public:
    AccountSettingsPanel(std::function<void()> onSignOut, std::function<void()> onSignIn,
                         QWidget* parent = nullptr);

    // `email` absent: signed out.
    void present(const std::optional<QString>& email, const std::optional<QString>& error);

  private:
    QLabel* email_ = nullptr;
    QPushButton* signOut_ = nullptr;
    QPushButton* signIn_ = nullptr;
    QLabel* error_ = nullptr;
};

}  // namespace vask::ui
