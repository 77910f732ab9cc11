#include "foundation/config_manager.h"

#include <algorithm>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "platform/file_io.h"
#include "platform/json_fields.h"

namespace vask {
namespace {

std::string describe(ConfigLoadError::Case kind) {
    return kind == ConfigLoadError::Case::fileReadFailed ? "Failed to read config file: "
                                                         : "Config file corrupted: ";
}

[[noreturn]] void wrongType(const char* key, const char* expected) {
    throw std::invalid_argument(std::string("\"") + key + "\" must be " + expected);
}

std::optional<std::string> decodeString(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::nullopt;
    }
    if (!it->is_string()) {
        wrongType(key, "a string");
    }
    return it->get<std::string>();
}

std::optional<std::int64_t> decodeInteger(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::nullopt;
    }
    if (const auto whole = jsonWholeNumber(*it)) {
        return whole;
    }
    // 10.5, 1e300 and integers past the 64-bit range are refused, never wrapped.
    wrongType(key, "a whole number");
}

std::optional<std::vector<std::string>> decodeStrings(const nlohmann::json& object,
                                                      const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::nullopt;
    }
    if (!it->is_array()) {
        wrongType(key, "an array of strings");
    }
    std::vector<std::string> strings;
    for (const auto& element : *it) {
        if (!element.is_string()) {
            wrongType(key, "an array of strings");
        }
        strings.push_back(element.get<std::string>());
    }
    return strings;
}

}  // namespace

AppConfig AppConfig::decode(std::string_view json) {
    nlohmann::json object;
    try {
        object = nlohmann::json::parse(json);
    } catch (const nlohmann::json::parse_error& error) {
        throw std::invalid_argument("not valid JSON at byte " + std::to_string(error.byte));
    }
    if (!object.is_object()) {
        throw std::invalid_argument("the top level must be a JSON object");
    }
    return AppConfig{decodeStrings(object, "fileScopes"), decodeString(object, "fileUseVision"),
                     decodeInteger(object, "fileMaxPages"),
                     decodeString(object, "rlmPromptProfile"),
                     decodeInteger(object, "rlmMaxOutputChars")};
}

ConfigLoadError::ConfigLoadError(Case kind, std::string underlying)
    : Error(describe(kind) + underlying), kind_(kind), underlying_(std::move(underlying)) {}

ConfigManager::ConfigManager(std::optional<std::filesystem::path> configURL, Environment env)
    : configURL_(std::move(configURL)), env_(std::move(env)) {}

Result<AppConfig, ConfigLoadError> ConfigManager::fail(ConfigLoadError error,
                                                       std::string_view event) {
    logger_.error(event, {{"error", error.underlying()}});
    {
        std::lock_guard lock(mutex_);
        loadError_ = error;
    }
    return Result<AppConfig, ConfigLoadError>::failure(std::move(error));
}

Result<AppConfig, ConfigLoadError> ConfigManager::loadResult() {
    std::optional<std::string> contents;
    if (configURL_) {
        try {
            contents = readFileIfExists(*configURL_);
        } catch (const FileError& error) {
            return fail(ConfigLoadError(ConfigLoadError::Case::fileReadFailed, error.what()),
                        "config_read_failed");
        }
    }
    if (!contents) {
        std::lock_guard lock(mutex_);
        loadError_.reset();
        return Result<AppConfig, ConfigLoadError>::success(AppConfig{});
    }
    try {
        auto config = AppConfig::decode(*contents);
        std::lock_guard lock(mutex_);
        loadError_.reset();
        return Result<AppConfig, ConfigLoadError>::success(std::move(config));
    } catch (const std::invalid_argument& error) {
        return fail(ConfigLoadError(ConfigLoadError::Case::decodeFailed, error.what()),
                    "config_decode_failed");
    }
}

std::optional<ConfigLoadError> ConfigManager::loadError() const {
    std::lock_guard lock(mutex_);
    return loadError_;
}

FileVisionMode ConfigManager::fileUseVision() {
    const auto result = loadResult();
    if (!result.ok() || !result.value().fileUseVision) {
        return FileVisionMode::automatic;
    }
    return fileVisionModeFromString(*result.value().fileUseVision)
        .value_or(FileVisionMode::automatic);
}

FileAccessConfig ConfigManager::fileAccessConfig(std::optional<std::string> visionModel) {
    FileAccessConfig config = FileAccessConfig::defaults(std::move(visionModel), env_);
    // Each member reads the file afresh, as a person editing it expects the latest text to count.
    if (const auto result = loadResult(); result.ok() && result.value().fileScopes) {
        config.allowedScopes = *result.value().fileScopes;
    }
    if (const auto result = loadResult(); result.ok() && result.value().fileMaxPages) {
        config.maxPages = *result.value().fileMaxPages;
    }
    config.maxPages = std::max<std::int64_t>(config.maxPages, 1);
    config.useVision = fileUseVision();
    return config;
}

}  // namespace vask
