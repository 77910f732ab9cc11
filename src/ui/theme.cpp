#include "ui/theme.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QFocusFrame>
#include <QFrame>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QScrollBar>
#include <QStandardPaths>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QStyleOptionMenuItem>
#include <QStyleOptionSlider>
#include <QTimer>

#include <dlfcn.h>

#include <map>

#include "platform/desktop_appearance.h"
#include "ui/portal_reader.h"

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

// Keeps a widget's named colours (and its pictures) in the application's appearance: applied
// when made, and again on each change of the palette, before the widget is painted in it.
class AppearanceBinding final : public QObject {
  public:
    explicit AppearanceBinding(QWidget* widget) : QObject(widget), widget_(widget) {
        setObjectName("vask-appearance-binding");
        widget->installEventFilter(this);
    }

    static AppearanceBinding& of(QWidget* widget) {
        auto* found = widget->findChild<AppearanceBinding*>("vask-appearance-binding",
                                                            Qt::FindDirectChildrenOnly);
        return found != nullptr ? *found : *new AppearanceBinding(widget);
    }

    void setColour(QPalette::ColorRole role, const Shade& shade) {
        colours_.insert_or_assign(role, shade);
        apply();
    }

    void setRefresh(std::function<void()> refresh) {
        refresh_ = std::move(refresh);
        apply();
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == widget_ && !applying_ &&
            (event->type() == QEvent::ApplicationPaletteChange ||
             event->type() == QEvent::PaletteChange)) {
            apply();
        }
        return false;
    }

  private:
    void apply() {
        applying_ = true;
        // Only the named roles are the widget's own; the others come from its parent.
        QPalette wanted = widget_->palette();
        wanted.setResolveMask(0);
        bool differs = false;
        for (const auto& [role, shade] : colours_) {
            const QColor colour = shade.colour();
            for (const auto group : {QPalette::Active, QPalette::Inactive}) {
                differs = differs || widget_->palette().color(group, role) != colour;
                wanted.setColor(group, role, colour);
            }
        }
        if (differs) {
            widget_->setPalette(wanted);
        }
        if (refresh_) {
            refresh_();
        }
        applying_ = false;
    }

    QWidget* widget_;
    std::map<QPalette::ColorRole, Shade> colours_;
    std::function<void()> refresh_;
    bool applying_ = false;
};

constexpr const char* brandButtonsProperty = "vaskBrandButtons";
constexpr const char* prominentProperty = "prominent";

bool hasBrandButtons(const QWidget* widget) {
    for (; widget != nullptr; widget = widget->parentWidget()) {
        if (widget->property(brandButtonsProperty).toBool()) {
            return true;
        }
        if (widget->isWindow()) {
            break;
        }
    }
    return false;
}

const QStyleOptionButton* brandButton(const QStyleOption* option, const QWidget* widget) {
    const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
    if (button == nullptr || (button->features & QStyleOptionButton::Flat) ||
        qobject_cast<const QPushButton*>(widget) == nullptr || !hasBrandButtons(widget)) {
        return nullptr;
    }
    return button;
}

bool isProminent(const QWidget* widget) {
    return widget->property(prominentProperty).toBool();
}

