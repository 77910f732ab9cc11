#include "foundation/api_key_store.h"

#include "platform/text.h"

namespace vask {
namespace {

// Item bytes as text: nothing when absent or not UTF-8.
std::optional<std::string> utf8Text(std::optional<std::string> data) {
    if (!data || text::toValidUtf8(*data) != *data) {
        return std::nullopt;
    }
    return data;
}

}  // namespace

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

void APIKeyStore::clear() {
    std::lock_guard lock(mutex_);
    keychain_.remove(key_);
    cachedKey_.reset();
    cacheLoaded_ = true;
    logger_.info("api_key_cleared");
}

}  // namespace vask
