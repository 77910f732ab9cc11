#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

#include "platform/user_defaults.h"

namespace vask::test {

// The settings file, where each change is a point a launch may die after.
class WatchedDefaults final : public UserDefaults {
  public:
    using AfterWrite = std::function<void()>;

    WatchedDefaults(std::filesystem::path path, AfterWrite afterWrite)
        : file_(std::move(path)), afterWrite_(std::move(afterWrite)) {}

    std::optional<nlohmann::json> value(std::string_view key) const override {
        return file_.value(key);
    }
    void set(std::string_view key, nlohmann::json value) override {
        file_.set(key, std::move(value));
        wrote();
    }
    void remove(std::string_view key) override {
        file_.remove(key);
        wrote();
    }
    bool foundDamaged() const override { return file_.foundDamaged(); }

  private:
    void wrote() const {
        if (afterWrite_) {
            afterWrite_();
        }
    }

    JsonFileDefaults file_;
    AfterWrite afterWrite_;
};

}  // namespace vask::test
