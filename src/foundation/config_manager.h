#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/file_access_config.h"
#include "foundation/structured_logger.h"
#include "platform/error.h"
#include "platform/result.h"

namespace vask {

// The user-edited config.json. Every member is absent when its key is missing or null.
struct AppConfig {
    std::optional<std::vector<std::string>> fileScopes;
    std::optional<std::string> fileUseVision;
    std::optional<std::int64_t> fileMaxPages;
    std::optional<std::string> rlmPromptProfile;
    std::optional<std::int64_t> rlmMaxOutputChars;

    // Decodes the JSON object; other keys are ignored. Throws std::invalid_argument, with what is
    // wrong, for text that is not a JSON object or a known key with a value of the wrong type.
    static AppConfig decode(std::string_view json);

    bool operator==(const AppConfig&) const = default;
};

class ConfigLoadError : public Error {
  public:
    enum class Case { fileReadFailed, decodeFailed };

    ConfigLoadError(Case kind, std::string underlying);

    Case kind() const { return kind_; }
    const std::string& underlying() const { return underlying_; }
    bool operator==(const ConfigLoadError& other) const {
        return kind_ == other.kind_ && underlying_ == other.underlying_;
    }

  private:
    Case kind_;
    std::string underlying_;
};

// What the chat view model receives as its configuration source.
class ConfigProviding {
  public:
    virtual ~ConfigProviding() = default;
    virtual std::optional<ConfigLoadError> loadError() const = 0;
    virtual FileVisionMode fileUseVision() = 0;
    virtual const std::optional<std::filesystem::path>& configURL() const = 0;
    virtual FileAccessConfig fileAccessConfig(std::optional<std::string> visionModel) = 0;
};

// Reads config.json from the support directory afresh on every use; the application never
// writes it. A missing file means every default; a broken one is logged, kept in loadError for
// the popover, and every reader falls back to the defaults.
class ConfigManager final : public ConfigProviding {
  public:
    // The file at `configURL`; nothing means there is no file to read. Default scopes come from
    // `env`.
    ConfigManager(std::optional<std::filesystem::path> configURL,
                  Environment env = processEnvironment());

    Result<AppConfig, ConfigLoadError> loadResult();

    std::optional<ConfigLoadError> loadError() const override;
    FileVisionMode fileUseVision() override;
    const std::optional<std::filesystem::path>& configURL() const override { return configURL_; }
    FileAccessConfig fileAccessConfig(std::optional<std::string> visionModel) override;

  private:
    Result<AppConfig, ConfigLoadError> fail(ConfigLoadError error, std::string_view event);

    StructuredLogger logger_{"config"};
    std::optional<std::filesystem::path> configURL_;
    Environment env_;
    mutable std::mutex mutex_;
    std::optional<ConfigLoadError> loadError_;
};

}  // namespace vask
