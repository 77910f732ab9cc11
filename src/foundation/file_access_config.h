#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/environment.h"

namespace vask {

enum class FileVisionMode { automatic, enabled, disabled };

// "auto", "enabled" or "disabled".
std::string_view toString(FileVisionMode mode);
// Exact, case-sensitive match of the raw value; nothing for any other text.
std::optional<FileVisionMode> fileVisionModeFromString(std::string_view raw);

// Built-in file-access settings, from which the configuration fills what config.json leaves out.
struct FileAccessDefaults {
    static constexpr std::int64_t maxPages = 10;
    static constexpr std::int64_t maxFiles = 5;
    static constexpr FileVisionMode useVision = FileVisionMode::automatic;
    static constexpr double requestTimeoutSeconds = 45.0;

    // The user's Documents, Desktop and Downloads folders, in that order, as the desktop's user
    // folders name them (user-dirs.dirs, else the usual names in the home folder). A folder the
    // desktop has disabled, or that cannot be named, is left out.
    static std::vector<std::string> defaultScopes(const Environment& env = processEnvironment());
    static const std::vector<std::string>& excludedPatterns();
    static std::string defaultScopesString(const Environment& env = processEnvironment());

    // Splits at every "," and newline, trims each piece, drops empty pieces and later duplicates.
    // An empty result gives the default scopes when `fallbackToDefaults` is true.
    static std::vector<std::string> parseScopes(std::string_view text, bool fallbackToDefaults,
                                                const Environment& env = processEnvironment());
};

// The settings one file-access run is built with.
struct FileAccessConfig {
    std::vector<std::string> allowedScopes;
    std::vector<std::string> excludedPatterns;
    std::int64_t maxPages = FileAccessDefaults::maxPages;
    std::int64_t maxFiles = FileAccessDefaults::maxFiles;
    FileVisionMode useVision = FileAccessDefaults::useVision;
    std::optional<std::string> visionModel;
    double requestTimeoutSeconds = FileAccessDefaults::requestTimeoutSeconds;

    static FileAccessConfig defaults(std::optional<std::string> visionModel,
                                     const Environment& env = processEnvironment());

    bool operator==(const FileAccessConfig&) const = default;
};

}  // namespace vask
