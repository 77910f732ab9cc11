#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/file_problem.h"

namespace vask {

// A typed read of one settings key: absent, present with another type, or present.
template <typename T>
struct DefaultsLookup {
    enum class State { absent, otherType, present };

    State state = State::absent;
    T value{};

    bool isPresent() const { return state == State::present; }
    bool isAbsent() const { return state == State::absent; }
    bool hasOtherType() const { return state == State::otherType; }
    std::optional<T> optional() const {
        return isPresent() ? std::optional<T>(value) : std::nullopt;
    }
    T valueOr(T fallback) const { return isPresent() ? value : std::move(fallback); }
};

// Settings of one application: JSON values by key. Safe to use from any thread.
class UserDefaults {
  public:
    virtual ~UserDefaults() = default;

    virtual std::optional<nlohmann::json> value(std::string_view key) const = 0;
    virtual void set(std::string_view key, nlohmann::json value) = 0;
    virtual void remove(std::string_view key) = 0;
    // Whether this run found the settings damaged (even if a change has replaced them since):
    // what they held is unknown, not absent.
    virtual bool foundDamaged() const { return false; }

    DefaultsLookup<bool> boolValue(std::string_view key) const;
    // Whole numbers only; 2.5 is another type, 2.0 counts as 2.
    DefaultsLookup<std::int64_t> integerValue(std::string_view key) const;
    // Any number.
    DefaultsLookup<double> doubleValue(std::string_view key) const;
    DefaultsLookup<std::string> stringValue(std::string_view key) const;
    DefaultsLookup<std::vector<std::string>> stringArrayValue(std::string_view key) const;

    // Where this build's settings are kept: $XDG_CONFIG_HOME/vask/<bundle id>.json, by default
    // under ~/.config. Throws vask::Error when the user has no home folder.
    static std::filesystem::path standardPath();
};

// Settings kept in memory only, for tests.
class InMemoryDefaults final : public UserDefaults {
  public:
    std::optional<nlohmann::json> value(std::string_view key) const override;
    void set(std::string_view key, nlohmann::json value) override;
    void remove(std::string_view key) override;

  private:
    mutable std::mutex mutex_;
    nlohmann::json values_ = nlohmann::json::object();
};

// Settings in one JSON file. Every change re-reads the file under a lock file, applies itself and
// replaces the file atomically, so another process's keys are kept and a crash never leaves a
// torn file. A file that does not parse is reported (loadError) and, at the next change, kept
// beside the new one as "<name>.corrupt-<time>" rather than silently emptied. That, and a file
// that cannot be written, is logged and reported to `problems` (when given) for the user.
class JsonFileDefaults final : public UserDefaults {
  public:
    explicit JsonFileDefaults(std::filesystem::path path,
                              std::shared_ptr<FileProblems> problems = nullptr);

    std::optional<nlohmann::json> value(std::string_view key) const override;
    void set(std::string_view key, nlohmann::json value) override;
    void remove(std::string_view key) override;

    // Why the file could not be read the last time it was read, if it could not.
    std::optional<std::string> loadError() const;
    bool foundDamaged() const override;
    // Reads the file again (changes made by other processes appear).
    void reload();
    const std::filesystem::path& path() const { return path_; }

  private:
    void change(std::string_view key, const std::optional<nlohmann::json>& value);
    // The file's values; on a file that does not parse, records the error and returns nothing.
    std::optional<nlohmann::json> readFromDisk();

    std::filesystem::path path_;
    std::shared_ptr<FileProblems> problems_;
    mutable std::mutex mutex_;
    nlohmann::json values_ = nlohmann::json::object();
    std::optional<std::string> loadError_;
    bool foundDamaged_ = false;
};

}  // namespace vask
