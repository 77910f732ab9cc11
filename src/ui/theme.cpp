#include "ui/theme.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QFrame>
#include <QProxyStyle>
#include <QStandardPaths>
#include <QStyleFactory>
#include <QTimer>

#include <dlfcn.h>

#include "platform/desktop_appearance.h"

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

QString cssColour(const QColor& colour) {
    return QString("rgba(%1, %2, %3, %4)")
        .arg(colour.red())
        .arg(colour.green())
        .arg(colour.blue())
        .arg(colour.alpha());
}

// Fusion, without the style's own stock pictures on dialog buttons ("OK" with a tick, "Cancel"
// with a cross): they come from no icon theme and look like nothing else in the application.
class PlainDialogStyle final : public QProxyStyle {
  public:
    PlainDialogStyle() : QProxyStyle(QStyleFactory::create("Fusion")) {}

    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        if (hint == SH_DialogButtonBox_ButtonsHaveIcons) {
            return 0;
        }
        return QProxyStyle::styleHint(hint, option, widget, data);
    }
};

namespace da = desktop_appearance;

constexpr const char* portalService = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* portalSettings = "org.freedesktop.portal.Settings";
constexpr const char* appearanceNamespace = "org.freedesktop.appearance";
constexpr const char* colorSchemeKey = "color-scheme";
// A portal that does not answer at once is not waited for: the desktop's other signals remain.
constexpr int portalTimeoutMs = 300;

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

// The freedesktop appearance setting, where a settings portal runs.
da::Preference portalPreference() {
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return da::Preference::none;
    }
    for (const char* method : {"ReadOne", "Read"}) {
        auto call =
            QDBusMessage::createMethodCall(portalService, portalPath, portalSettings, method);
        call << QString(appearanceNamespace) << QString(colorSchemeKey);
        const QDBusMessage reply = bus.call(call, QDBus::Block, portalTimeoutMs);
        if (reply.type() == QDBusMessage::ErrorMessage &&
            reply.errorName() == "org.freedesktop.DBus.Error.UnknownMethod") {
            // A portal older than "ReadOne".
            continue;
        }
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            break;
        }
        // "Read" wraps the value in one more variant than "ReadOne".
        QVariant value = reply.arguments().constFirst();
        while (value.canConvert<QDBusVariant>() &&
               value.userType() == qMetaTypeId<QDBusVariant>()) {
            value = value.value<QDBusVariant>().variant();
        }
        bool ok = false;
        const uint scheme = value.toUInt(&ok);
        if (ok) {
            return da::fromColorScheme(scheme);
        }
    }
    return da::Preference::none;
}

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
        const QString folder = QFileInfo::exists(configHome + "/qt6ct") ? configHome + "/qt6ct"
                                                                        : configHome;
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

    static bool dialogOrMenuOpen() {
        return QApplication::activeModalWidget() != nullptr ||
               QApplication::activePopupWidget() != nullptr;
    }

    // Windows are made again on a change: never while a dialog or menu runs its own loop in one
    // of them (it would be deleted under that loop), so the change waits until they close.
    void follow() {
        QTimer::singleShot(dialogOrMenuOpen() ? 250 : 0, this, [this] {
            if (dialogOrMenuOpen()) {
                follow();
                return;
            }
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
    // Last, so that it stops first: nothing is posted to a follower that is going.
    da::PortalWatch portal_{[this] {
        QMetaObject::invokeMethod(this, [this] { changeSeen(); }, Qt::QueuedConnection);
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
    app.setStyle(new PlainDialogStyle);
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
    setReduceMotion(reduceMotionRequested(processEnvironment()));
}

Appearance Theme::desktopAppearance(QApplication& app) {
    // Where the desktop keeps its choice; qt6ct's own file first, as the one made for Qt
    // applications.
    switch (da::firstPreference({qt6ctPreference(), portalPreference(), gtkPreference()})) {
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

QString Theme::buttonStyleSheet() {
    const auto brand = palette();
    QColor faded = brand.ink;
    faded.setAlphaF(0.38F);
    return QString(
               "QPushButton:!flat { border: 1px solid %1; border-radius: 6px; padding: 3px 12px; "
               "background: %2; min-height: 18px; }"
               "QPushButton:!flat:hover { border-color: %3; }"
               "QPushButton:!flat:pressed { background: %1; }"
               "QPushButton:!flat:focus { border-color: %3; }"
               "QPushButton[prominent=\"true\"] { background: %3; color: %4; border-color: %3; }"
               "QPushButton[prominent=\"true\"]:pressed { background: %5; }"
               "QPushButton:!flat:disabled { background: transparent; color: %6; border-color: "
               "%1; }")
        .arg(brand.edge.name(), brand.canvas.name(), brand.accent.name(), brand.onAccent.name(),
             brand.accent.darker(115).name(), cssColour(faded));
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
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::WindowText, colour);
        palette.setColor(group, QPalette::Text, colour);
        palette.setColor(group, QPalette::ButtonText, colour);
    }
    widget->setPalette(palette);
}

}  // namespace vask::ui

#include "theme.moc"
