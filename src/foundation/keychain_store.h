#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/structured_logger.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/secret_backend.h"

namespace vask {

// A secret-storage failure, carrying the storage's status number (for the log) and, in its
// text, what went wrong in words: the storage's own reason when it gave one.
class KeychainError : public Error {
  public:
    enum class Kind { readFailed, writeFailed, deleteFailed, unlockFailed };

    KeychainError(Kind kind, std::int32_t status, const std::string& reason = {});

    Kind kind() const { return kind_; }
    std::int32_t status() const { return status_; }

  private:
    Kind kind_;
    std::int32_t status_;
};

// What the credential stores need of secret storage. Operations throw KeychainError only.
class SecureStorage {
  public:
    virtual ~SecureStorage() = default;
    // Nothing when there is no item.
    virtual std::optional<std::string> read(std::string_view key) = 0;
    virtual void write(std::string_view data, std::string_view key) = 0;
    // Removing an absent item succeeds.
    virtual void remove(std::string_view key) = 0;
    // Removes every item at once (a sign-out's): a launch cut short removes all or none, and
    // storage that waits on a keyring waits for one call, not one per item.
    virtual void removeAll(const std::vector<std::string>& keys) {
        for (const auto& key : keys) {
            remove(key);
        }
    }
};

// Generic-password items of one service: the one component that talks to secret storage.
// Every failure other than "no item" is logged with the account and the status number, never
// the value.
class KeychainStore final : public SecureStorage {
  public:
    static constexpr std::string_view defaultServiceName = "ai.ternwick.Vask";

    KeychainStore(std::string service, std::shared_ptr<SecretBackend> backend,
                  StructuredLogger logger = StructuredLogger("keychain"));

    std::optional<std::string> read(std::string_view key) override;
    void write(std::string_view data, std::string_view key) override;
    void remove(std::string_view key) override;
    void removeAll(const std::vector<std::string>& keys) override;
    // Asks the storage to unlock this service's items, which may show the keyring's prompt:
    // only for a user who asked. Throws KeychainError when they stay locked.
    void unlock();

    const std::string& service() const { return service_; }
    const SecretBackend& backend() const { return *backend_; }

    // VASK_KEYCHAIN_SERVICE trimmed when not blank; else the bundle identifier as it is; else
    // the default name.
    static std::string serviceName(const Environment& env,
                                   const std::optional<std::string>& bundleId);

  private:
    // Logs `event` and throws the failure.
    [[noreturn]] void fail(std::string_view event, KeychainError::Kind kind, std::string_view key,
                           const SecretBackend::Outcome& outcome) const;

    std::string service_;
    std::shared_ptr<SecretBackend> backend_;
    StructuredLogger logger_;
};

// An item's bytes as text: nothing when absent or not UTF-8.
std::optional<std::string> utf8Text(std::optional<std::string> data);

}  // namespace vask
