#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Whether the desktop asks for light or dark windows, read from where desktops keep it: the
// freedesktop appearance setting (over the settings portal), the palette of qt6ct's colour
// scheme, GTK's settings. The reading of each is the caller's; the parsing and which source wins
// are here.
namespace vask::desktop_appearance {

enum class Preference { none, light, dark };

// "color-scheme" of "org.freedesktop.appearance": 1 asks for dark, 2 for light; 0 (no
// preference) and values unknown today ask for nothing.
Preference fromColorScheme(std::uint32_t value);

// GTK's settings: "gtk-application-prefer-dark-theme" when set, else the theme's name, whose
// dark variant ends in "-dark" or ":dark" ("Adwaita-dark", "Arc-Dark", "Adwaita:dark"). A named
// theme without it is light; no name asks for nothing.
Preference fromGtk(std::optional<bool> preferDark, std::string_view themeName);

// What qt6ct's settings file (qt6ct.conf) says about colours: whether its own palette is on, and
// the colour scheme file it names.
struct Qt6ctColours {
    bool customPalette = false;
    std::string colorSchemePath;
};
Qt6ctColours parseQt6ctConf(std::string_view text);

// A qt6ct colour scheme file: its active colours, listed in the order of the palette's roles, are
// dark when the window colour (the eleventh) is. Nothing when the file names no such colour.
Preference fromQtColorScheme(std::string_view text);

// The first source that asks for something wins.
Preference firstPreference(std::initializer_list<Preference> inOrder);

// The perceived lightness (0 to 255) of "#rrggbb" or "#aarrggbb", as the palette's own
// dark-or-light test reads it; nothing for any other text.
std::optional<int> lightnessOf(std::string_view colour);

// Tells when the settings portal's appearance setting may have changed: when a portal takes its
// name on the bus (one that starts after Vask, or starts again, has a setting Vask never read)
// and when it announces a new "color-scheme". It does not read the setting. Watches on a
// connection and GLib loop of its own, on a thread of its own, where `changed` runs; destroying
// the watch stops that thread, after which `changed` never runs. A bus that cannot be reached
// is given up quietly: the desktop's other signals remain.
class PortalWatch {
  public:
    // `busAddress` empty: the session bus.
    explicit PortalWatch(std::function<void()> changed, std::string busAddress = {});
    ~PortalWatch();
    PortalWatch(const PortalWatch&) = delete;
    PortalWatch& operator=(const PortalWatch&) = delete;

  private:
    struct Loop;
    std::unique_ptr<Loop> loop_;
};

}  // namespace vask::desktop_appearance
