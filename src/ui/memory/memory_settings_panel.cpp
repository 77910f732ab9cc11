#include "ui/memory/memory_settings_panel.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "memory/memory_settings_presentation.h"
#include "shell/observe_all.h"
#include "ui/memory/memory_manager_view.h"
#include "ui/window_registry.h"

namespace vask::ui {

namespace presentation = MemorySettingsPresentation;

MemorySettingsPanel::MemorySettingsPanel(std::shared_ptr<MemorySettingsViewModel> viewModel,
                                         MemorySettingsNavigation& navigation,
                                         MemoryPrincipalProvider principalProvider, Confirm confirm,
                                         QWidget* parent)
    : FormSection("Memory", parent),
      viewModel_(std::move(viewModel)),
      navigation_(navigation),
      principalProvider_(std::move(principalProvider)),
      confirm_(std::move(confirm)) {
    auto* row = new QHBoxLayout;
    row->addWidget(symbolLabel("brain.head.profile", ThemeColour::secondary));
    summary_ = styledText({}, FontRole::body, ThemeColour::secondary);
    summary_->setObjectName("memory-summary");
    row->addWidget(summary_, 1);
    manage_ = smallButton("Manage\u2026", "manage-memory-button");
    connect(manage_, &QPushButton::clicked, this, &MemorySettingsPanel::presentManager);
    row->addWidget(manage_);
    body()->addLayout(row);
    note_ = styledText({}, FontRole::caption, ThemeColour::secondary, true);
    note_->setObjectName("memory-note");
    body()->addWidget(note_);

    subscriptions_.push_back(observeAll([this] { render(); }, viewModel_->associations,
                                        viewModel_->isLoading, viewModel_->errorMessage));
    subscriptions_.push_back(navigation_.managerRequestID.subscribe(
        [this](const auto&) { presentRequestedManager(); }, Delivery::changesOnly));
    render();
}

void MemorySettingsPanel::render() {
    const bool available = viewModel_->isAvailable();
    const bool becameAvailable = available && !wasAvailable_;
    wasAvailable_ = available;
    const bool held =
        !available && viewModel_->hasStore() && keyringHold_ != presentation::KeyringHold::none;
    summary_->setText(qs(presentation::summary(
        viewModel_->hasStore(), available, static_cast<int>(viewModel_->associations.get().size()),
        keyringHold_)));
    summary_->setWordWrap(held);
    manage_->setEnabled(available);
    if (const auto& error = viewModel_->errorMessage.get()) {
        note_->setText(qs(*error));
        setTextColour(note_, errorRed());
    } else {
        note_->setText(presentation::privacyNote);
        setTextColour(note_, ThemeColour::secondary);
    }
    // Another account, or none, since the list was followed: follow the new one.
    if (isVisible()) {
        followPrincipal();
        // Memory that became available while on screen (a keyring answered) takes the request
        // a chat made meanwhile.
        if (becameAvailable) {
            presentRequestedManager();
        }
    }
}

void MemorySettingsPanel::followKeyring(presentation::KeyringHold hold) {
    keyringHold_ = hold;
    render();
}

void MemorySettingsPanel::followPrincipal() {
    std::optional<std::string> principal;
    if (auto current = principalProvider_ ? principalProvider_() : std::nullopt) {
        principal = current->rawValue();
    }
    if (following_ || (monitor_ && principal == monitoredPrincipal_)) {
        return;
    }
    following_ = true;
    monitor_.reset();
    monitoredPrincipal_ = principal;
    monitor_.emplace(viewModel_->monitorChanges());
    following_ = false;
}

void MemorySettingsPanel::showEvent(QShowEvent* event) {
    FormSection::showEvent(event);
    followPrincipal();
    presentRequestedManager();
}

void MemorySettingsPanel::hideEvent(QHideEvent* event) {
    FormSection::hideEvent(event);
    monitor_.reset();
}

void MemorySettingsPanel::presentRequestedManager() {
    const auto request = navigation_.managerRequestID.get();
    if (const auto id = presentation::requestToPresent(request, viewModel_->isAvailable())) {
        presentManager();
        navigation_.consumeManagerRequest(*id);
    }
}

void MemorySettingsPanel::presentManager() {
    // Over Settings, modal to it, it takes the keyboard: Settings could take no key meanwhile.
    if (manager_) {
        bringToFront(manager_);
        return;
    }
    manager_ = new MemoryManagerView(viewModel_, confirm_, window());
    manager_->setAttribute(Qt::WA_DeleteOnClose);
    manager_->open();
    bringToFront(manager_);
}

}  // namespace vask::ui
