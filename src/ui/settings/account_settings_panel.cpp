#include "ui/settings/account_settings_panel.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace vask::ui {

AccountSettingsPanel::AccountSettingsPanel(std::function<void()> onSignOut, QWidget* parent)
    : FormSection("Account", parent) {
    auto* row = new QHBoxLayout;
    row->addWidget(symbolLabel("person.circle.fill", ThemeColour::secondary, 18));
    email_ = styledText({}, FontRole::body, ThemeColour::ink);
    email_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(email_, 1);
    auto* signOut = smallButton("Sign Out", "sign-out-button");
    connect(signOut, &QPushButton::clicked, this,
            [onSignOut = std::move(onSignOut)] { onSignOut(); });
    row->addWidget(signOut);
    body()->addLayout(row);
    error_ = styledText({}, FontRole::caption, errorRed(), true);
    error_->setObjectName("sign-out-error");
    error_->hide();
    body()->addWidget(error_);
}

void AccountSettingsPanel::present(const QString& email, const std::optional<QString>& error) {
    email_->setText(email);
    email_->setAccessibleName(email);
    error_->setText(error.value_or(QString()));
    error_->setVisible(error.has_value());
}

}  // namespace vask::ui
