#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vask {

// Generic-password items by service and account, the way the system's secret storage offers
// them: every operation answers a status code (0 for success, the keychain's own numbers for the
// rest), with the storage's reason beside a failure, so that the credential layer above can log and
// report one number whatever the backend. Values are bytes; any byte survives a round trip.
// Implementations are safe to call from several threads.
class SecretBackend {
  public:
    using Status = std::int32_t;
    static constexpr Status success = 0;
    static constexpr Status itemNotFound = -25300;
    static constexpr Status duplicateItem = -25299;
    // No storage answers (no Secret Service, no support folder).
    static constexpr Status notAvailable = -25291;
    // The store is locked and would need the user to unlock it. Also what a read or a removal
    // that found nothing answers while the store is locked: a locked store need not show what it
    // holds, so nothing found there is unknown, never absent, and nothing was removed.
    static constexpr Status interactionNotAllowed = -25308;
    // A stored value or the storage file cannot be decoded.
    static constexpr Status decodeFailed = -26275;
    // Any other failure of the storage itself (I/O, D-Bus errors).
    static constexpr Status internalError = -26276;
    // The call was given up before the storage answered (the application quits, or the storage
    // took longer than the caller waits): nothing is known of its effect, and nothing about the
    // storage follows from it.
    static constexpr Status cancelled = -128;

    // Whether `status` says the storage refused (locked, or the user would have to be asked),
    // rather than that it could not be reached or did not answer in time.
    static bool isRefusal(Status status) { return status == interactionNotAllowed; }
    // Whether `status` says the storage did not answer (in time, or at all): what it holds is
    // unknown, not absent.
    static bool isNoAnswer(Status status) { return status == cancelled || status == notAvailable; }

    // What an operation answers: its status and, for a failure, why in the storage's own words
    // ("Could not replace …/credentials.json: Operation not permitted"); "" when the failure
    // came with its status alone.
    struct Outcome {
        Status status = success;
        std::string reason;

        // Not explicit: a bare status is an outcome without a reason.
        Outcome(Status code = success, std::string why = {})
            : status(code), reason(std::move(why)) {}
        bool operator==(Status code) const { return status == code; }
    };

    struct ReadResult {
        // Not explicit: a bare status is a result without data.
        ReadResult(Status code = success, std::optional<std::string> bytes = std::nullopt,
                   std::string why = {})
            : status(code), data(std::move(bytes)), reason(std::move(why)) {}

        Status status = success;
        // The item's bytes when status is success.
        std::optional<std::string> data;
        // Why the read failed, as Outcome::reason.
        std::string reason;
    };

    virtual ~SecretBackend() = default;

    virtual ReadResult copyMatching(std::string_view service, std::string_view account) = 0;
    // Replaces an existing item's value; itemNotFound when there is none.
    virtual Outcome update(std::string_view service, std::string_view account,
                           std::string_view data) = 0;
    // Creates the item; duplicateItem when it exists already.
    virtual Outcome add(std::string_view service, std::string_view account,
                        std::string_view data) = 0;
    // itemNotFound when there is nothing to delete.
    virtual Outcome remove(std::string_view service, std::string_view account) = 0;
    // Removes each item (a sign-out's): the first failure other than itemNotFound, else success
    // when any was there, else itemNotFound. Storage that waits on another process makes it
    // one call, within one call's limit.
    virtual Outcome removeAll(std::string_view service, const std::vector<std::string>& accounts) {
        Outcome result(itemNotFound);
        for (const auto& account : accounts) {
            addRemoval(result, remove(service, account));
        }
        return result;
    }
    // Removes every item of `service`, whatever its account: success when any was there, else
    // itemNotFound. Storage that cannot tell its items apart by service cannot.
    virtual Outcome removeService(std::string_view /*service*/) {
        return {internalError, "this storage cannot remove a service's items"};
    }
    // Takes one item's removal into the outcome of several: the first failure stays; else
    // success once any item was there.
    static void addRemoval(Outcome& several, Outcome one) {
        const bool failedAlready = several.status != success && several.status != itemNotFound;
        if (!failedAlready && (one.status != itemNotFound || several.status == itemNotFound)) {
            several = std::move(one);
        }
    }

    // Asks the storage to unlock what holds `service`'s items, which may show the keyring's own
    // prompt: only for a user who asked. Waits until it is unlocked or the user declined
    // (interactionNotAllowed). Storage that is never locked answers success at once.
    virtual Outcome unlock(std::string_view /*service*/) { return success; }

    // Names the backend in the log ("secret_service", "file", "memory").
    virtual std::string_view kind() const = 0;
    // Whether an operation may wait on another process (a keyring over D-Bus) for as long as
    // that process takes: such a backend is never called from the main executor.
    virtual bool mayBlock() const { return false; }
    // A keyring that did not answer is asked again now if it is due (within a connection's
    // limit), reading nothing: callers do it before taking locks that other users of the
    // storage wait on, so what follows finds it answering or tried moments ago. Storage that
    // always answers does nothing.
    virtual void askAgain() {}
};

}  // namespace vask
