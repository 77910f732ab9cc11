#include "platform/journaled_keyring_backend.h"

#include <map>

#include "platform/crypto.h"
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

// What a removal note holds: which copy in the file it removes.
std::string noteFor(const SecretBackend::ReadResult& fileCopy) {
    return fileCopy.status == SecretBackend::success ? Sha256::hex(*fileCopy.data) : std::string();
}

}  // namespace

JournaledKeyringBackend::JournaledKeyringBackend(std::shared_ptr<SecretBackend> keyring,
                                                 std::shared_ptr<FileSecretBackend> pending,
                                                 std::shared_ptr<FileSecretBackend> removed,
                                                 AfterWrite afterWrite)
    : keyring_(std::move(keyring)),
      pending_(std::move(pending)),
      removed_(std::move(removed)),
      afterWrite_(std::move(afterWrite)) {}

void JournaledKeyringBackend::wrote() const {
    if (afterWrite_) {
        afterWrite_();
    }
}

void JournaledKeyringBackend::sayUnreadable(const std::string& reason) {
    if (!saidUnreadable_.exchange(true)) {
        logger().error("secret_removal_record_unreadable path=" + removed_->file().string() +
                       " reason=" + reason + " read_as=signed_out");
    }
}

JournaledKeyringBackend::Entry JournaledKeyringBackend::entry(std::string_view service,
                                                              std::string_view account) {
    Entry found;
    found.pending = pending_->copyMatching(service, account);
    const auto note = removed_->copyMatching(service, account);
    if (note.status != success && note.status != itemNotFound) {
        // Whatever it held may have been a sign-out: nothing it could hide is read.
        sayUnreadable(note.reason);
        found.noted = true;
        found.recorded = Recorded::unreadable;
        return found;
    }
    found.noted = note.status == success;
    found.note = note.data;
    if (found.pending.status == success) {
        // A note names the copy it removes: any other copy was written after it.
        found.recorded =
            found.noted && note.data == noteFor(found.pending) ? Recorded::removed : Recorded::kept;
    } else if (found.noted) {
        found.recorded = Recorded::removed;
    }
    return found;
}

JournaledKeyringBackend::Settled JournaledKeyringBackend::settle() {
    std::lock_guard lock(changing_);
    Settled settled;
    const auto note = [&settled](const Outcome& outcome) {
        settled.unfinished = true;
        if (!settled.refusal && isRefusal(outcome.status)) {
            settled.refusal = outcome;
        }
    };
    const auto notes = removed_->keys();
    if (!notes) {
        sayUnreadable("it cannot be read");
        settled.unfinished = true;
        return settled;
    }
    // The removals first, a service's in one call: the file's copies they name, then the
    // keyring's, then the notes.
    std::map<std::string, std::vector<std::string>> byService;
    for (const auto& key : *notes) {
        byService[key.service].push_back(key.account);
    }
    for (const auto& [service, accounts] : byService) {
        std::vector<std::string> named;
        for (const auto& account : accounts) {
            const auto copy = pending_->copyMatching(service, account);
            if (copy.status == success &&
                removed_->copyMatching(service, account).data == noteFor(copy)) {
                named.push_back(account);
            }
        }
        if (!named.empty()) {
            const auto fromFile = pending_->removeAll(service, named);
            if (!gone(fromFile)) {
                note(fromFile);
                continue;
            }
            wrote();
        }
        const auto fromKeyring = keyring_->removeAll(service, accounts);
        wrote();
        if (!gone(fromKeyring)) {
            note(fromKeyring);
            continue;
        }
        auto dropped = removed_->removeAll(service, accounts);
        if (!gone(dropped)) {
            note(dropped);
            continue;
        }
        wrote();
        settled.removed += accounts.size();
    }
    // Then what the keyring did not take: a copy leaves the file once the keyring holds it.
    const auto kept = pending_->keys();
    if (!kept) {
        note(Outcome(decodeFailed, pending_->file().string() + " cannot be read"));
    }
    for (const auto& key : kept.value_or(std::vector<FileSecretBackend::Key>{})) {
        if (removed_->copyMatching(key.service, key.account).status != itemNotFound) {
            // Its removal from the keyring is still to be made: the copy waits for it.
            settled.unfinished = true;
            continue;
        }
        const auto copy = pending_->copyMatching(key.service, key.account);
        if (copy.status != success) {
            note({copy.status, copy.reason});
            continue;
        }
        const auto stored = putInto(*keyring_, key.service, key.account, *copy.data);
        wrote();
        if (stored.status != success) {
            note(stored);
            continue;
        }
        const auto left = pending_->remove(key.service, key.account);
        if (!gone(left)) {
            note(left);
            continue;
        }
        wrote();
        ++settled.moved;
    }
    if (settled.removed > 0 || settled.moved > 0 || settled.unfinished) {
        logger().info("secret_record_settled removed=" + std::to_string(settled.removed) +
                      " moved=" + std::to_string(settled.moved) +
                      " unfinished=" + (settled.unfinished ? "true" : "false"));
    }
    return settled;
}

