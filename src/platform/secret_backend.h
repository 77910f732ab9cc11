#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vask {

// Generic-password items by service and account, the way the system's secret storage offers
// them: every operation answers a status code (0 for success, the keychain's own numbers for the
// rest) so that the credential layer above can log and report one number whatever the backend.
// Values are bytes; any byte survives a round trip. Implementations are safe to call from
// several threads.
class SecretBackend {
  public:
    using Status = std::int32_t;
    static constexpr Status success = 0;
    static constexpr Status itemNotFound = -25300;
    static constexpr Status duplicateItem = -25299;
    // No storage answers (no Secret Service, no support folder).
    static constexpr Status notAvailable = -25291;
    // The store is locked and would need the user to unlock it.
    static constexpr Status interactionNotAllowed = -25308;
    // A stored value or the storage file cannot be decoded.
    static constexpr Status decodeFailed = -26275;
    // Any other failure of the storage itself (I/O, D-Bus errors).
    static constexpr Status internalError = -26276;

    struct ReadResult {
        Status status = success;
        // The item's bytes when status is success.
        std::optional<std::string> data;
    };

    virtual ~SecretBackend() = default;

    virtual ReadResult copyMatching(std::string_view service, std::string_view account) = 0;
    // Replaces an existing item's value; itemNotFound when there is none.
    virtual Status update(std::string_view service, std::string_view account,
                          std::string_view data) = 0;
    // Creates the item; duplicateItem when it exists already.
    virtual Status add(std::string_view service, std::string_view account,
                       std::string_view data) = 0;
    // itemNotFound when there is nothing to delete.
    virtual Status remove(std::string_view service, std::string_view account) = 0;

    // Names the backend in the log ("secret_service", "file", "memory").
    virtual std::string_view kind() const = 0;
    // Whether an operation may wait on another process (a keyring over D-Bus) for as long as
    // that process takes: such a backend is never called from the main executor.
    virtual bool mayBlock() const { return false; }

    // Why the last operation of the calling thread failed, in the storage's own words ("Could
    // not replace …/credentials.json: Operation not permitted"), and forgets it; "" when the
    // failure came with its status alone. Per thread, so an operation and the reading of its
    // reason pair up whatever other threads do meanwhile.
    static std::string takeFailureReason() { return std::exchange(failureReason(), {}); }
    // Implementations record the reason of a failure just before answering its status.
    static void noteFailureReason(std::string reason) { failureReason() = std::move(reason); }

  private:
    static std::string& failureReason() {
        thread_local std::string reason;
        return reason;
    }
};

}  // namespace vask
