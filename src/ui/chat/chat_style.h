#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <optional>
#include <string>

#include "ui/theme.h"

class QHBoxLayout;

// Small building blocks shared by the chat's widgets: fonts and colours of the text styles,
// symbol and text labels, borderless buttons and rounded panels.
namespace vask::ui::chat_style {

enum class Tone { primary, secondary, tertiary, accent, onAccent, red, orange };

// Registers the chat's icons (and the shared ones it uses); every chat widget calls it.
void ensureResources();

// The tone's named colour, followed across appearances; `colour` is its value now (for painting).
Shade shade(Tone tone);
QColor colour(Tone tone);
// The caption-2 style sits one step below caption.
QFont textFont(FontRole role, QFont::Weight weight = QFont::Normal, bool smaller = false);
QString qt(const std::string& text);

QLabel* symbolLabel(const QString& symbol, Tone tone, int size, QWidget* parent = nullptr);
QLabel* textLabel(const QString& text, const QFont& font, Tone tone, QWidget* parent = nullptr);
// Wrapping, selectable text.
QLabel* selectableLabel(const QString& text, const QFont& font, Tone tone, int maxLines = 0,
                        QWidget* parent = nullptr);

// A button without a bezel whose whole area is pressable; its row holds the parts added to
// `row()` and lets clicks through them.
class RowButton : public QPushButton {
    Q_OBJECT
  public:
    explicit RowButton(int spacing, QWidget* parent = nullptr);
    QHBoxLayout* row() const { return row_; }
    // Adds a part; it takes no clicks of its own.
    void add(QWidget* part);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  private:
    QHBoxLayout* row_;
};

// One line of text cut with an ellipsis where it does not fit, at whatever width it gets.
class ElidingLabel : public QLabel {
    Q_OBJECT
  public:
    ElidingLabel(const QString& text, Qt::TextElideMode mode, QWidget* parent = nullptr);
    QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    Qt::TextElideMode mode_;
};
ElidingLabel* elidingLabel(const QString& text, const QFont& font, Tone tone,
                           Qt::TextElideMode mode = Qt::ElideRight);

// A borderless text button ("Undo", "Show 3 more").
QPushButton* textButton(const QString& title, const QFont& font, Tone tone,
                        QWidget* parent = nullptr);

// A rectangle with rounded corners, filled and optionally bordered, behind its children.
class RoundedPanel : public QWidget {
    Q_OBJECT
  public:
    RoundedPanel(Shade fill, qreal radius, std::optional<Shade> border = {},
                 QWidget* parent = nullptr);
    // How much of the fill and border a disabled panel keeps.
    static constexpr qreal disabledOpacity = 0.45;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    Shade fill_;
    qreal radius_;
    std::optional<Shade> border_;
};

}  // namespace vask::ui::chat_style
