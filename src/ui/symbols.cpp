#include "ui/symbols.h"

#include <QApplication>
#include <QFile>
#include <QHash>
#include <QIconEngine>
#include <QLabel>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
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

namespace {

// Each symbol drawn once per colour and size (the palettes hold a handful) and kept.
QPixmap tinted(const QString& name, const QColor& colour, int pixels, qreal scale) {
    static QHash<QString, QPixmap> drawn;
    const QString key = name + '#' + QString::number(colour.rgba(), 16) + '#' +
                        QString::number(pixels) + '@' + QString::number(scale);
    if (const auto found = drawn.constFind(key); found != drawn.constEnd()) {
        return found.value();
    }
    QSvgRenderer renderer(":/icons/" + name + ".svg");
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), colour);
    painter.end();
    pixmap.setDevicePixelRatio(scale);
    drawn.insert(key, pixmap);
    return pixmap;
}

// Our own drawing of a symbol, tinted when it is drawn: the icon holds the colour's name, so a
// button keeps its icon across a change of appearance and shows it in the new one.
class SymbolEngine final : public QIconEngine {
  public:
    SymbolEngine(QString name, Shade shade) : name_(std::move(name)), shade_(shade) {}

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State, qreal scale) override {
        const int pixels = std::max(1, qRound(std::min(size.width(), size.height()) * scale));
        if (mode == QIcon::Selected) {
            // On a selection: in the colour of the text there, whatever the symbol's own.
            return tinted(name_, QApplication::palette().color(QPalette::HighlightedText), pixels,
                          scale);
        }
        QPixmap pixmap = tinted(name_, shade_.colour(), pixels, scale);
        if (mode != QIcon::Normal && mode != QIcon::Active) {
            QStyleOption option;
            option.palette = QApplication::palette();
            pixmap = QApplication::style()->generatedIconPixmap(mode, pixmap, &option);
            pixmap.setDevicePixelRatio(scale);
        }
        return pixmap;
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        const qreal scale = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawPixmap(rect, scaledPixmap(rect.size(), mode, state, scale));
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
        const int side = std::min(size.width(), size.height());
        return {side, side};
    }

    QIconEngine* clone() const override { return new SymbolEngine(name_, shade_); }
    QString key() const override { return QStringLiteral("vask-symbol"); }

  private:
    QString name_;
    Shade shade_;
};

}  // namespace

QIcon symbolIcon(const QString& name, const Shade& shade, bool preferTheme) {
    const QString themeName = themeIconName(name);
    if (preferTheme && !themeName.isEmpty() && QIcon::hasThemeIcon(themeName)) {
        return QIcon::fromTheme(themeName);
    }
    if (!QFile::exists(":/icons/" + name + ".svg")) {
        return {};
    }
    return QIcon(new SymbolEngine(name, shade));
}

void setSymbol(QLabel* label, const QString& name, const Shade& shade, int size, bool preferTheme) {
    const QIcon icon = symbolIcon(name, shade, preferTheme);
    followAppearance(label, [label, icon, size] { label->setPixmap(icon.pixmap(size, size)); });
}

}  // namespace vask::ui
