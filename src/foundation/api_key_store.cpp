#include "foundation/api_key_store.h"

#include "platform/text.h"

namespace vask {

APIKeyStore::APIKeyStore(SecureStorage& keychain, StructuredLogger logger, std::string key)
    : keychain_(keychain), logger_(std::move(logger)), key_(std::move(key)) {}

Result<std::optional<std::string>, KeychainError> APIKeyStore::loadResult() {
    using LoadResult = Result<std::optional<std::string>, KeychainError>;
    std::lock_guard lock(mutex_);
    if (cacheLoaded_) {
        return LoadResult::success(cachedKey_);
    }
    try {
        cachedKey_ = utf8Text(keychain_.read(key_));
    } catch (const KeychainError& e) {
        return LoadResult::failure(e);
    }
    cacheLoaded_ = true;
    return LoadResult::success(cachedKey_);
}

void APIKeyStore::forget() {
    std::lock_guard lock(mutex_);
    cacheLoaded_ = false;
}

void APIKeyStore::clear() {
    std::lock_guard lock(mutex_);
    keychain_.remove(key_);
    cachedKey_.reset();
    cacheLoaded_ = true;
    logger_.info("api_key_cleared");
}

}  // namespace vask
