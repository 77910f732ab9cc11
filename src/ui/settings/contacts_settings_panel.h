#pragma once

#include <memory>
#include <vector>

#include "platform/subscription.h"
#include "shell/contacts_sync_view_model.h"
#include "ui/settings/form_parts.h"

namespace vask::ui {

// The "Contacts" section: whether Contacts may be read, the one action that fits, "Sync Now" and
// when the last synchronisation completed. Everything comes from the shared view model.
class ContactsSettingsPanel : public FormSection {
    Q_OBJECT
  public:
    explicit ContactsSettingsPanel(std::shared_ptr<ContactsSyncViewModel> model,
                                   QWidget* parent = nullptr);

    void render();

  private:
    std::shared_ptr<ContactsSyncViewModel> model_;
    QWidget* rows_ = nullptr;
    std::vector<Subscription> subscriptions_;
};

}  // namespace vask::ui
