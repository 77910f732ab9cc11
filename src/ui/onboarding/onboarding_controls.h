#pragma once

#include <QFrame>
#include <QPushButton>
#include <QWidget>

#include "shell/onboarding_steps_model.h"
#include "store/message_retention_assessment.h"

class QLabel;
class QVBoxLayout;
class QVariantAnimation;

namespace vask::ui {

// `inner` centred and at most `maxWidth` wide, with wrapped text still given the height it needs.
QWidget* widthLimited(QWidget* inner, int maxWidth);

// The application's own icon: the mark on a rounded tile.
class AppIconView : public QWidget {
    Q_OBJECT
  public:
    explicit AppIconView(int side, QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// The onboarding footer's main button: a filled capsule in the accent colour, dimmed while
// pressed and faint while disabled (pressing a disabled button changes nothing).
class OnboardingPrimaryButton : public QPushButton {
    Q_OBJECT
  public:
    explicit OnboardingPrimaryButton(QWidget* parent = nullptr);

    QSize sizeHint() const override;
    // The capsule's opacity for the given state.
    static qreal fillOpacity(bool enabled, bool pressed);

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// One dot per step, the current one in the accent colour.
class StepDots : public QWidget {
    Q_OBJECT
  public:
    StepDots(int count, int current, QWidget* parent = nullptr);

    void setCurrent(int current);
    int current() const { return current_; }
    // The dot drawn in the accent colour; nothing when `current` names no dot.
    std::optional<int> highlighted() const;
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    int count_;
    int current_;
};

// A small spinning arc: work in progress of unknown length.
class BusyIndicator : public QWidget {
    Q_OBJECT
  public:
    explicit BusyIndicator(int side, QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    int angle_ = 0;
    int timer_ = 0;
    void timerEvent(QTimerEvent* event) override;
};

// The picture of a settings list row: a faint rounded tile whose outline fades in as the
// pictured switch turns on.
class HintRow : public QFrame {
    Q_OBJECT
  public:
    explicit HintRow(QWidget* parent = nullptr);
    void setOutline(qreal strength);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    qreal outline_ = 0;
};

// A spinner and lines of text, as the steps' status areas show them.
class StatusArea : public QWidget {
    Q_OBJECT
  public:
    explicit StatusArea(int maxTextWidth, QWidget* parent = nullptr);

    void setStatus(const OnboardingStepsModel::Status& status);
    QStringList lines() const;
    bool showsSpinner() const;

  private:
    int maxTextWidth_;
    BusyIndicator* spinner_ = nullptr;
    QVBoxLayout* lines_ = nullptr;
    OnboardingStepsModel::Status shown_;
};

// The pictured switch of the access hint: it cannot be flipped, it turns on by itself.
class HintSwitch : public QWidget {
    Q_OBJECT
  public:
    explicit HintSwitch(QWidget* parent = nullptr);

    bool isOn() const { return on_; }
    // 0 off to 1 on, as drawn.
    qreal progress() const { return progress_; }
    void turnOn();
    QSize sizeHint() const override { return {30, 18}; }

  signals:
    void progressChanged(qreal progress);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    bool on_ = false;
    qreal progress_ = 0;
    QVariantAnimation* animation_ = nullptr;
};

// What the user must do on the access step: a picture of Vask switched on in a settings list,
// the way on when access does not arrive, and the waiting status.
class FullDiskAccessHint : public QWidget {
    Q_OBJECT
  public:
    static constexpr int switchDelayMs = 500;

    explicit FullDiskAccessHint(QWidget* parent = nullptr);

    void setStatus(const OnboardingStepsModel::Status& status) { status_->setStatus(status); }
    HintSwitch* pictureSwitch() const { return switch_; }
    StatusArea* status() const { return status_; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    HintRow* row_ = nullptr;
    HintSwitch* switch_ = nullptr;
    StatusArea* status_ = nullptr;
    bool scheduled_ = false;
};

// The last step's note on how far back the Messages history reaches.
class MessageRetentionNotice : public QFrame {
    Q_OBJECT
  public:
    explicit MessageRetentionNotice(const MessageRetentionAssessment& assessment,
                                    QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace vask::ui