// Fusion, without the style's own stock pictures on dialog buttons ("OK" with a tick, "Cancel"
// with a cross): they come from no icon theme and look like nothing else in the application.
// Push buttons under `Theme::useBrandButtons` are drawn in the brand's look from the palette they
// are painted with, so they follow the appearance.
class PlainDialogStyle final : public QProxyStyle {
  public:
    PlainDialogStyle() : QProxyStyle(QStyleFactory::create("Fusion")) {}

    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        if (hint == SH_DialogButtonBox_ButtonsHaveIcons) {
            return 0;
        }
        if (hint == SH_FocusFrame_AboveWidget) {
            // A ring inside a widget that fills its holder would be painted over otherwise.
            return 1;
        }
        if (auto* mask = qstyleoption_cast<QStyleHintReturnMask*>(data);
            hint == SH_FocusFrame_Mask && mask != nullptr && option != nullptr) {
            // The band the ring is drawn in, whether it lies outside the widget or inside.
            const QRect band = option->rect;
            mask->region =
                QRegion(band) - QRegion(band.adjusted(focusRingMargin + 1, focusRingMargin + 1,
                                                      -focusRingMargin - 1, -focusRingMargin - 1));
            return 1;
        }
        return QProxyStyle::styleHint(hint, option, widget, data);
    }

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        if (element == CE_FocusFrame) {
            drawFocusRing(*option, painter);
            return;
        }
        const QStyleOptionButton* button = nullptr;
        if ((element == CE_PushButtonBevel || element == CE_PushButtonLabel) &&
            (button = brandButton(option, widget)) != nullptr) {
            if (element == CE_PushButtonBevel) {
                drawBrandBevel(*button, painter, isProminent(widget));
                return;
            }
            QStyleOptionButton label = *button;
            if (isProminent(widget) && (button->state & State_Enabled)) {
                label.palette.setColor(QPalette::ButtonText,
                                       button->palette.color(QPalette::HighlightedText));
            }
            QProxyStyle::drawControl(element, &label, painter, widget);
            return;
        }
        if (const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
            element == CE_MenuItem && item != nullptr && highlightsOwnIcon(*item)) {
            // Fusion draws a highlighted item's icon as it is, the accent's highlight behind it:
            // an icon in red or ink all but vanished there. Ours take the highlighted text's
            // colour (a theme's icon keeps its own look).
            QStyleOptionMenuItem highlighted = *item;
            const int side = proxy()->pixelMetric(PM_SmallIconSize, option, widget);
            const qreal scale = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
            highlighted.icon = QIcon(item->icon.pixmap(QSize(side, side), scale, QIcon::Selected));
            QProxyStyle::drawControl(element, &highlighted, painter, widget);
            return;
        }
        QProxyStyle::drawControl(element, option, painter, widget);
    }

    static bool highlightsOwnIcon(const QStyleOptionMenuItem& item) {
        return (item.state & State_Selected) && (item.state & State_Enabled) &&
               !item.icon.isNull() && item.icon.name().isEmpty();
    }

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        if (element == PE_FrameFocusRect) {
            // The ring (CE_FocusFrame) shows the focus, and only where the pointer did not put
            // it. The style's own rectangle, drawn just inside a flat button, ran through text
            // set close to its edge ("Sources (n)") and stayed after a click.
            return;
        }
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        const bool keyboardFocus =
            (option->state & State_HasFocus) && (option->state & State_KeyboardFocusChange);
        if (element == PE_IndicatorCheckBox && !keyboardFocus) {
            // Fusion outlines the box in the window's colour darkened, which next to a dark
            // window is all but invisible: the box is outlined in a faded ink instead, which
            // reads on either appearance.
            painter->save();
            painter->setRenderHint(QPainter::Antialiasing, true);
            QColor edge = option->palette.color(QPalette::WindowText);
            edge.setAlphaF((option->state & State_Enabled) ? 0.55F : 0.25F);
            painter->setPen(QPen(edge, 1));
            painter->setBrush(Qt::NoBrush);
            painter->translate(0.5, 0.5);
            painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
            painter->restore();
        }
    }

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget) const override {
        if (const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option);
            control == CC_ScrollBar && bar != nullptr) {
            drawScrollBar(*bar, painter, widget);
            return;
        }
        QProxyStyle::drawComplexControl(control, option, painter, widget);
    }

    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override {
        if (metric == PM_FocusFrameHMargin || metric == PM_FocusFrameVMargin) {
            // Asked by the focus frame, with itself or the widget it rings as the option's
            // object.
            const QObject* asker = option != nullptr ? option->styleObject : nullptr;
            const QWidget* ringed = qobject_cast<const QWidget*>(asker);
            if (const auto* frame = qobject_cast<const QFocusFrame*>(asker)) {
                ringed = frame->widget();
            }
            return ringMargin(ringed,
                              metric == PM_FocusFrameHMargin ? Qt::Horizontal : Qt::Vertical);
        }
        return QProxyStyle::pixelMetric(metric, option, widget);
    }

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& contents,
                           const QWidget* widget) const override {
        if (type == CT_PushButton && brandButton(option, widget) != nullptr) {
            return {contents.width() + 2 * 12 + 2, std::max(contents.height(), 18) + 2 * 3 + 2};
        }
        return QProxyStyle::sizeFromContents(type, option, contents, widget);
    }

  private:
    static constexpr int focusRingMargin = 3;

    // The ring goes just outside the widget, where there is room for it; a widget that fills
    // what the ring is drawn in (a page's scroll area, a list, against the window's edge) along
    // an axis is ringed just inside along that one, where it would otherwise be cut away. The
    // ring is drawn above the widget in the window, a toolbar or the viewport of the scroll area
    // it is in (as QFocusFrame places itself), so only that holder cuts it: a row just the height
    // of its button ("Sources (n)") leaves the ring outside, never through the button's text.
    static int ringMargin(const QWidget* ringed, Qt::Orientation axis) {
        if (ringed == nullptr) {
            return focusRingMargin;
        }
        const QRect wanted =
            QRect(QPoint(0, 0), ringed->size())
                .adjusted(-focusRingMargin, -focusRingMargin, focusRingMargin, focusRingMargin);
        QRect room = wanted;
        const auto keepInside = [&](const QWidget* holder) {
            room &= QRect(holder->mapTo(ringed->window(), QPoint(0, 0)) -
                              ringed->mapTo(ringed->window(), QPoint(0, 0)),
                          holder->size());
        };
        const QWidget* previous = nullptr;
        for (const QWidget* holder = ringed->parentWidget(); holder != nullptr;
             holder = holder->parentWidget()) {
            const bool scrollArea = holder->inherits("QAbstractScrollArea");
            if (holder->isWindow() || holder->inherits("QToolBar") || scrollArea) {
                keepInside(scrollArea && previous != nullptr ? previous : holder);
                break;
            }
            // Nor does it run into the pane beside (the sidebar beside the awaiting list).
            if (holder->parentWidget() != nullptr &&
                holder->parentWidget()->inherits("QSplitter")) {
                keepInside(holder);
            }
            previous = holder;
        }
        const bool fits = axis == Qt::Horizontal
                              ? room.left() == wanted.left() && room.right() == wanted.right()
                              : room.top() == wanted.top() && room.bottom() == wanted.bottom();
        return fits ? focusRingMargin : -focusRingMargin;
    }

    // The track in its own colour and a rounded handle that stands out from it, with small
    // arrows at the ends where the style has its step buttons.
    void drawScrollBar(const QStyleOptionSlider& bar, QPainter* painter,
                       const QWidget* widget) const {
        const auto colours = Theme::scrollBarColours(Theme::appearanceOf(bar.palette));
        const bool horizontal = bar.orientation == Qt::Horizontal;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->fillRect(bar.rect, colours.track);
        const QRect slider =
            proxy()->subControlRect(CC_ScrollBar, &bar, SC_ScrollBarSlider, widget);
        const bool active = (bar.activeSubControls & SC_ScrollBarSlider) &&
                            (bar.state & (State_Sunken | State_MouseOver));
        QColor handle = active ? colours.activeHandle : colours.handle;
        if (!(bar.state & State_Enabled)) {
            handle.setAlphaF(0.4F);
        }
        if (slider.isValid() && bar.maximum > bar.minimum) {
            const qreal across = horizontal ? slider.height() : slider.width();
            const qreal inset = std::max<qreal>(2, across / 4);
            const QRectF shape = horizontal ? QRectF(slider).adjusted(1, inset, -1, -inset)
                                            : QRectF(slider).adjusted(inset, 1, -inset, -1);
            const qreal radius = std::min(shape.width(), shape.height()) / 2;
            painter->setPen(Qt::NoPen);
            painter->setBrush(handle);
            painter->drawRoundedRect(shape, radius, radius);
        }
        for (const auto& [part, forward] :
             {std::pair{SC_ScrollBarSubLine, false}, std::pair{SC_ScrollBarAddLine, true}}) {
            const QRect button = proxy()->subControlRect(CC_ScrollBar, &bar, part, widget);
            if (!button.isValid() || button.isEmpty()) {
                continue;
            }
            const qreal half = std::min(button.width(), button.height()) / 5.0;
            const QPointF c = QRectF(button).center();
            QPolygonF arrow;
            if (horizontal) {
                const qreal tip = forward ? half : -half;
                arrow << QPointF(c.x() + tip, c.y()) << QPointF(c.x() - tip, c.y() - half)
                      << QPointF(c.x() - tip, c.y() + half);
            } else {
                const qreal tip = forward ? half : -half;
                arrow << QPointF(c.x(), c.y() + tip) << QPointF(c.x() - half, c.y() - tip)
                      << QPointF(c.x() + half, c.y() - tip);
            }
            painter->setPen(Qt::NoPen);
            painter->setBrush((bar.activeSubControls & part) && (bar.state & State_Sunken)
                                  ? colours.activeHandle
                                  : handle);
            painter->drawPolygon(arrow);
        }
        painter->restore();
    }

    // The keyboard focus (KeyboardFocusRing): a rounded accent ring just outside the widget.
    static void drawFocusRing(const QStyleOption& option, QPainter* painter) {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(QPen(option.palette.color(QPalette::Active, QPalette::Highlight), 2));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(QRectF(option.rect).adjusted(1, 1, -1, -1), 5, 5);
        painter->restore();
    }

    // A rounded outline in the edge colour on the window's, the accent when hovered or focused;
    // prominent ones filled with the accent (faded when disabled); other disabled ones on
    // nothing.
    static void drawBrandBevel(const QStyleOptionButton& button, QPainter* painter,
                               bool prominent) {
        const QPalette& p = button.palette;
        const bool enabled = button.state & State_Enabled;
        const bool down = button.state & (State_Sunken | State_On);
        const bool lit = button.state & (State_MouseOver | State_HasFocus);
        QColor fill = p.color(QPalette::Window);
        QColor border = p.color(QPalette::Mid);
        if (!enabled && prominent) {
            fill = p.color(QPalette::Active, QPalette::Highlight);
            fill.setAlphaF(0.25F);
            border = fill;
        } else if (!enabled) {
            fill = Qt::transparent;
        } else if (prominent) {
            fill = down ? Theme::pressedAccent(p.color(QPalette::Highlight))
                        : p.color(QPalette::Highlight);
            border = p.color(QPalette::Highlight);
        } else {
            fill = down ? p.color(QPalette::Mid) : fill;
            border = lit ? p.color(QPalette::Highlight) : border;
        }
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(QPen(border, 1));
        painter->setBrush(fill);
        painter->drawRoundedRect(QRectF(button.rect).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
        painter->restore();
    }
};

