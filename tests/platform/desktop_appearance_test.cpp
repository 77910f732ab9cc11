#include "platform/desktop_appearance.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace vask::desktop_appearance
