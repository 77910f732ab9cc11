#pragma once

#include <QDialog>
#include <QPointer>

#include <memory>
#include <optional>
#include <vector>

#include "memory/memory_settings_view_model.h"
#include "platform/subscription.h"
#include "ui/memory/memory_edit_view.h"
#include "ui/settings/form_parts.h"
#include "ui/window_fit.h"

class QLabel;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;

namespace vask::ui {

// The memory manager sheet: the current account's saved associations, each with Edit and a
// confirmed Forget, and a confirmed Forget All.
class MemoryManagerView : public QDialog {
    Q_OBJECT
  public:
    MemoryManagerView(std::shared_ptr<MemorySettingsViewModel> viewModel, Confirm confirm,
                      QWidget* parent = nullptr);

    void render();
    // Sizes the window for a screen whose available area is `available` (logical pixels): as
    // it does for its own screen when it is made.
    void fitToArea(Extent available);
    // The row actions, as the buttons run them.
    void edit(const MemoryAssociation& association);
    void forget(const MemoryAssociation& association);
    void forgetAll();
    MemoryEditView* editSheet() const { return editing_; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QWidget* makeRow(const MemoryAssociation& association, bool busy);

    std::shared_ptr<MemorySettingsViewModel> viewModel_;
    Confirm confirm_;
    QStackedWidget* content_ = nullptr;
    QVBoxLayout* rows_ = nullptr;
    QPushButton* forgetAll_ = nullptr;
    QLabel* error_ = nullptr;
    QWidget* busy_ = nullptr;
    QPointer<MemoryEditView> editing_;
    std::vector<Subscription> subscriptions_;
};

}  // namespace vask::ui
