#pragma once

#include <QColor>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QString>

#include <functional>
#include <string>

#include "ui/theme.h"

class QAbstractButton;
class QMessageBox;
class QVBoxLayout;
class QHBoxLayout;

namespace vask::ui {

// Registers the symbols of the settings, memory and main-window views; once, before they are
// drawn.
void ensureViewIcons();

// Error and warning text: the appearance's red and orange, readable on the window and a panel.
Shade errorRed();
Shade warningOrange();

inline QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// A label that wraps its text. It asks for the height its text takes at a slightly narrower
// width than it is given: text drawn at a higher pixel density can wrap a word sooner than the
// metrics predict, and its last line would be clipped.
class WrappedLabel : public QLabel {
    Q_OBJECT
  public:
    using QLabel::QLabel;

    int heightForWidth(int width) const override;
};

QLabel* styledText(const QString& text, FontRole role, const Shade& colour, bool wraps = false);
QLabel* symbolLabel(const QString& symbol, const Shade& colour, int size = 16);

// Short text (a count, a tag) on a rounded fill, both in named colours.
class Badge : public QLabel {
    Q_OBJECT
  public:
    Badge(const QString& text, Shade ink, Shade fill, QMargins padding);
    // The fill in the current appearance.
    QColor fill() const { return fill_.colour(); }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    Shade fill_;
};
QPushButton* smallButton(const QString& title, const QString& identifier);
// Removes and deletes every item of `layout`, nested layouts included.
void clearLayout(QLayout* layout);
// Lays out `widget` and every widget around it now, rather than over several turns of the event
// loop, so that rows rebuilt in place never show squeezed for a moment.
void settleLayouts(QWidget* widget);

// One titled group of a settings form: the title above a rounded panel holding the rows.
class FormSection : public QFrame {
    Q_OBJECT
  public:
    explicit FormSection(const QString& title, QWidget* parent = nullptr);

    // The row above the panel; holds the title label at first.
    QHBoxLayout* header() const { return header_; }
    QVBoxLayout* body() const { return body_; }

  private:
    QHBoxLayout* header_ = nullptr;
    QVBoxLayout* body_ = nullptr;
};

// A question the user must answer before something is removed. Returns true when the user chose
// the action; any other way of closing it is a no.
struct Confirmation {
    QString title;
    QString message;
    QString action;
    // The action's control carries this identifier.
    QString actionIdentifier;
};
using Confirm = std::function<bool(QWidget* parent, const Confirmation&)>;
// A modal message box with the action as a destructive button and Cancel.
Confirm standardConfirm();
// The narrowest a confirmation is, so its title and text are not squeezed into a column.
inline constexpr int confirmationWidth = 420;
// Fills `box` as standardConfirm() shows it; returns its action's button.
QAbstractButton* fillConfirmation(QMessageBox& box, const Confirmation& confirmation);

}  // namespace vask::ui
