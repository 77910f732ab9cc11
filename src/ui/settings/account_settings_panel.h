#pragma once

#include <functional>
#include <optional>

#include "ui/settings/form_parts.h"

namespace vask::ui {

// The "Account" section: who is signed in, and "Sign Out". A sign-out that failed leaves its
// message here.
class AccountSettingsPanel : public FormSection {
    Q_OBJECT
  public:
    AccountSettingsPanel(std::function<void()> onSignOut, QWidget* parent = nullptr);

    void present(const QString& email, const std::optional<QString>& error);

  private:
    QLabel* email_ = nullptr;
    QLabel* error_ = nullptr;
};

}  // namespace vask::ui
