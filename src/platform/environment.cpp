#include "platform/environment.h"

#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace vask {
namespace {

std::optional<std::filesystem::path> absoluteVariable(const Environment& env, const char* name) {
    const auto it = env.find(name);
    if (it == env.end() || it->second.empty()) {
        return std::nullopt;
    }
    std::filesystem::path path(it->second);
    // The XDG rules ignore relative values.
    if (!path.is_absolute()) {
        return std::nullopt;
    }
    return path;
}

}  // namespace

Environment processEnvironment() {
    Environment env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const char* text = *entry;
        const char* equals = std::strchr(text, '=');
        if (equals == nullptr) {
            continue;
        }
        env.emplace(std::string(text, equals), std::string(equals + 1));
    }
    return env;
}

std::optional<std::filesystem::path> homeDirectory(const Environment& env) {
    if (auto home = absoluteVariable(env, "HOME")) {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 &&
        result != nullptr && result->pw_dir != nullptr && result->pw_dir[0] == '/') {
        return std::filesystem::path(result->pw_dir);
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> xdgDataHome(const Environment& env) {
    if (auto data = absoluteVariable(env, "XDG_DATA_HOME")) {
        return data;
    }
    if (auto home = homeDirectory(env)) {
        return *home / ".local" / "share";
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> xdgConfigHome(const Environment& env) {
    if (auto config = absoluteVariable(env, "XDG_CONFIG_HOME")) {
        return config;
    }
    if (auto home = homeDirectory(env)) {
        return *home / ".config";
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> xdgCacheHome(const Environment& env) {
    if (auto cache = absoluteVariable(env, "XDG_CACHE_HOME")) {
        return cache;
    }
    if (auto home = homeDirectory(env)) {
        return *home / ".cache";
    }
    return std::nullopt;
}

}  // namespace vask
