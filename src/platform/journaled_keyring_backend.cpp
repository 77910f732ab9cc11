#include "platform/journaled_keyring_backend.h"

#include "platform/logger.h"

namespace vask {
namespace {

const Logger& logger() {
    static const auto* const instance = new Logger("ai.ternwick.Vask", "keychain");
    return *instance;
}

// Replaces or adds the item, whichever the backend needs.
SecretBackend::Outcome putInto(SecretBackend& backend, std::string_view service,
                               std::string_view account, std::string_view data) {
    auto outcome = backend.update(service, account, data);
    if (outcome.status == SecretBackend::itemNotFound) {
        outcome = backend.add(service, account, data);
    }
    return outcome;
}

bool gone(const SecretBackend::Outcome& outcome) {
    return outcome.status == SecretBackend::success ||
           outcome.status == SecretBackend::itemNotFound;
}

}  // namespace

JournaledKeyringBackend::JournaledKeyringBackend(std::shared_ptr<SecretBackend> keyring,
                                                 std::shared_ptr<FileSecretBackend> pending,
                                                 std::shared_ptr<FileSecretBackend> removed)
    : keyring_(std::move(keyring)), pending_(std::move(pending)), removed_(std::move(removed)) {}

JournaledKeyringBackend::Settled JournaledKeyringBackend::settle() {
    std::lock_guard lock(changing_);
    Settled settled;
    const auto note = [&settled](const Outcome& outcome) {
        settled.unfinished = true;
        if (!settled.refusal && isRefusal(outcome.status)) {
            settled.refusal = outcome;
        }
    };
    for (const auto& key : removed_->keys()) {
        const auto outcome = keyring_->remove(key.service, key.account);
        if (gone(outcome)) {
            removed_->remove(key.service, key.account);
            ++settled.removed;
        } else {
            note(outcome);
        }
    }
    const auto moved = pending_->moveInto(*keyring_);
    settled.moved = moved.moved;
    if (moved.firstFailure) {
        note(*moved.firstFailure);
    }
    if (settled.removed > 0 || settled.unfinished) {
        logger().info("secret_record_settled removed=" + std::to_string(settled.removed) +
                      " moved=" + std::to_string(settled.moved) +
                      " unfinished=" + (settled.unfinished ? "true" : "false"));
    }
    return settled;
}

bool JournaledKeyringBackend::removalNoted(std::string_view service, std::string_view account) {
    return removed_->copyMatching(service, account).status == success;
}

SecretBackend::ReadResult JournaledKeyringBackend::copyMatching(std::string_view service,
                                                                std::string_view account) {
    if (removalNoted(service, account)) {
        return {itemNotFound, std::nullopt};
    }
    auto kept = pending_->copyMatching(service, account);
    if (kept.status != itemNotFound) {
        return kept;
    }
    return keyring_->copyMatching(service, account);
}

SecretBackend::Outcome JournaledKeyringBackend::update(std::string_view service,
                                                       std::string_view account,
                                                       std::string_view data) {
    return change(true, service, account, data);
}

SecretBackend::Outcome JournaledKeyringBackend::add(std::string_view service,
                                                    std::string_view account,
                                                    std::string_view data) {
    return change(false, service, account, data);
}

SecretBackend::Outcome JournaledKeyringBackend::change(bool replacing, std::string_view service,
                                                       std::string_view account,
                                                       std::string_view data) {
    std::lock_guard lock(changing_);
    // Whether the item exists is asked of the keyring only by the change itself, within the
    // change's limit: a keyring that does not answer never holds a sign-in up for longer.
    const bool removed = removalNoted(service, account);
    const bool kept = !removed && pending_->copyMatching(service, account).status == success;
    Outcome stored;
    if (removed || kept) {
        if (kept && !replacing) {
            return duplicateItem;
        }
        if (removed && replacing) {
            return itemNotFound;
        }
        stored = putInto(*keyring_, service, account, data);
    } else {
        stored = replacing ? keyring_->update(service, account, data)
                           : keyring_->add(service, account, data);
        if (stored.status == itemNotFound || stored.status == duplicateItem) {
            return stored;
        }
    }
    Outcome outcome = stored;
    if (stored.status == success) {
        // An older copy kept while the keyring was away must not win at the next start.
        pending_->remove(service, account);
    } else {
        outcome = putInto(*pending_, service, account, data);
        logger().error("secret_kept_in_file key=" + std::string(account) +
                       " status=" + std::to_string(stored.status) +
                       " kept=" + (outcome.status == success ? "true" : "false"));
        if (outcome.status != success) {
            return stored;
        }
    }
    removed_->remove(service, account);
    return outcome;
}

SecretBackend::Outcome JournaledKeyringBackend::remove(std::string_view service,
                                                       std::string_view account) {
    std::lock_guard lock(changing_);
    // Recorded before anything else, so that the removal survives whatever comes next.
    const auto noted = putInto(*removed_, service, account, {});
    const auto fromFile = pending_->remove(service, account);
    auto fromKeyring = keyring_->remove(service, account);
    const Outcome removedSomewhere =
        fromFile.status == success || fromKeyring.status == success ? success : itemNotFound;
    if (gone(fromKeyring)) {
        removed_->remove(service, account);
        return gone(fromFile) ? removedSomewhere : fromFile;
    }
    if (noted.status != success) {
        // Not recorded either: the removal did not happen, and says why.
        return fromKeyring;
    }
    logger().error("secret_removal_recorded key=" + std::string(account) +
                     " status=" + std::to_string(fromKeyring.status));
    return gone(fromFile) ? Outcome(success) : fromFile;
}

SecretBackend::Outcome JournaledKeyringBackend::unlock(std::string_view service) {
    auto outcome = keyring_->unlock(service);
    if (outcome.status == success) {
        settle();
    }
    return outcome;
}

}  // namespace vask