namespace da = desktop_appearance;

bool platformThemeIs(const char* name) {
    return qEnvironmentVariable("QT_QPA_PLATFORMTHEME").split(':').contains(QString(name));
}

QString qt6ctConfPath() {
    return QStandardPaths::locate(QStandardPaths::GenericConfigLocation, "qt6ct/qt6ct.conf");
}

std::string fileText(const QString& path) {
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll().toStdString();
}

// qt6ct keeps its palette in a colour scheme file its settings name; without its own palette it
// gives the style's standard one, which is light.
da::Preference qt6ctPreference() {
    if (!platformThemeIs("qt6ct")) {
        return da::Preference::none;
    }
    const auto conf = da::parseQt6ctConf(fileText(qt6ctConfPath()));
    if (!conf.customPalette) {
        return da::Preference::light;
    }
    return da::fromQtColorScheme(fileText(QString::fromStdString(conf.colorSchemePath)));
}

// The freedesktop appearance setting as the settings portal last answered it: nothing until it
// answered, and where no portal runs. It is asked on the bus without waiting (PortalReader), so a
// portal that is slow to answer never holds the windows up.
da::Preference portalAnswer = da::Preference::none;

// GTK's own settings, which follow the desktop's (XSETTINGS, GSettings), when the GTK platform
// theme has GTK loaded: it is looked up in the process, never loaded for this.
da::Preference gtkPreference() {
    void* gtk = dlopen("libgtk-3.so.0", RTLD_LAZY | RTLD_NOLOAD);
    if (gtk == nullptr) {
        return da::Preference::none;
    }
    using SettingsDefault = void* (*)();
    using ObjectGet = void (*)(void*, const char*, ...);
    using Free = void (*)(void*);
    auto settingsDefault =
        reinterpret_cast<SettingsDefault>(dlsym(gtk, "gtk_settings_get_default"));
    auto objectGet = reinterpret_cast<ObjectGet>(dlsym(gtk, "g_object_get"));
    auto release = reinterpret_cast<Free>(dlsym(gtk, "g_free"));
    void* settings = settingsDefault && objectGet && release ? settingsDefault() : nullptr;
    da::Preference preference = da::Preference::none;
    if (settings != nullptr) {
        char* name = nullptr;
        int preferDark = 0;
        objectGet(settings, "gtk-theme-name", &name, "gtk-application-prefer-dark-theme",
                  &preferDark, nullptr);
        preference = da::fromGtk(preferDark != 0, name ? name : "");
        release(name);
    }
    dlclose(gtk);
    return preference;
}

}  // namespace

