#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

namespace vask::ui {

// The symbol names the views use ("sparkles", "arrow.right", ...). The desktop's icon theme is
// used where it has a fitting icon (tinted icons look foreign there, so theme icons are left as
// they are); otherwise our own drawing, tinted with `colour`, so a bare desktop shows every icon.
QIcon symbolIcon(const QString& name, const QColor& colour, bool preferTheme = true);

// The icon-theme name a symbol maps to, empty when none fits.
QString themeIconName(const QString& symbol);

}  // namespace vask::ui
