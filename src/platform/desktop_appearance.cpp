#include "platform/desktop_appearance.h"

#include <algorithm>
#include <array>
#include <cctype>
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
