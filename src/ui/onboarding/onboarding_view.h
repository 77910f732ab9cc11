#pragma once

#include <QPointer>
#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

#include "platform/subscription.h"
#include "shell/onboarding_steps_model.h"
#include "ui/window_fit.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace vask::ui {

class FullDiskAccessHint;
class OnboardingPrimaryButton;
class StatusArea;
class StepDots;

// The onboarding window: the current step's page above a divider, and the footer with "Skip",
// "Quit & Reopen", the step dots and the primary button. Everything it shows comes from the
// steps model; it re-renders on every change there.
class OnboardingView : public QWidget {
    Q_OBJECT
  public:
    static constexpr int defaultWidth = 600;
    static constexpr int defaultHeight = 680;

    explicit OnboardingView(std::shared_ptr<OnboardingStepsModel> model, QWidget* parent = nullptr);
    ~OnboardingView() override;

    OnboardingStepsModel& model() const { return *model_; }
    // Re-reads everything shown from the model.
    void render();
    // Sizes the window for a screen whose available area is `available` (logical pixels), as
    // it does for the screen it opens on: the screenshots of a small screen at a large scale.
    void fitToArea(Extent available);

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    // Sizes the page to what its lines need at its width, and keeps the window at least that
    // tall with its footer (a failure's lines added to the access step's hint), as far as the
    // screen allows: on a shorter screen the page scrolls.
    void fitHeight();
    QWidget* makeFooter();
    void buildPage();
    QWidget* stepBody(const OnboardingStepsModel::Page& page, QWidget* extra);
    QWidget* makeExtra(OnboardingStep step);
    // The sign-in page's link and a button that copies it, for a browser that did not open.
    QWidget* makeSignInLinkRow();
    void renderExtra();
    void revealSignInStatus();
    void renderFooter();
    void orderFocus();

    std::shared_ptr<OnboardingStepsModel> model_;
    // The least height the screen gave the window, whatever its page.
    int leastHeight_ = 0;
    // The available area fitToArea() gave; none: the screen's.
    std::optional<Extent> area_;
    QScrollArea* scroll_ = nullptr;
    QWidget* footer_ = nullptr;
    // The divider's and the footer's height under the page.
    int footerHeight_ = 0;
    QVBoxLayout* content_ = nullptr;
    QPointer<QWidget> page_;
    std::optional<OnboardingStep> pageStep_;
    // The page opened has not yet given its primary button the focus.
    bool primaryWanted_ = false;
    // The footer holds the focus for the primary button while it cannot take it.
    bool primaryWaiting_ = false;
    QLabel* subtitle_ = nullptr;

    StatusArea* signInStatus_ = nullptr;
    QPushButton* differentAccount_ = nullptr;
    static constexpr int linkWidth = 280;
    QWidget* signInLinkRow_ = nullptr;
    QLabel* signInLink_ = nullptr;
    FullDiskAccessHint* hint_ = nullptr;
    StatusArea* contactsStatus_ = nullptr;
    QProgressBar* indexingBar_ = nullptr;
    StatusArea* indexingLines_ = nullptr;
    QVBoxLayout* retentionHolder_ = nullptr;
    std::optional<MessageRetentionAssessment> shownRetention_;

    QPushButton* skip_ = nullptr;
    QPushButton* relaunch_ = nullptr;
    StepDots* dots_ = nullptr;
    OnboardingPrimaryButton* primary_ = nullptr;
    std::vector<Subscription> subscriptions_;
};

}  // namespace vask::ui
