#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/file_secret_backend.h"
#include "platform/secret_backend.h"

namespace vask::test {

// A keyring kept in a file of its own, so that what it took outlives a launch that dies: it
// answers, refuses every change and read (locked, its items out of sight, as a login keyring
// locked at start), or never answers (each call given up at its limit).
class StandInKeyring final : public SecretBackend {
  public:
    enum class Mode { answers, refuses, silent };

    StandInKeyring(const std::filesystem::path& file, Mode mode) : items_(file), mode_(mode) {}

    ReadResult copyMatching(std::string_view service, std::string_view account) override {
        if (const auto no = refusal()) {
            return {no->status, std::nullopt, no->reason};
        }
        return items_.copyMatching(service, account);
    }
    // A keyring that refuses or is silent changes nothing.
    Outcome update(std::string_view service, std::string_view account,
                   std::string_view data) override {
        return refusal() ? *refusal() : items_.update(service, account, data);
    }
    Outcome add(std::string_view service, std::string_view account,
                std::string_view data) override {
        return refusal() ? *refusal() : items_.add(service, account, data);
    }
    Outcome remove(std::string_view service, std::string_view account) override {
        return refusal() ? *refusal() : items_.remove(service, account);
    }
    Outcome removeService(std::string_view service) override {
        return refusal() ? *refusal() : items_.removeService(service);
    }
    std::string_view kind() const override { return "stand_in"; }

  private:
    std::optional<Outcome> refusal() const {
        switch (mode_) {
            case Mode::answers:
                return std::nullopt;
            case Mode::refuses:
                return Outcome(interactionNotAllowed, "the keyring is locked");
            case Mode::silent:
                return Outcome(cancelled, "the Secret Service did not answer in time");
        }
        return std::nullopt;
    }

    FileSecretBackend items_;
    Mode mode_;
};

}  // namespace vask::test
