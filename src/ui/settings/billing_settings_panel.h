#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/subscription.h"
#include "platform/url_opener.h"
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
    // The subscription link opens `accountPage` (the cloud backend's account page) through
    // `opener`; when it does not open, the panel says so under the link.
    BillingSettingsPanel(std::shared_ptr<BillingViewModel> viewModel,
                         std::shared_ptr<PresetCatalogService> catalogService, UrlOpener* opener,
                         std::function<std::string()> accountPage, QWidget* parent = nullptr);

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
    void openAccountPage();

    UrlOpener* opener_;
    std::function<std::string()> accountPage_;
    // What did not open; kept across redraws of the rows until the next try.
    QString openFailure_;
    BillingPanelLoader loader_;
    QToolButton* refresh_ = nullptr;
    QProgressBar* spinner_ = nullptr;
    QWidget* rows_ = nullptr;
    std::vector<Subscription> subscriptions_;
};

}  // namespace vask::ui
