#pragma once

#include <functional>

#include "platform/user_defaults.h"
#include "shell/settings_presenter.h"
#include "ui/settings/form_parts.h"

class QCheckBox;

namespace vask::ui {

// The "Proactive" section: the awaiting-reply master switch and the texting-style switch, both
// kept in the user defaults under their instance-scoped keys.
class ProactiveSurfacesPanel : public FormSection {
    Q_OBJECT
  public:
    ProactiveSurfacesPanel(UserDefaults& defaults, settings::ProactiveKeys keys,
                           std::function<void(bool on)> masterSwitched, QWidget* parent = nullptr);

    // Re-reads both switches from the defaults.
    void render();

  private:
    UserDefaults& defaults_;
    settings::ProactiveKeys keys_;
    std::function<void(bool)> masterSwitched_;
    QCheckBox* master_ = nullptr;
    QCheckBox* persona_ = nullptr;
};

}  // namespace vask::ui
