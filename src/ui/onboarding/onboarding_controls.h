#pragma once

#include <QFrame>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

#include "shell/onboarding_steps_model.h"
#include "store/message_retention_assessment.h"
#include "ui/theme.h"

class QLabel;
class QVBoxLayout;

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

// The onboarding footer's main button: a filled capsule in the accent colour, darker while
// pressed and faint while disabled (pressing a disabled button changes nothing), its text in the
// ink every accent-filled button has.
class OnboardingPrimaryButton : public QPushButton {
    Q_OBJECT
  public:
    explicit OnboardingPrimaryButton(QWidget* parent = nullptr);

    QSize sizeHint() const override;
    // The capsule's colour for the given state.
    static QColor fill(Appearance appearance, bool enabled, bool pressed);
    static QColor textColour(Appearance appearance, bool enabled);

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

// A faint rounded tile that sets the access step's folder apart.
class HintRow : public QFrame {
    Q_OBJECT
  public:
    explicit HintRow(QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
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

// What the user must do on the access step: the folder chat.db is read from (its path can be
// selected and copied), what is in it now, the way on when the file does not arrive, and the
// waiting status. Nothing here is switched on: on Linux, the file in place is the access.
// A folder's path to read and copy: while it is not being selected it shows the path's start and
// end with "…" between where it is too long (the end names the folder), the whole path in its
// tooltip; focused, it holds the whole path, selected, to copy.
class PathField : public QLineEdit {
    Q_OBJECT
  public:
    explicit PathField(QWidget* parent = nullptr);
    void setPath(const QString& path);
    const QString& path() const { return path_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

  private:
    // The elided path, unless the user reached the field to select it.
    void showPath();

    QString path_;
    bool expanded_ = false;
};

class FullDiskAccessHint : public QWidget {
    Q_OBJECT
  public:
    explicit FullDiskAccessHint(QWidget* parent = nullptr);

    void setFolder(const OnboardingStepsModel::AccessFolder& folder);
    void setStatus(const OnboardingStepsModel::Status& status) { status_->setStatus(status); }
    PathField* folderPath() const { return folder_; }
    QLabel* fileState() const { return file_; }
    StatusArea* status() const { return status_; }

  private:
    PathField* folder_ = nullptr;
    QLabel* fileIcon_ = nullptr;
    QLabel* file_ = nullptr;
    StatusArea* status_ = nullptr;
    std::optional<OnboardingStepsModel::AccessFolder> shown_;
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