SecretBackend::ReadResult JournaledKeyringBackend::copyMatching(std::string_view service,
                                                                std::string_view account) {
    auto found = entry(service, account);
    switch (found.recorded) {
        case Recorded::removed:
        case Recorded::unreadable:
            return {itemNotFound, std::nullopt};
        case Recorded::kept:
            return std::move(found.pending);
        case Recorded::nothing:
            break;
    }
    if (found.pending.status != itemNotFound) {
        return std::move(found.pending);
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

SecretBackend::Outcome JournaledKeyringBackend::dropUnreadableRecord(std::string_view service) {
    if (removed_->keys()) {
        return success;
    }
    // Whatever it held may have been a sign-out: it goes only once nothing it could hide is left.
    const auto unreadable = removed_->file().string() + " cannot be read";
    const auto fromKeyring = keyring_->removeService(service);
    wrote();
    if (!gone(fromKeyring)) {
        return {fromKeyring.status, unreadable + ", and the keyring's items it may remove stay (" +
                                        fromKeyring.reason + ")"};
    }
    const auto fromFile = pending_->removeService(service);
    if (!gone(fromFile)) {
        return {fromFile.status,
                unreadable + ", and the copies it may remove stay (" + fromFile.reason + ")"};
    }
    wrote();
    auto aside = removed_->setAside();
    if (aside.status != success) {
        return aside;
    }
    wrote();
    logger().info("secret_removal_record_replaced removed_from_keyring=" +
                  std::string(fromKeyring.status == success ? "true" : "false"));
    return success;
}

SecretBackend::Outcome JournaledKeyringBackend::change(bool replacing, std::string_view service,
                                                       std::string_view account,
                                                       std::string_view data) {
    std::lock_guard lock(changing_);
    if (entry(service, account).recorded == Recorded::unreadable) {
        // A write must not set the record aside as it stands: a sign-out it held would be lost.
        if (auto dropped = dropUnreadableRecord(service); dropped.status != success) {
            logger().error("secret_not_kept key=" + std::string(account) +
                           " status=" + std::to_string(dropped.status));
            return dropped;
        }
    }
    const auto found = entry(service, account);
    // Whether the item exists is known from the record when it holds the item; else only the
    // keyring's own update or add says, within the change's limit.
    const bool known = found.recorded != Recorded::nothing;
    const bool exists = found.recorded == Recorded::kept;
    if (known && exists != replacing) {
        return replacing ? itemNotFound : duplicateItem;
    }
    const auto before = found.pending.status == success ? found.pending.data : std::nullopt;
    const auto undo = [&] {
        const auto undone = before ? putInto(*pending_, service, account, *before)
                                   : pending_->remove(service, account);
        if (!gone(undone)) {
            logger().error("secret_file_not_undone key=" + std::string(account));
        }
    };
    // 0. A note names a copy by its value: one that would name the new copy (the same value,
    //    signed out before) is first made to name none, so the copy is read as the newer.
    if (found.noted && found.note == Sha256::hex(data)) {
        auto renamed = removed_->putAll(service, {{std::string(account), std::string()}});
        if (renamed.status != success) {
            return renamed;
        }
        wrote();
    }
    // 1. The file: from here on the next start reads the new value.
    auto kept = putInto(*pending_, service, account, data);
    if (kept.status != success) {
        logger().error("secret_not_kept key=" + std::string(account) +
                       " status=" + std::to_string(kept.status));
        return kept;
    }
    wrote();
    // 2. The note of an earlier removal, which no longer applies.
    if (found.noted) {
        auto dropped = removed_->remove(service, account);
        if (!gone(dropped)) {
            undo();
            return dropped;
        }
        wrote();
    }
    // 3. The keyring.
    auto stored = known ? putInto(*keyring_, service, account, data)
                        : (replacing ? keyring_->update(service, account, data)
                                     : keyring_->add(service, account, data));
    wrote();
    if (!known && (stored.status == itemNotFound || stored.status == duplicateItem)) {
        undo();
        return stored;
    }
    if (stored.status != success) {
        logger().error("secret_kept_in_file key=" + std::string(account) +
                       " status=" + std::to_string(stored.status));
        return success;
    }
    // 4. The file's copy, now the keyring's too.
    if (gone(pending_->remove(service, account))) {
        wrote();
    }
    return success;
}

SecretBackend::Outcome JournaledKeyringBackend::remove(std::string_view service,
                                                       std::string_view account) {
    return removeAll(service, {std::string(account)});
}

SecretBackend::Outcome JournaledKeyringBackend::removeAll(
    std::string_view service, const std::vector<std::string>& accounts) {
    std::lock_guard lock(changing_);
    // 1. Every removal noted in one write, each naming the file's copy it removes.
    std::vector<std::pair<std::string, std::string>> notes;
    bool inFile = false;
    for (const auto& account : accounts) {
        const auto copy = pending_->copyMatching(service, account);
        inFile = inFile || copy.status == success;
        notes.emplace_back(account, noteFor(copy));
    }
    // A note that cannot be written (a full disk, a record that is not a regular file) stops
    // nothing: a sign-out takes off this machine whatever it can, and says what it could not.
    // A record that cannot be read is never written over while it may hold other sign-outs.
    auto noted = dropUnreadableRecord(service);
    if (noted.status == success) {
        noted = removed_->putAll(service, notes);
    }
    if (noted.status == success) {
        wrote();
    } else {
        logger().error("secret_removal_not_noted status=" + std::to_string(noted.status));
    }
    // 2. The file's copies (the notes hide them already).
    const auto fromFile = pending_->removeAll(service, accounts);
    if (fromFile.status == success) {
        wrote();
    }
    // 3. The keyring's, in one call.
    const auto fromKeyring = keyring_->removeAll(service, accounts);
    wrote();
    if (noted.status != success) {
        return unnoted(noted, fromFile, fromKeyring, inFile);
    }
    if (!gone(fromKeyring)) {
        logger().error("secret_removal_recorded status=" + std::to_string(fromKeyring.status));
        return success;
    }
    // 4. The notes.
    if (gone(removed_->removeAll(service, accounts))) {
        wrote();
    }
    return inFile || fromKeyring.status == success ? success : itemNotFound;
}

SecretBackend::Outcome JournaledKeyringBackend::unnoted(const Outcome& noted,
                                                        const Outcome& fromFile,
                                                        const Outcome& fromKeyring, bool inFile) {
    std::string left;
    if (!gone(fromFile)) {
        left = "the copies in " + pending_->file().string() + " stay (" + fromFile.reason + ")";
    }
    if (!gone(fromKeyring)) {
        left += (left.empty() ? "" : "; ") +
                std::string("the keyring's stay until it is asked again (") +
                (fromKeyring.reason.empty() ? "status " + std::to_string(fromKeyring.status)
                                            : fromKeyring.reason) +
                ")";
    }
    if (left.empty()) {
        // Everything went: the note would have had nothing left to hide.
        return inFile || fromKeyring.status == success ? success : itemNotFound;
    }
    const auto failed = !gone(fromKeyring) ? fromKeyring.status : fromFile.status;
    return {failed, "the removal could not be noted (" + noted.reason + "), so " + left};
}

SecretBackend::Outcome JournaledKeyringBackend::unlock(std::string_view service) {
    auto outcome = keyring_->unlock(service);
    if (outcome.status == success) {
        {
            // A damaged record's sign-out is finished now that the keyring shows what it hides.
            std::lock_guard lock(changing_);
            if (const auto dropped = dropUnreadableRecord(service); dropped.status != success) {
                logger().error("secret_removal_record_kept status=" +
                               std::to_string(dropped.status) + " reason=" + dropped.reason);
            }
        }
        settle();
    }
    return outcome;
}

}  // namespace vask
