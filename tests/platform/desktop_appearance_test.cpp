#include "platform/desktop_appearance.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "support/eventually.h"

// GLib's type macros are C and cast the old way.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace vask::desktop_appearance {
namespace {

using P = Preference;

TEST(DesktopAppearanceTest, ColorSchemeValues) {
    const std::vector<std::pair<std::uint32_t, P>> cases = {
        {0, P::none}, {1, P::dark}, {2, P::light}, {3, P::none}, {0xFFFFFFFF, P::none}};
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(fromColorScheme(value), expected) << value;
    }
}

TEST(DesktopAppearanceTest, GtkPreferDarkThenTheThemeName) {
    struct Case {
        std::optional<bool> preferDark;
        const char* name;
        P expected;
    };
    const std::vector<Case> cases = {
        {true, "Adwaita", P::dark},
        {false, "Adwaita", P::light},
        {std::nullopt, "Adwaita-dark", P::dark},
        {std::nullopt, "Arc-Dark", P::dark},
        {false, "Adwaita:dark", P::dark},
        {std::nullopt, " Yaru-dark ", P::dark},
        {std::nullopt, "Darkness", P::light},
        {std::nullopt, "", P::none},
        {false, "", P::light},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fromGtk(c.preferDark, c.name), c.expected) << c.name;
    }
}

TEST(DesktopAppearanceTest, Qt6ctSettingsAndColourSchemes) {
    const auto conf = parseQt6ctConf(
        "[Appearance]\ncolor_scheme_path=/usr/share/qt6ct/colors/darker.conf\n"
        "custom_palette=true\nicon_theme=Adwaita\n\n[Fonts]\ncustom_palette=false\n");
    EXPECT_TRUE(conf.customPalette);
    EXPECT_EQ(conf.colorSchemePath, "/usr/share/qt6ct/colors/darker.conf");
    const auto quoted = parseQt6ctConf(
        "[Fonts]\ncustom_palette=true\n[Appearance]\n"
        "color_scheme_path=\"/home/a b/scheme.conf\"\n");
    EXPECT_FALSE(quoted.customPalette) << "another section's key says nothing";
    EXPECT_EQ(quoted.colorSchemePath, "/home/a b/scheme.conf");

    const std::string darker =
        "[ColorScheme]\nactive_colors=#ffffffff, #ff424245, #ff979797, #ff5e5c5b, #ff302f2e, "
        "#ff4a4947, #ffffffff, #ffffffff, #ffffffff, #ff3d3d3d, #ff222020, #ffe7e4e0\n";
    const std::string simple =
        "[ColorScheme]\nactive_colors=#ff000000, #ffefefef, #ffffffff, #ffcacaca, #ff9f9f9f, "
        "#ffb8b8b8, #ff000000, #ffffffff, #ff000000, #ffffffff, #ffefefef, #ffb1b1b1\n";
    const std::vector<std::pair<std::string, P>> schemes = {
        {darker, P::dark},
        {simple, P::light},
        {"[ColorScheme]\nactive_colors=#000000, #111111\n", P::none},
        {"[ColorScheme]\nactive_colors=a,b,c,d,e,f,g,h,i,j,k,l\n", P::none},
        {"[Other]\nactive_colors=" + darker.substr(darker.find('=') + 1), P::none},
        {"", P::none},
    };
    for (const auto& [text, expected] : schemes) {
        EXPECT_EQ(fromQtColorScheme(text), expected) << text;
    }
}

TEST(DesktopAppearanceTest, LightnessAndTheFirstSourceWins) {
    EXPECT_EQ(lightnessOf("#222020"), 33);
    EXPECT_EQ(lightnessOf("#80efefef"), 239);
    EXPECT_EQ(lightnessOf("#ff0000"), 127);
    EXPECT_EQ(lightnessOf("#gg0000"), std::nullopt);
    EXPECT_EQ(lightnessOf("#zz000000"), std::nullopt);
    EXPECT_EQ(lightnessOf("222020"), std::nullopt);
    EXPECT_EQ(firstPreference({P::none, P::dark, P::light}), P::dark);
    EXPECT_EQ(firstPreference({P::light, P::dark}), P::light);
    EXPECT_EQ(firstPreference({P::none, P::none}), P::none);
}

// A settings portal on a private bus of the test's own, started after the watch: its name
// appearing is a change (its setting was never read), as is its SettingChanged for the colour
// scheme; another setting's is not.
TEST(DesktopAppearanceTest, APortalThatStartsAfterTheWatchIsFollowed) {
    GTestDBus* bus = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_up(bus);
    const std::string address = g_test_dbus_get_bus_address(bus);
    std::atomic<int> changes{0};
    {
        PortalWatch watch([&] { ++changes; }, address);

        GDBusConnection* portal = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        ASSERT_NE(portal, nullptr);
        GVariant* owned = g_dbus_connection_call_sync(
            portal, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", "org.freedesktop.portal.Desktop", 0u),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
        ASSERT_NE(owned, nullptr);
        g_variant_unref(owned);
        ASSERT_TRUE(test::eventually([&] { return changes.load() == 1; }));

        const auto announce = [&](const char* group, const char* key) {
            g_dbus_connection_emit_signal(
                portal, nullptr, "/org/freedesktop/portal/desktop",
                "org.freedesktop.portal.Settings", "SettingChanged",
                g_variant_new("(ssv)", group, key, g_variant_new_uint32(1)), nullptr);
            g_dbus_connection_flush_sync(portal, nullptr, nullptr);
        };
        announce("org.freedesktop.appearance", "accent-color");
        announce("org.freedesktop.appearance", "color-scheme");
        // Signals arrive in the order sent: the other setting came first and counted nothing.
        ASSERT_TRUE(test::eventually([&] { return changes.load() >= 2; }));
        EXPECT_EQ(changes.load(), 2);
        g_dbus_connection_close_sync(portal, nullptr, nullptr);
        g_object_unref(portal);
    }
    // Not g_test_dbus_down(): that waits for the process's session connection to go.
    g_test_dbus_stop(bus);
    g_object_unref(bus);
}

}  // namespace
}  // namespace vask::desktop_appearance

#pragma GCC diagnostic pop
