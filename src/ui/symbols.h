#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

#include "ui/theme.h"

class QLabel;

namespace vask::ui {

// The symbol names the views use ("sparkles", "arrow.right", ...). The desktop's icon theme is
// used where it has a fitting icon (tinted icons look foreign there, so theme icons are left as
// they are); otherwise our own drawing, tinted with `shade` in the appearance it is drawn in, so
// a bare desktop shows every icon.
QIcon symbolIcon(const QString& name, const Shade& shade, bool preferTheme = true);

// `label` shows the symbol at `size`, in `shade` of the current appearance and of each later one.
void setSymbol(QLabel* label, const QString& name, const Shade& shade, int size,
               bool preferTheme = false);

// The icon-theme name a symbol maps to, empty when none fits.
QString themeIconName(const QString& symbol);

}  // namespace vask::ui
