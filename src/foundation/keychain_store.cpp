#include "foundation/keychain_store.h"

#include "foundation/nil_if_empty.h"
#include "platform/text.h"

namespace vask {
namespace {

// What the user reads: what could not be done, then why, in the storage's words or in words
// for its status. The status number itself means nothing on this platform and stays in the log.
std::string describe(KeychainError::Kind kind, std::int32_t status, const std::string& reason) {
    const char* phrase = "";
    switch (kind) {
        case KeychainError::Kind::readFailed:
            phrase = "Could not read the saved credentials: ";
            break;
        case KeychainError::Kind::writeFailed:
            phrase = "Could not save the credentials: ";
            break;
        case KeychainError::Kind::deleteFailed:
            phrase = "Could not remove the saved credentials: ";
            break;
        case KeychainError::Kind::unlockFailed:
            phrase = "Could not unlock the keyring: ";
            break;
    }
    if (!reason.empty()) {
        return phrase + reason;
    }
    switch (status) {
        case SecretBackend::notAvailable:
            return phrase + std::string("no keyring answers and there is no data folder");
        case SecretBackend::interactionNotAllowed:
            return phrase + std::string("the keyring is locked");
        case SecretBackend::decodeFailed:
            return phrase + std::string("the stored credentials are damaged");
        case SecretBackend::cancelled:
            return phrase + std::string("the keyring did not answer in time");
        case SecretBackend::duplicateItem:
            return phrase + std::string("they were saved twice at once");
        default:
            return phrase + std::string("the credential storage failed");
    }
}

}  // namespace

KeychainError::KeychainError(Kind kind, std::int32_t status, const std::string& reason)
    : Error(describe(kind, status, reason)), kind_(kind), status_(status) {}

KeychainStore::KeychainStore(std::string service, std::shared_ptr<SecretBackend> backend,
                             StructuredLogger logger)
    : service_(std::move(service)), backend_(std::move(backend)), logger_(std::move(logger)) {}

std::optional<std::string> KeychainStore::read(std::string_view key) {
    auto result = backend_->copyMatching(service_, key);
    if (result.status == SecretBackend::success) {
        return std::move(result.data);
    }
    if (result.status == SecretBackend::itemNotFound) {
        return std::nullopt;
    }
    fail("keychain_read_failed", KeychainError::Kind::readFailed, key,
         {result.status, std::move(result.reason)});
}

void KeychainStore::write(std::string_view data, std::string_view key) {
    const auto updated = backend_->update(service_, key, data);
    if (updated == SecretBackend::success) {
        return;
    }
    if (updated.status != SecretBackend::itemNotFound) {
        fail("keychain_update_failed", KeychainError::Kind::writeFailed, key, updated);
    }
    const auto added = backend_->add(service_, key, data);
    if (added.status != SecretBackend::success) {
        fail("keychain_add_failed", KeychainError::Kind::writeFailed, key, added);
    }
}

void KeychainStore::remove(std::string_view key) {
    const auto removed = backend_->remove(service_, key);
    if (removed == SecretBackend::success || removed == SecretBackend::itemNotFound) {
        return;
    }
    fail("keychain_delete_failed", KeychainError::Kind::deleteFailed, key, removed);
}

void KeychainStore::removeAll(const std::vector<std::string>& keys) {
    const auto removed = backend_->removeAll(service_, keys);
    if (removed == SecretBackend::success || removed == SecretBackend::itemNotFound) {
        return;
    }
    std::string names;
    for (const auto& key : keys) {
        names += (names.empty() ? "" : ",") + key;
    }
    fail("keychain_delete_failed", KeychainError::Kind::deleteFailed, names, removed);
}

void KeychainStore::unlock() {
    const auto unlocked = backend_->unlock(service_);
    if (unlocked.status != SecretBackend::success) {
        fail("keychain_unlock_failed", KeychainError::Kind::unlockFailed, "", unlocked);
    }
    logger_.info("keychain_unlocked");
}

void KeychainStore::fail(std::string_view event, KeychainError::Kind kind, std::string_view key,
                         const SecretBackend::Outcome& outcome) const {
    logger_.error(std::string(event), {{"key", std::string(key)},
                                       {"status", std::to_string(outcome.status)},
                                       {"reason", outcome.reason}});
    throw KeychainError(kind, outcome.status, outcome.reason);
}

std::string KeychainStore::serviceName(const Environment& env,
                                       const std::optional<std::string>& bundleId) {
    if (const auto it = env.find("VASK_KEYCHAIN_SERVICE"); it != env.end()) {
        if (auto name = nilIfEmpty(it->second)) {
            return *name;
        }
    }
    if (bundleId) {
        return *bundleId;
    }
    return std::string(defaultServiceName);
}

std::optional<std::string> utf8Text(std::optional<std::string> data) {
    if (!data || !text::isValidUtf8(*data)) {
        return std::nullopt;
    }
    return data;
}

}  // namespace vask
