#include "foundation/app_environment.h"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "foundation/nil_if_empty.h"
#include "platform/file_io.h"
#include "platform/owner_only_file.h"

namespace vask {
namespace {

std::optional<std::string> supportDirectoryOverride(const Environment& env) {
    const auto it = env.find(AppEnvironment::supportDirectoryVariable);
    if (it == env.end()) {
        return std::nullopt;
    }
    return nilIfEmpty(it->second);
}

std::string effectiveBundleIdentifier(const std::optional<std::string>& bundleId) {
    return bundleId.value_or(std::string(AppEnvironment::productionBundleIdentifier));
}

// The folders above the instance's that Vask makes are private too (whatever the umask): the
// data home holds nothing of anyone else's when Vask is the one that made it.
void createDirectories(const std::filesystem::path& path) {
    try {
        createOwnerOnlyDirectories(path);
    } catch (const FileError& error) {
        throw AppEnvironment::Error(error.what());
    }
}

// The instance's folder holds private databases: only its owner may list or enter it, from the
// moment it exists and whatever the umask.
void createPrivateDirectory(const std::filesystem::path& path) {
    if (::mkdir(path.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
        throw AppEnvironment::Error("Could not create the folder " + path.string() + ": " +
                                    std::generic_category().message(errno));
    }
    if (::chmod(path.c_str(), S_IRWXU) != 0) {
        throw AppEnvironment::Error("Could not make the folder " + path.string() +
                                    " private: " + std::generic_category().message(errno));
    }
}

}  // namespace

std::optional<std::string> AppEnvironment::bundleIdentifier() {
    std::string id = VASK_BUNDLE_ID;
    if (id.empty()) {
        return std::nullopt;
    }
    return id;
}

std::string AppEnvironment::supportDirectoryName() {
    return supportDirectoryName(processEnvironment(), bundleIdentifier());
}

std::string AppEnvironment::supportDirectoryName(const Environment& env,
                                                 const std::optional<std::string>& bundleId) {
    if (auto name = supportDirectoryOverride(env)) {
        return *name;
    }
    auto id = effectiveBundleIdentifier(bundleId);
    if (id == productionBundleIdentifier) {
        return std::string(productionSupportDirectoryName);
    }
    return id;
}

bool AppEnvironment::isProductionInstance() {
    return isProductionInstance(processEnvironment(), bundleIdentifier());
}

bool AppEnvironment::isProductionInstance(const Environment& env,
                                          const std::optional<std::string>& bundleId) {
    if (supportDirectoryOverride(env)) {
        return false;
    }
    return effectiveBundleIdentifier(bundleId) == productionBundleIdentifier;
}

std::filesystem::path AppEnvironment::supportDirectoryURL() {
    return supportDirectoryURL(processEnvironment(), bundleIdentifier());
}

std::filesystem::path AppEnvironment::supportDirectoryURL(
    const Environment& env, const std::optional<std::string>& bundleId) {
    const auto dataHome = xdgDataHome(env);
    if (!dataHome) {
        throw Error("No data folder: neither XDG_DATA_HOME nor a home folder is set");
    }
    createDirectories(*dataHome);
    const std::string name = supportDirectoryName(env, bundleId);
    // The name must stay one folder inside the data folder: "a/b", "." or ".." would put the
    // instance's databases somewhere else entirely.
    if (name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos) {
        throw Error("The instance name \"" + name + "\" is not a folder name");
    }
    auto url = *dataHome / name;
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(url, error))) {
        createPrivateDirectory(url);
    } else if (std::filesystem::is_directory(url, error)) {
        // A folder made by an older build may be readable by others: take their access away.
        std::filesystem::permissions(
            url, std::filesystem::perms::group_all | std::filesystem::perms::others_all,
            std::filesystem::perm_options::remove, error);
        if (error) {
            throw Error("Could not make the folder " + url.string() +
                        " private: " + error.message());
        }
    }
    return url;
}

std::string AppEnvironment::instanceScopedKey(std::string_view key) {
    return instanceScopedKey(key, processEnvironment(), bundleIdentifier());
}

std::string AppEnvironment::instanceScopedKey(std::string_view key, const Environment& env,
                                              const std::optional<std::string>& bundleId) {
    if (isProductionInstance(env, bundleId)) {
        return std::string(key);
    }
    return std::string(key) + "." + supportDirectoryName(env, bundleId);
}

}  // namespace vask