// Answers the desktop's theme changes, which reach the application as one ThemeChange per window,
// as the portal's SettingChanged or its name appearing on the bus (a portal started after Vask),
// or as a change of qt6ct's files: one look after the last of them.
class DesktopFollower final : public QObject {
    Q_OBJECT
  public:
    DesktopFollower(QApplication& app, std::function<void(Appearance)> changed)
        : QObject(&app), app_(app), changed_(std::move(changed)) {
        app.installEventFilter(this);
        if (platformThemeIs("qt6ct")) {
            const auto filesChanged = [this] {
                watchQt6ctFiles();
                changeSeen();
            };
            connect(&qt6ctFiles_, &QFileSystemWatcher::fileChanged, this, filesChanged);
            connect(&qt6ctFiles_, &QFileSystemWatcher::directoryChanged, this, filesChanged);
            watchQt6ctFiles();
        }
        // The appearance applied at start did not wait for the portal: its answer is followed
        // when it comes.
        portalReader_.read();
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::ThemeChange) {
            changeSeen();
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    void changeSeen() {
        if (!pending_) {
            pending_ = true;
            follow();
        }
    }

    // Files saved by replacing them drop out of the watch: they are watched again each time.
    // qt6ct's folder (or, before qt6ct first saves, the folder it will be made in) is watched
    // too, so that settings written after Vask started are followed.
    void watchQt6ctFiles() {
        const QString conf = qt6ctConfPath();
        const auto colours = da::parseQt6ctConf(fileText(conf));
        const QString configHome =
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        const QString folder =
            QFileInfo::exists(configHome + "/qt6ct") ? configHome + "/qt6ct" : configHome;
        for (const QString& path : {conf, QString::fromStdString(colours.colorSchemePath)}) {
            if (!path.isEmpty() && !qt6ctFiles_.files().contains(path) && QFile::exists(path)) {
                qt6ctFiles_.addPath(path);
            }
        }
        if (!folder.isEmpty() && !qt6ctFiles_.directories().contains(folder) &&
            QFileInfo::exists(folder)) {
            qt6ctFiles_.addPath(folder);
        }
    }

    // Nothing is made again on a change, so it is taken at once, a dialog or menu open or not.
    void follow() {
        QTimer::singleShot(0, this, [this] {
            pending_ = false;
            const Appearance before = Theme::current();
            const Appearance desktop = Theme::desktopAppearance(app_);
            if (desktop != before) {
                Theme::apply(app_, desktop);
                if (changed_) {
                    changed_(desktop);
                }
            }
        });
    }

    QApplication& app_;
    std::function<void(Appearance)> changed_;
    QFileSystemWatcher qt6ctFiles_;
    bool pending_ = false;
    // The portal's setting is read again when it may have changed, and followed once read.
    PortalReader portalReader_{[this](da::Preference preference) {
        portalAnswer = preference;
        changeSeen();
    }};
    // Last, so that it stops first: nothing is posted to a follower that is going.
    da::PortalWatch portal_{[this] {
        QMetaObject::invokeMethod(
            this, [this] { portalReader_.read(); }, Qt::QueuedConnection);
    }};
};

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
    return Shade(ThemeColour::secondary).colour();
}

