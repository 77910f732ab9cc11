#include "ui/theme.h"

#include <QApplication>
#include <QFrame>
#include <QStyleFactory>

// The resources live in a static library, so nothing registers them unless asked.
static void registerUIResources() {
    Q_INIT_RESOURCE(ui);
}

namespace vask::ui {

namespace {

bool reduceMotionSetting = false;

QColor rgb(QRgb value) {
    return QColor::fromRgb(value);
}

}  // namespace

Appearance Theme::appearanceOf(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128 ? Appearance::dark : Appearance::light;
}

Appearance Theme::current() {
    return appearanceOf(QApplication::palette());
}

BrandPalette Theme::palette(Appearance appearance) {
    const bool dark = appearance == Appearance::dark;
    return {
        .canvas = rgb(dark ? 0x201322 : 0xFAF4F9),
        .panel = rgb(dark ? 0x2A1A2C : 0xF2E7F0),
        .edge = rgb(dark ? 0x3D2540 : 0xE5D5E2),
        .accent = rgb(dark ? 0xC77DBE : 0x93408A),
        .onAccent = rgb(dark ? 0x201322 : 0xFAF4F9),
        .ink = rgb(dark ? 0xF3E9F0 : 0x2E1F2E),
        .plumInk = rgb(0x201322),
    };
}

QFont Theme::font(FontRole role) {
    QFont font = QApplication::font();
    switch (role) {
        case FontRole::headline:
            font.setPointSizeF(13);
            font.setWeight(QFont::DemiBold);
            break;
        case FontRole::subheadline:
            font.setPointSizeF(11);
            break;
        case FontRole::body:
            font.setPointSizeF(13);
            break;
        case FontRole::callout:
            font.setPointSizeF(12);
            break;
        case FontRole::caption:
            font.setPointSizeF(10);
            break;
    }
    return font;
}

QColor Theme::secondaryText() {
    QColor color = palette().ink;
    color.setAlphaF(0.62F);
    return color;
}

QColor Theme::tertiaryText() {
    QColor color = palette().ink;
    color.setAlphaF(0.38F);
    return color;
}

void Theme::apply(QApplication& app, Appearance appearance) {
    app.setStyle(QStyleFactory::create("Fusion"));
    const auto brand = palette(appearance);
    QPalette p;
    p.setColor(QPalette::Window, brand.canvas);
    p.setColor(QPalette::WindowText, brand.ink);
    p.setColor(QPalette::Base, brand.panel);
    p.setColor(QPalette::AlternateBase, brand.edge);
    p.setColor(QPalette::Text, brand.ink);
    p.setColor(QPalette::Button, brand.panel);
    p.setColor(QPalette::ButtonText, brand.ink);
    p.setColor(QPalette::Highlight, brand.accent);
    p.setColor(QPalette::HighlightedText, brand.onAccent);
    p.setColor(QPalette::Link, brand.accent);
    p.setColor(QPalette::ToolTipBase, brand.panel);
    p.setColor(QPalette::ToolTipText, brand.ink);
    p.setColor(QPalette::PlaceholderText, secondaryText());
    p.setColor(QPalette::Mid, brand.edge);
    p.setColor(QPalette::Midlight, brand.edge);
    p.setColor(QPalette::Dark, brand.edge.darker(130));
    QColor disabled = brand.ink;
    disabled.setAlphaF(0.35F);
    for (const auto role : {QPalette::ButtonText, QPalette::WindowText, QPalette::Text}) {
        p.setColor(QPalette::Disabled, role, disabled);
    }
    app.setPalette(p);
    setReduceMotion(reduceMotionRequested(processEnvironment()));
}

void Theme::initResources() {
    static const bool registered = [] {
        registerUIResources();
        return true;
    }();
    (void)registered;
}

bool Theme::reduceMotion() {
    return reduceMotionSetting;
}

void Theme::setReduceMotion(bool on) {
    reduceMotionSetting = on;
}

bool Theme::reduceMotionRequested(const Environment& env) {
    const auto found = env.find("VASK_REDUCE_MOTION");
    return found != env.end() && found->second == "1";
}

QFrame* divider() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFixedHeight(1);
    line->setStyleSheet(QString("background: %1; border: none;").arg(Theme::palette().edge.name()));
    return line;
}

void setTextColour(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    palette.setColor(QPalette::ButtonText, colour);
    widget->setPalette(palette);
}

}  // namespace vask::ui
