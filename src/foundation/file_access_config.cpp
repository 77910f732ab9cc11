#include "foundation/file_access_config.h"

#include <algorithm>
#include <array>
#include <map>

#include "platform/file_io.h"
#include "platform/text.h"

namespace vask {
namespace {

// Reads user-dirs.dirs: lines of NAME="value" where value is "$HOME/..." or an absolute path,
// with shell escapes for '"', '\\', '$' and '`'.
std::map<std::string, std::string> readUserDirs(const Environment& env,
                                                const std::filesystem::path& home) {
    std::map<std::string, std::string> dirs;
    const auto config = xdgConfigHome(env);
    if (!config) {
        return dirs;
    }
    std::optional<std::string> contents;
    try {
        contents = readFileIfExists(*config / "user-dirs.dirs");
    } catch (const FileError&) {
        return dirs;  // Unreadable: the usual names apply.
    }
    if (!contents) {
        return dirs;
    }
    std::string_view rest = *contents;
    while (!rest.empty()) {
        const auto newline = rest.find('\n');
        std::string_view line = text::trimmed(rest.substr(0, newline));
        rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string name(line.substr(0, equals));
        std::string_view raw = line.substr(equals + 1);
        if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"') {
            continue;
        }
        raw = raw.substr(1, raw.size() - 2);
        std::string value;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '\\' && i + 1 < raw.size()) {
                value += raw[++i];
            } else {
                value += raw[i];
            }
        }
        if (value.starts_with("$HOME")) {
            value = home.string() + value.substr(5);
        } else if (value.empty() || value.front() != '/') {
            continue;
        }
        dirs[name] = value;
    }
    return dirs;
}

std::string withoutTrailingSlash(const std::filesystem::path& path) {
    std::string text = path.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

}  // namespace

std::string_view toString(FileVisionMode mode) {
    switch (mode) {
        case FileVisionMode::automatic:
            return "auto";
        case FileVisionMode::enabled:
            return "enabled";
        case FileVisionMode::disabled:
            return "disabled";
    }
    return "auto";
}

std::optional<FileVisionMode> fileVisionModeFromString(std::string_view raw) {
    if (raw == "auto") {
        return FileVisionMode::automatic;
    }
    if (raw == "enabled") {
        return FileVisionMode::enabled;
    }
    if (raw == "disabled") {
        return FileVisionMode::disabled;
    }
    return std::nullopt;
}

std::vector<std::string> FileAccessDefaults::defaultScopes(const Environment& env) {
    const auto home = homeDirectory(env);
    if (!home) {
        return {};
    }
    const auto configured = readUserDirs(env, *home);
    static constexpr std::array<std::pair<const char*, const char*>, 3> folders{{
        {"XDG_DOCUMENTS_DIR", "Documents"},
        {"XDG_DESKTOP_DIR", "Desktop"},
        {"XDG_DOWNLOAD_DIR", "Downloads"},
    }};
    std::vector<std::string> scopes;
    for (const auto& [variable, usualName] : folders) {
        const auto it = configured.find(variable);
        std::filesystem::path folder =
            it != configured.end() ? std::filesystem::path(it->second) : *home / usualName;
        // A user folder set to the home folder itself is how the desktop marks it disabled.
        if (withoutTrailingSlash(folder) == withoutTrailingSlash(*home)) {
            continue;
        }
        scopes.push_back(withoutTrailingSlash(folder));
    }
    return scopes;
}

const std::vector<std::string>& FileAccessDefaults::excludedPatterns() {
    static const std::vector<std::string> patterns{"~/.ssh/*", "~/.gnupg/*", "~/.aws/*",
                                                   "**/node_modules/*", "**/.git/*"};
    return patterns;
}

std::string FileAccessDefaults::defaultScopesString(const Environment& env) {
    std::string joined;
    for (const auto& scope : defaultScopes(env)) {
        if (!joined.empty()) {
            joined += '\n';
        }
        joined += scope;
    }
    return joined;
}

std::vector<std::string> FileAccessDefaults::parseScopes(std::string_view text,
                                                         bool fallbackToDefaults,
                                                         const Environment& env) {
    std::vector<std::string> scopes;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto end = text.find_first_of(",\n", start);
        const auto piece = text::trimmed(text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (!piece.empty() && std::find(scopes.begin(), scopes.end(), piece) == scopes.end()) {
            scopes.emplace_back(piece);
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    if (scopes.empty() && fallbackToDefaults) {
        return defaultScopes(env);
    }
    return scopes;
}

FileAccessConfig FileAccessConfig::defaults(std::optional<std::string> visionModel,
                                            const Environment& env) {
    return FileAccessConfig{FileAccessDefaults::defaultScopes(env),
                            FileAccessDefaults::excludedPatterns(),
                            FileAccessDefaults::maxPages,
                            FileAccessDefaults::maxFiles,
                            FileAccessDefaults::useVision,
                            std::move(visionModel),
                            FileAccessDefaults::requestTimeoutSeconds};
}

}  // namespace vask
