#include "foundation/keychain_store.h"

#include "foundation/nil_if_empty.h"
#include "platform/text.h"

namespace vask {
namespace {

std::string describe(KeychainError::Kind kind, std::int32_t status) {
    const char* phrase = "";
    switch (kind) {
        case KeychainError::Kind::readFailed:
            phrase = "Keychain read failed: status ";
            break;
        case KeychainError::Kind::writeFailed:
            phrase = "Keychain write failed: status ";
            break;
        case KeychainError::Kind::deleteFailed:
            phrase = "Keychain delete failed: status ";
            break;
    }
    return phrase + std::to_string(status);
}

}  // namespace

KeychainError::KeychainError(Kind kind, std::int32_t status)
    : Error(describe(kind, status)), kind_(kind), status_(status) {}

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
    logger_.error("keychain_read_failed",
                  {{"key", std::string(key)}, {"status", std::to_string(result.status)}});
    throw KeychainError(KeychainError::Kind::readFailed, result.status);
}

void KeychainStore::write(std::string_view data, std::string_view key) {
    const auto updated = backend_->update(service_, key, data);
    if (updated == SecretBackend::success) {
        return;
    }
    if (updated != SecretBackend::itemNotFound) {
        logger_.error("keychain_update_failed",
                      {{"key", std::string(key)}, {"status", std::to_string(updated)}});
        throw KeychainError(KeychainError::Kind::writeFailed, updated);
    }
    const auto added = backend_->add(service_, key, data);
    if (added != SecretBackend::success) {
        logger_.error("keychain_add_failed",
                      {{"key", std::string(key)}, {"status", std::to_string(added)}});
        throw KeychainError(KeychainError::Kind::writeFailed, added);
    }
}

void KeychainStore::remove(std::string_view key) {
    const auto status = backend_->remove(service_, key);
    if (status == SecretBackend::success || status == SecretBackend::itemNotFound) {
        return;
    }
    logger_.error("keychain_delete_failed",
                  {{"key", std::string(key)}, {"status", std::to_string(status)}});
    throw KeychainError(KeychainError::Kind::deleteFailed, status);
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
