#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace vask {

// A snapshot of environment variables. Functions that read the environment take one, so tests
// pass their own; the application passes processEnvironment().
using Environment = std::map<std::string, std::string>;

Environment processEnvironment();

// The user's home folder: $HOME, else the password database's entry; nothing when neither names
// one.
std::optional<std::filesystem::path> homeDirectory(const Environment& env);

// $XDG_DATA_HOME (absolute values only), else ~/.local/share.
std::optional<std::filesystem::path> xdgDataHome(const Environment& env);

// $XDG_CONFIG_HOME (absolute values only), else ~/.config.
std::optional<std::filesystem::path> xdgConfigHome(const Environment& env);

// $XDG_CACHE_HOME (absolute values only), else ~/.cache.
std::optional<std::filesystem::path> xdgCacheHome(const Environment& env);

}  // namespace vask
