#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/subscription.h"
#include "relay/billing_panel_presenter.h"
#include "relay/billing_view_model.h"
#include "relay/preset_catalog_service.h"
#include "ui/settings/form_parts.h"

class QToolButton;
class QProgressBar;

namespace vask::ui {

// The "Plan" section: the plan, its price and period, the response-quality picker, a usage
// warning and the subscription link for an account; the balance for a developer key. Loads the
// figures each time it is shown and on "Refresh plan".
class BillingSettingsPanel : public FormSection {
    Q_OBJECT
  public:
    // `openAccountPage` opens the account page of the cloud backend in the browser.
    BillingSettingsPanel(std::shared_ptr<BillingViewModel> viewModel,
                         std::shared_ptr<PresetCatalogService> catalogService,
                         std::function<void()> openAccountPage, QWidget* parent = nullptr);

    // For tests and the screenshot tool: a load started as if the panel had appeared.
    BillingPanelLoader& loader() { return loader_; }

    void render();
    static QString abbreviatedDate(Clock::WallTime time);

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void addManagedRows(const ManagedBillingInfo& info);
    void addDeveloperRows(const DeveloperBillingInfo& info);

    std::shared_ptr<BillingViewModel> viewModel_;
    std::shared_ptr<PresetCatalogService> catalogService_;
    std::function<void()> openAccountPage_;
    BillingPanelLoader loader_;
    QToolButton* refresh_ = nullptr;
    QProgressBar* spinner_ = nullptr;
    QWidget* rows_ = nullptr;
    std::vector<Subscription> subscriptions_;
};

}  // namespace vask::ui
