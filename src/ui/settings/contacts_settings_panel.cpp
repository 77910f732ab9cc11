#include "ui/settings/contacts_settings_panel.h"

#include <QHBoxLayout>
#include <QLocale>
#include <QVBoxLayout>

#include "shell/observe_all.h"
#include "shell/settings_presenter.h"
#include "ui/keyboard.h"

namespace vask::ui {

namespace {

QString shortDateTime(Clock::WallTime time) {
    return QString::fromStdString(
        settings::abbreviatedDateTime(time, QLocale().name().toStdString()));
}

}  // namespace

ContactsSettingsPanel::ContactsSettingsPanel(std::shared_ptr<ContactsSyncViewModel> model,
                                             QWidget* parent)
    : FormSection("Contacts", parent), model_(std::move(model)) {
    rows_ = new QWidget;
    new QVBoxLayout(rows_);
    rows_->layout()->setContentsMargins(0, 0, 0, 0);
    body()->addWidget(rows_);
    subscriptions_.push_back(observeAll([this] { render(); }, model_->authorizationState,
                                        model_->isBusy, model_->lastError, model_->lastSyncedAt,
                                        model_->folderProblem));
    render();
}

void ContactsSettingsPanel::render() {
    // A control pressed in the rows keeps the focus once they are rebuilt.
    const FocusKeeper::Rebuild keepsFocus(this);
    auto* column = static_cast<QVBoxLayout*>(rows_->layout());
    clearLayout(column);
    const auto shown = settings::contacts::present(
        model_->authorizationState.get(), model_->isBusy.get(), model_->lastSyncedAt.get(),
        model_->lastError.get(), model_->folderProblem.get());
    using settings::contacts::Row;
    if (shown.row == Row::restricted) {
        column->addWidget(
            styledText(qs(shown.message), FontRole::body, ThemeColour::secondary, true));
    } else {
        auto* row = new QHBoxLayout;
        if (shown.row == Row::enabled) {
            row->addWidget(symbolLabel("checkmark.circle.fill", ThemeColour::secondary));
        }
        auto* message = styledText(qs(shown.message), FontRole::body, ThemeColour::secondary, true);
        row->addWidget(message, 1);
        const bool prominent = shown.row == Row::unavailable;
        // No button at all where there is nothing to do here.
        if (!shown.actionLabel.empty()) {
            auto* action = smallButton(qs(shown.actionLabel), prominent ? "contacts-access-button"
                                                                        : "contacts-sync-button");
            action->setEnabled(shown.actionEnabled);
            // The section's one action, whatever it is called now (Try Again after a failed
            // sync): it takes the focus the other had.
            setStandsInFor(action, {"contacts-sync-button", "contacts-access-button"});
            action->setDefault(prominent);
            action->setProperty("prominent", prominent);
            if (prominent) {
                connect(action, &QPushButton::clicked, this,
                        [this] { model_->requestAccessAndSync(); });
            } else {
                connect(action, &QPushButton::clicked, this, [this] { model_->syncNow(); });
            }
            if (shown.actionBelow) {
                column->addLayout(row);
                row = new QHBoxLayout;
                row->addStretch();
            }
            row->addWidget(action, 0, Qt::AlignVCenter);
        }
        column->addLayout(row);
        if (shown.lastSynced) {
            auto* synced = new QHBoxLayout;
            synced->addWidget(styledText("Last synced", FontRole::body, ThemeColour::ink));
            synced->addStretch();
            synced->addWidget(styledText(shortDateTime(*shown.lastSynced), FontRole::body,
                                         ThemeColour::secondary));
            column->addLayout(synced);
        }
    }
    if (shown.error) {
        auto* error = styledText(qs(*shown.error), FontRole::caption, errorRed(), true);
        error->setObjectName("contacts-error");
        column->addWidget(error);
    }
    settleLayouts(rows_);
}

}  // namespace vask::ui
