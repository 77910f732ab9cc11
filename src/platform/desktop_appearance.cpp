#include "platform/desktop_appearance.h"

#include <gio/gio.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <thread>
#include <vector>

namespace vask::desktop_appearance {

namespace {

constexpr std::uint32_t colorSchemeDark = 1;
constexpr std::uint32_t colorSchemeLight = 2;
// Where the window colour stands among a scheme's colours (the palette's role order).
constexpr std::size_t windowColourIndex = 10;

std::string_view trimmed(std::string_view s) {
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!s.empty() && blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

std::string lowered(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// The value of `key` in `section` of an INI text (as QSettings writes it), unquoted.
std::optional<std::string> iniValue(std::string_view text, std::string_view section,
                                    std::string_view key) {
    bool inSection = false;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line.front() == ';' || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            inSection = line == "[" + std::string(section) + "]";
            continue;
        }
        const auto equals = line.find('=');
        if (!inSection || equals == std::string_view::npos ||
            trimmed(line.substr(0, equals)) != key) {
            continue;
        }
        std::string_view value = trimmed(line.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        return std::string(value);
    }
    return std::nullopt;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

}  // namespace

Preference fromColorScheme(std::uint32_t value) {
    switch (value) {
        case colorSchemeDark:
            return Preference::dark;
        case colorSchemeLight:
            return Preference::light;
        default:
            return Preference::none;
    }
}

Preference fromGtk(std::optional<bool> preferDark, std::string_view themeName) {
    if (preferDark.value_or(false)) {
        return Preference::dark;
    }
    const std::string name = lowered(trimmed(themeName));
    if (name.empty()) {
        return preferDark ? Preference::light : Preference::none;
    }
    return endsWith(name, "-dark") || endsWith(name, ":dark") ? Preference::dark
                                                              : Preference::light;
}

Qt6ctColours parseQt6ctConf(std::string_view text) {
    Qt6ctColours colours;
    colours.customPalette =
        lowered(iniValue(text, "Appearance", "custom_palette").value_or("")) == "true";
    colours.colorSchemePath = iniValue(text, "Appearance", "color_scheme_path").value_or("");
    return colours;
}

Preference fromQtColorScheme(std::string_view text) {
    const auto active = iniValue(text, "ColorScheme", "active_colors");
    if (!active) {
        return Preference::none;
    }
    std::vector<std::string_view> colours;
    std::string_view rest = *active;
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        colours.push_back(trimmed(rest.substr(0, comma)));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    if (colours.size() <= windowColourIndex) {
        return Preference::none;
    }
    const auto lightness = lightnessOf(colours[windowColourIndex]);
    if (!lightness) {
        return Preference::none;
    }
    return *lightness < 128 ? Preference::dark : Preference::light;
}

Preference firstPreference(std::initializer_list<Preference> inOrder) {
    for (const auto preference : inOrder) {
        if (preference != Preference::none) {
            return preference;
        }
    }
    return Preference::none;
}

std::optional<int> lightnessOf(std::string_view colour) {
    if (colour.empty() || colour.front() != '#' || (colour.size() != 7 && colour.size() != 9)) {
        return std::nullopt;
    }
    // "#aarrggbb": the alpha comes first and says nothing of lightness.
    const std::string_view digits = colour.substr(colour.size() == 9 ? 3 : 1);
    std::array<int, 3> channels{};
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const int high = hexDigit(digits[2 * i]);
        const int low = hexDigit(digits[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        channels[i] = high * 16 + low;
    }
    if (colour.size() == 9 && (hexDigit(colour[1]) < 0 || hexDigit(colour[2]) < 0)) {
        return std::nullopt;
    }
    const auto [lowest, highest] = std::minmax({channels[0], channels[1], channels[2]});
    return (lowest + highest) / 2;
}

}  // namespace vask::desktop_appearance

// --- The portal's name and signal, over GDBus -----------------------------------------------

// GLib's type macros are C and cast the old way.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace vask::desktop_appearance {

namespace {

constexpr const char* portalService = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* portalSettings = "org.freedesktop.portal.Settings";
constexpr const char* appearanceNamespace = "org.freedesktop.appearance";
constexpr const char* colorSchemeKey = "color-scheme";

}  // namespace

struct PortalWatch::Loop {
    std::function<void()> changed;
    std::string busAddress;
    GMainContext* context = g_main_context_new();
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    GCancellable* cancellable = g_cancellable_new();
    GDBusConnection* connection = nullptr;
    guint nameWatch = 0;
    guint subscription = 0;
    std::thread thread;

    void run() {
        g_main_context_push_thread_default(context);
        gchar* address = nullptr;
        if (busAddress.empty()) {
            address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, cancellable, nullptr);
        } else {
            address = g_strdup(busAddress.c_str());
        }
        if (address != nullptr) {
            // Connected without blocking, so that a bus that never answers never holds up the
            // watch's end.
            g_dbus_connection_new_for_address(
                address,
                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, cancellable, &Loop::connected, this);
            g_free(address);
            g_main_loop_run(loop);
        }
        if (connection != nullptr) {
            if (nameWatch != 0) {
                g_bus_unwatch_name(nameWatch);
            }
            if (subscription != 0) {
                g_dbus_connection_signal_unsubscribe(connection, subscription);
            }
            g_dbus_connection_close_sync(connection, nullptr, nullptr);
            g_object_unref(connection);
            connection = nullptr;
        }
        // What the connection still had queued for this context goes with it.
        while (g_main_context_iteration(context, FALSE)) {
        }
        g_main_context_pop_thread_default(context);
    }

    static void connected(GObject*, GAsyncResult* result, gpointer data) {
        auto* self = static_cast<Loop*>(data);
        GDBusConnection* connection = g_dbus_connection_new_for_address_finish(result, nullptr);
        if (connection == nullptr) {
            // No bus (or the watch is ending): nothing to follow.
            g_main_loop_quit(self->loop);
            return;
        }
        self->connection = connection;
        g_dbus_connection_set_exit_on_close(connection, FALSE);
        self->subscription = g_dbus_connection_signal_subscribe(
            connection, nullptr, portalSettings, "SettingChanged", portalPath, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, &Loop::settingChanged, self, nullptr);
        self->nameWatch =
            g_bus_watch_name_on_connection(connection, portalService, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                           &Loop::appeared, nullptr, self, nullptr);
    }

    static void appeared(GDBusConnection*, const gchar*, const gchar*, gpointer data) {
        static_cast<Loop*>(data)->changed();
    }

    static void settingChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                               const gchar*, GVariant* parameters, gpointer data) {
        if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ssv)"))) {
            return;
        }
        const gchar* group = nullptr;
        const gchar* key = nullptr;
        g_variant_get(parameters, "(&s&sv)", &group, &key, nullptr);
        if (std::string_view(group) == appearanceNamespace &&
            std::string_view(key) == colorSchemeKey) {
            static_cast<Loop*>(data)->changed();
        }
    }

    static gboolean quit(gpointer data) {
        g_main_loop_quit(static_cast<Loop*>(data)->loop);
        return G_SOURCE_REMOVE;
    }
};

PortalWatch::PortalWatch(std::function<void()> changed, std::string busAddress)
    : loop_(std::make_unique<Loop>()) {
    loop_->changed = std::move(changed);
    loop_->busAddress = std::move(busAddress);
    loop_->thread = std::thread([loop = loop_.get()] { loop->run(); });
}

PortalWatch::~PortalWatch() {
    g_cancellable_cancel(loop_->cancellable);
    // Runs once the loop does, whether it already runs or is about to.
    GSource* quit = g_idle_source_new();
    g_source_set_callback(quit, &Loop::quit, loop_.get(), nullptr);
    g_source_attach(quit, loop_->context);
    g_source_unref(quit);
    loop_->thread.join();
    g_object_unref(loop_->cancellable);
    g_main_loop_unref(loop_->loop);
    g_main_context_unref(loop_->context);
}

}  // namespace vask::desktop_appearance

#pragma GCC diagnostic pop