ScrollBarColours Theme::scrollBarColours(Appearance appearance) {
    // The track a step off the page, the handle the ink faded far enough to stay quiet and
    // still stand out from the track at 3:1 or more.
    const auto brand = palette(appearance);
    const bool dark = appearance == Appearance::dark;
    QColor handle = brand.ink;
    handle.setAlphaF(dark ? 0.45F : 0.55F);
    QColor active = brand.ink;
    active.setAlphaF(dark ? 0.62F : 0.70F);
    return {.track = brand.panel,
            .handle = seenOn(handle, brand.panel),
            .activeHandle = seenOn(active, brand.panel)};
}

QColor Theme::pressedAccent(const QColor& accent) {
    return accent.darker(115);
}

QColor Theme::seenOn(const QColor& colour, const QColor& background) {
    const float a = colour.alphaF();
    return QColor::fromRgbF(colour.redF() * a + background.redF() * (1 - a),
                            colour.greenF() * a + background.greenF() * (1 - a),
                            colour.blueF() * a + background.blueF() * (1 - a));
}

namespace {

QColor faded(QColor colour, float alpha) {
    colour.setAlphaF(alpha);
    return colour;
}

QColor namedColour(ThemeColour name, Appearance appearance) {
    const auto brand = Theme::palette(appearance);
    const bool dark = appearance == Appearance::dark;
    switch (name) {
        case ThemeColour::canvas:
            return brand.canvas;
        case ThemeColour::panel:
            return brand.panel;
        case ThemeColour::edge:
            return brand.edge;
        case ThemeColour::accent:
            return brand.accent;
        case ThemeColour::onAccent:
            return brand.onAccent;
        case ThemeColour::ink:
            return brand.ink;
        // Text in either reads at 4.5:1 or more on the canvas and the panel: the light canvas
        // asks for a stronger ink than the dark one.
        case ThemeColour::secondary:
            return faded(brand.ink, dark ? 0.62F : 0.70F);
        case ThemeColour::tertiary:
            return faded(brand.ink, dark ? 0.55F : 0.66F);
        case ThemeColour::red:
            return dark ? QColor(0xFF6B6B) : QColor(0xC62828);
        case ThemeColour::orange:
            return dark ? QColor(0xFFA94D) : QColor(0xA84300);
        case ThemeColour::green:
            return dark ? QColor(0x6BCB77) : QColor(0x1E6E34);
    }
    return brand.ink;
}

}  // namespace

