#include "ui/settings/account_settings_panel.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "shell/main_window_model.h"
#include "ui/keyboard.h"

namespace vask::ui {

AccountSettingsPanel::AccountSettingsPanel(std::function<void()> onSignOut,
                                           std::function<void()> onSignIn,
                                           std::function<void()> onUnlock,
                                           std::function<void()> onTryAgain, QWidget* parent)
    : FormSection("Account", parent) {
    auto* row = new QHBoxLayout;
    row->addWidget(symbolLabel("person.circle.fill", ThemeColour::secondary, 18));
    email_ = styledText({}, FontRole::body, ThemeColour::ink);
    email_->setObjectName("settings-account-line");
    email_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(email_, 1);
    // While Unlock's prompt is open or Try Again asks the keyring, the button is hidden: the
    // line saying so holds the focus, which goes back to the button when it returns.
    setStandsInFor(email_, {"settings-unlock-keyring-button", "settings-try-keyring-again-button"});
    signOut_ = smallButton("Sign Out", "sign-out-button");
    markDestructive(signOut_);
    connect(signOut_, &QPushButton::clicked, this,
            [onSignOut = std::move(onSignOut)] { onSignOut(); });
    row->addWidget(signOut_);
    signIn_ = smallButton(MainWindowModel::signInTitle, "sign-in-button");
    Theme::useAccentButton(signIn_);
    connect(signIn_, &QPushButton::clicked, this, [onSignIn = std::move(onSignIn)] {
        if (onSignIn) {
            onSignIn();
        }
    });
    row->addWidget(signIn_);
    unlock_ = smallButton(qs(std::string(settings::account::unlockAction)),
                          "settings-unlock-keyring-button");
    connect(unlock_, &QPushButton::clicked, this, [onUnlock = std::move(onUnlock)] {
        if (onUnlock) {
            onUnlock();
        }
    });
    row->addWidget(unlock_);
    tryAgain_ = smallButton(qs(std::string(settings::account::tryAgainAction)),
                            "settings-try-keyring-again-button");
    connect(tryAgain_, &QPushButton::clicked, this, [onTryAgain = std::move(onTryAgain)] {
        if (onTryAgain) {
            onTryAgain();
        }
    });
    row->addWidget(tryAgain_);
    body()->addLayout(row);
    error_ = styledText({}, FontRole::caption, errorRed(), true);
    error_->setObjectName("sign-out-error");
    error_->hide();
    body()->addWidget(error_);
}

void AccountSettingsPanel::present(const settings::account::Presentation& account,
                                   const std::optional<QString>& error) {
    // A button hidden while it works keeps the focus in this section, never on the next one's.
    const FocusKeeper::Rebuild keepsFocus(this);
    const QString shown = qs(account.text);
    email_->setText(shown);
    email_->setAccessibleName(shown);
    email_->setWordWrap(account.row != settings::account::Row::signedIn);
    setTextColour(email_, account.row == settings::account::Row::signedIn ? ThemeColour::ink
                                                                          : ThemeColour::secondary);
    signOut_->setVisible(account.signOut);
    signIn_->setVisible(account.signIn);
    unlock_->setVisible(account.unlock);
    tryAgain_->setVisible(account.tryAgain);
    error_->setText(error.value_or(QString()));
    error_->setVisible(error.has_value());
}

}  // namespace vask::ui
