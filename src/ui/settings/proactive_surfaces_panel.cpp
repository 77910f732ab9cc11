#include "ui/settings/proactive_surfaces_panel.h"

#include <QCheckBox>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace vask::ui {

namespace {

QCheckBox* switchWithCaption(QVBoxLayout* into, const QString& title, const QString& identifier,
                             const QString& caption) {
    auto* group = new QVBoxLayout;
    group->setSpacing(4);
    auto* toggle = new QCheckBox(title);
    toggle->setObjectName(identifier);
    toggle->setAccessibleName(title);
    toggle->setFont(Theme::font(FontRole::body));
    group->addWidget(toggle);
    group->addWidget(styledText(caption, FontRole::caption, ThemeColour::secondary, true));
    into->addLayout(group);
    return toggle;
}

}  // namespace

ProactiveSurfacesPanel::ProactiveSurfacesPanel(UserDefaults& defaults, settings::ProactiveKeys keys,
                                               std::function<void(bool)> masterSwitched,
                                               QWidget* parent)
    : FormSection("Proactive", parent),
      defaults_(defaults),
      keys_(std::move(keys)),
      masterSwitched_(std::move(masterSwitched)) {
    body()->setSpacing(Theme::spacing);
    master_ = switchWithCaption(body(), "Show Awaiting Reply", "proactive-surfaces-toggle",
                                "Adds an ambient list of conversations waiting on your reply, "
                                "with drafts you can edit and send. Quiet by default.");
    persona_ = switchWithCaption(
        body(), "Match my texting style", "persona-drafts-toggle",
        "Uses a few of your recent sent messages as style examples. They're sent to the model "
        "only when you ask for a draft. Turn off for generic drafts.");
    connect(master_, &QCheckBox::toggled, this, [this](bool on) {
        defaults_.set(keys_.showProactiveSurfaces, on);
        render();
        if (masterSwitched_) {
            masterSwitched_(on);
        }
    });
    connect(persona_, &QCheckBox::toggled, this,
            [this](bool on) { defaults_.set(keys_.personaDrafts, on); });
    render();
}

void ProactiveSurfacesPanel::render() {
    const QSignalBlocker blockMaster(master_);
    const QSignalBlocker blockPersona(persona_);
    const bool on = settings::showProactiveSurfaces(defaults_, keys_);
    master_->setChecked(on);
    persona_->setChecked(settings::personaDrafts(defaults_, keys_));
    persona_->setEnabled(on);
}

}  // namespace vask::ui
