#include "ui/symbols.h"

#include <QHash>
#include <QPainter>
#include <QSvgRenderer>

namespace vask::ui {

namespace {

// --- Symbols of the chat views ----------------------------------------------------------------
const QHash<QString, QString>& chatThemeIconNames() {
    static const QHash<QString, QString> names = {
        {"chevron.down", "go-down"},
        {"chevron.right", "go-next"},
        {"arrow.up.circle.fill", "go-up"},
        {"arrow.uturn.backward.circle.fill", "edit-undo"},
        {"exclamationmark.circle", "dialog-error"},
        {"checkmark.circle.fill", "emblem-ok"},
        {"square.and.pencil", "document-new"},
        {"arrow.up.right", "go-jump"},
        {"ellipsis.circle", "view-more"},
        {"brain", ""},
        {"quote.opening", ""},
    };
    return names;
}
// --- end of chat symbols ----------------------------------------------------------------------

}  // namespace

QString themeIconName(const QString& symbol) {
    if (const auto chat = chatThemeIconNames().find(symbol); chat != chatThemeIconNames().end()) {
        return chat.value();
    }
    static const QHash<QString, QString> names = {
        {"arrow.right", "go-next"},
        {"exclamationmark.triangle", "dialog-warning"},
        {"doc.on.doc", "edit-copy"},
        {"message", "mail-message"},
    };
    return names.value(symbol);
}

QIcon symbolIcon(const QString& name, const QColor& colour, bool preferTheme) {
    const QString themeName = themeIconName(name);
    if (preferTheme && !themeName.isEmpty() && QIcon::hasThemeIcon(themeName)) {
        return QIcon::fromTheme(themeName);
    }
    // Views ask again on every redraw; each symbol is drawn once per colour (the palettes hold
    // a handful) and kept.
    static QHash<QString, QIcon> drawn;
    const QString key = name + '#' + QString::number(colour.rgba(), 16);
    if (const auto found = drawn.constFind(key); found != drawn.constEnd()) {
        return found.value();
    }
    QSvgRenderer renderer(":/icons/" + name + ".svg");
    if (!renderer.isValid()) {
        return {};
    }
    QIcon icon;
    for (const int size : {12, 16, 20, 24, 32, 48, 80, 96}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(pixmap.rect(), colour);
        painter.end();
        icon.addPixmap(pixmap);
    }
    drawn.insert(key, icon);
    return icon;
}

}  // namespace vask::ui