Shade Shade::fixed(const QColor& colour) {
    Shade shade;
    shade.isFixed_ = true;
    shade.fixed_ = colour;
    return shade;
}

QColor Shade::colour() const {
    return colour(Theme::current());
}

QColor Shade::colour(Appearance appearance) const {
    QColor colour = isFixed_ ? fixed_ : namedColour(name_, appearance);
    if (alpha_ < 1.0) {
        colour.setAlphaF(static_cast<float>(colour.alphaF() * alpha_));
    }
    return colour;
}

void Theme::apply(QApplication& app, Appearance appearance) {
    // Once: a new style would polish every widget again.
    if (dynamic_cast<PlainDialogStyle*>(QApplication::style()) == nullptr) {
        app.setStyle(new PlainDialogStyle);
    }
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
    // A disabled field's placeholder fades as far below its text as an enabled one's is.
    QColor disabledPlaceholder = brand.ink;
    disabledPlaceholder.setAlphaF(0.22F);
    p.setColor(QPalette::Disabled, QPalette::PlaceholderText, disabledPlaceholder);
    app.setPalette(p);
    // Qt hands a new application palette down from each window, but not into widgets styled by
    // a style sheet (colourless ones too): those resolve it again here, so they, and the named
    // colours kept on them, repaint in it like every other widget.
    for (QWidget* widget : QApplication::allWidgets()) {
        if (!widget->isWindow() && widget->testAttribute(Qt::WA_StyleSheet)) {
            QEvent change(QEvent::ApplicationPaletteChange);
            QApplication::sendEvent(widget, &change);
        }
    }
    setReduceMotion(reduceMotionRequested(processEnvironment()));
}

Appearance Theme::desktopAppearance(QApplication& app) {
    // Where the desktop keeps its choice; qt6ct's own file first, as the one made for Qt
    // applications.
    switch (da::firstPreference({qt6ctPreference(), portalAnswer, gtkPreference()})) {
        case da::Preference::dark:
            return Appearance::dark;
        case da::Preference::light:
            return Appearance::light;
        case da::Preference::none:
            break;
    }
    const Appearance shown = current();
    // A palette that sets no colour hands the application back the desktop's.
    QApplication::setPalette(QPalette());
    const Appearance desktop = appearanceOf(QApplication::palette());
    apply(app, shown);
    return desktop;
}

QObject* Theme::followDesktop(QApplication& app, std::function<void(Appearance)> changed) {
    return new DesktopFollower(app, std::move(changed));
}

void Theme::useBrandButtons(QWidget* widget) {
    widget->setProperty(brandButtonsProperty, true);
}

void Theme::useAccentButton(QWidget* button) {
    useBrandButtons(button);
    button->setProperty(prominentProperty, true);
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
    line->setFrameShape(QFrame::NoFrame);
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    setPaletteColour(line, QPalette::Window, ThemeColour::edge);
    return line;
}

void setTextColour(QWidget* widget, const Shade& shade) {
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        setPaletteColour(widget, role, shade);
    }
}

void setPaletteColour(QWidget* widget, QPalette::ColorRole role, const Shade& shade) {
    AppearanceBinding::of(widget).setColour(role, shade);
}

void followAppearance(QWidget* widget, const std::function<void()>& refresh) {
    AppearanceBinding::of(widget).setRefresh(refresh);
}

}  // namespace vask::ui

#include "theme.moc"
