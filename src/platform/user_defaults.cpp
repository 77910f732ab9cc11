#include "platform/user_defaults.h"

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/file_io.h"
#include "platform/file_lock.h"
#include "platform/logger.h"
#include "platform/owner_only_file.h"

#ifndef VASK_BUNDLE_ID
#error "VASK_BUNDLE_ID must be defined by the build"
#endif

namespace vask {
namespace {

const Logger& defaultsLogger() {
    static const Logger logger("ai.ternwick.Vask", "user-defaults");
    return logger;
}

template <typename T>
DefaultsLookup<T> lookup(const std::optional<nlohmann::json>& json,
                         const std::function<std::optional<T>(const nlohmann::json&)>& convert) {
    if (!json) {
        return {};
    }
    if (auto converted = convert(*json)) {
        return {DefaultsLookup<T>::State::present, std::move(*converted)};
    }
    return {DefaultsLookup<T>::State::otherType, T{}};
}

// A settings file kept as a link (by a dotfile manager) is followed, but not in a folder another
// user can write: a link there may have been planted to make Vask read or replace another file.
LinkPolicy settingsLinkPolicy(const std::filesystem::path& file) {
    return isFolderWritableByOthers(file.parent_path()) ? LinkPolicy::refuse
                                                        : LinkPolicy::replaceTarget;
}

}  // namespace

DefaultsLookup<bool> UserDefaults::boolValue(std::string_view key) const {
    return lookup<bool>(value(key), [](const nlohmann::json& j) -> std::optional<bool> {
        return j.is_boolean() ? std::optional<bool>(j.get<bool>()) : std::nullopt;
    });
}

DefaultsLookup<std::int64_t> UserDefaults::integerValue(std::string_view key) const {
    return lookup<std::int64_t>(
        value(key), [](const nlohmann::json& j) -> std::optional<std::int64_t> {
            if (j.is_number_integer()) {
                return j.get<std::int64_t>();
            }
            if (j.is_number_unsigned()) {
                const auto u = j.get<std::uint64_t>();
                if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                    return static_cast<std::int64_t>(u);
                }
                return std::nullopt;
            }
            if (j.is_number_float()) {
                const double d = j.get<double>();
                if (std::isfinite(d) && std::trunc(d) == d && d >= -9.2e18 && d <= 9.2e18) {
                    return static_cast<std::int64_t>(d);
                }
            }
            return std::nullopt;
        });
}

DefaultsLookup<double> UserDefaults::doubleValue(std::string_view key) const {
    return lookup<double>(value(key), [](const nlohmann::json& j) -> std::optional<double> {
        return j.is_number() ? std::optional<double>(j.get<double>()) : std::nullopt;
    });
}

DefaultsLookup<std::string> UserDefaults::stringValue(std::string_view key) const {
    return lookup<std::string>(
        value(key), [](const nlohmann::json& j) -> std::optional<std::string> {
            return j.is_string() ? std::optional<std::string>(j.get<std::string>()) : std::nullopt;
        });
}

DefaultsLookup<std::vector<std::string>> UserDefaults::stringArrayValue(
    std::string_view key) const {
    return lookup<std::vector<std::string>>(
        value(key), [](const nlohmann::json& j) -> std::optional<std::vector<std::string>> {
            if (!j.is_array()) {
                return std::nullopt;
            }
            std::vector<std::string> strings;
            for (const auto& element : j) {
                if (!element.is_string()) {
                    return std::nullopt;
                }
                strings.push_back(element.get<std::string>());
            }
            return strings;
        });
}

std::filesystem::path UserDefaults::standardPath() {
    const auto config = xdgConfigHome(processEnvironment());
    if (!config) {
        throw Error("No configuration folder: neither HOME nor XDG_CONFIG_HOME names one");
    }
    return *config / "vask" / (std::string(VASK_BUNDLE_ID) + ".json");
}

std::optional<nlohmann::json> InMemoryDefaults::value(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const auto it = values_.find(std::string(key));
    if (it == values_.end()) {
        return std::nullopt;
    }
    return *it;
}

void InMemoryDefaults::set(std::string_view key, nlohmann::json value) {
    std::lock_guard lock(mutex_);
    values_[std::string(key)] = std::move(value);
}

void InMemoryDefaults::remove(std::string_view key) {
    std::lock_guard lock(mutex_);
    values_.erase(std::string(key));
}

JsonFileDefaults::JsonFileDefaults(std::filesystem::path path,
                                   std::shared_ptr<FileProblems> problems)
    : path_(std::move(path)), problems_(std::move(problems)) {
    reload();
}

std::optional<nlohmann::json> JsonFileDefaults::value(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const auto it = values_.find(std::string(key));
    if (it == values_.end()) {
        return std::nullopt;
    }
    return *it;
}

void JsonFileDefaults::set(std::string_view key, nlohmann::json value) {
    change(key, std::move(value));
}

void JsonFileDefaults::remove(std::string_view key) {
    change(key, std::nullopt);
}

std::optional<std::string> JsonFileDefaults::loadError() const {
    std::lock_guard lock(mutex_);
    return loadError_;
}

bool JsonFileDefaults::foundDamaged() const {
    std::lock_guard lock(mutex_);
    return foundDamaged_;
}

void JsonFileDefaults::reload() {
    std::lock_guard lock(mutex_);
    try {
        if (auto values = readFromDisk()) {
            values_ = std::move(*values);
        }
    } catch (const FileError& error) {
        loadError_ = error.what();
        defaultsLogger().error(std::string("user_defaults_read_failed error=") + error.what());
    }
}

std::optional<nlohmann::json> JsonFileDefaults::readFromDisk() {
    const auto contents = readFileIfExists(path_, settingsLinkPolicy(path_));
    if (!contents) {
        loadError_.reset();
        return nlohmann::json::object();
    }
    auto parsed = nlohmann::json::parse(*contents, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        loadError_ = "The settings file " + path_.string() + " is not a JSON object";
        foundDamaged_ = true;
        defaultsLogger().error("user_defaults_corrupt path=" + path_.string());
        return std::nullopt;
    }
    loadError_.reset();
    return parsed;
}

void JsonFileDefaults::change(std::string_view key, const std::optional<nlohmann::json>& value) {
    std::lock_guard lock(mutex_);
    try {
        createOwnerOnlyDirectories(path_.parent_path());
        const auto fileLock = FileLock::acquire(path_.string() + ".lock");
        auto base = readFromDisk();
        if (!base) {
            const auto aside = setAsideCorruptFile(path_);
            defaultsLogger().error("user_defaults_corrupt_kept path=" + aside.string());
            if (problems_) {
                problems_->report({FileProblem::Kind::settingsDamaged, path_, aside, {}});
            }
            base = values_;
        }
        if (value) {
            (*base)[std::string(key)] = *value;
        } else {
            base->erase(std::string(key));
        }
        writeFileAtomically(
            path_, base->dump(2) + "\n",
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
            settingsLinkPolicy(path_));
        values_ = std::move(*base);
        loadError_.reset();
    } catch (const std::exception& error) {
        // Keep the change for this run so the app behaves as asked; the failure is logged.
        if (value) {
            values_[std::string(key)] = *value;
        } else {
            values_.erase(std::string(key));
        }
        defaultsLogger().error(std::string("user_defaults_write_failed error=") + error.what());
        if (problems_) {
            problems_->report(
                {FileProblem::Kind::settingsUnwritable, path_, std::nullopt, error.what()});
        }
    }
}

}  // namespace vask
