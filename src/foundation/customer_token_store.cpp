#include "foundation/customer_token_store.h"

#include "platform/text.h"

namespace vask {

CustomerTokenStoreError::CustomerTokenStoreError(Kind kind)
    : Error("Failed to encode customer token"), kind_(kind) {}

CustomerTokenStore::CustomerTokenStore(SecureStorage& keychain, StructuredLogger logger,
                                       std::string tokenKey, std::string userEmailKey)
    : keychain_(keychain),
      logger_(std::move(logger)),
      tokenKey_(std::move(tokenKey)),
      userEmailKey_(std::move(userEmailKey)) {}

std::optional<std::string> CustomerTokenStore::readText(const std::string& key) {
    return utf8Text(keychain_.read(key));
}

void CustomerTokenStore::fillCacheLocked() {
    if (cacheLoaded_) {
        return;
    }
    cachedToken_ = readText(tokenKey_);
    cachedEmail_ = readText(userEmailKey_);
    cacheLoaded_ = true;
    logger_.info("keychain_cache_loaded", {{"has_token", cachedToken_ ? "true" : "false"},
                                           {"has_email", cachedEmail_ ? "true" : "false"}});
}

void CustomerTokenStore::ensureCacheLoaded() {
    std::lock_guard lock(mutex_);
    fillCacheLocked();
}

std::optional<std::string> CustomerTokenStore::loadToken() {
    std::lock_guard lock(mutex_);
    fillCacheLocked();
    return cachedToken_;
}

std::optional<std::string> CustomerTokenStore::loadEmail() {
    std::lock_guard lock(mutex_);
    fillCacheLocked();
    return cachedEmail_;
}

void CustomerTokenStore::save(const std::string& token, const std::string& email) {
    // Read back, bytes that are not UTF-8 count as no token: refuse them rather than store a
    // token that would silently vanish.
    if (!text::isValidUtf8(token)) {
        throw CustomerTokenStoreError(CustomerTokenStoreError::Kind::encodeFailed);
    }
    std::lock_guard lock(mutex_);
    keychain_.write(token, tokenKey_);
    try {
        keychain_.write(email, userEmailKey_);
    } catch (const KeychainError&) {
        // Storage now holds the new token beside an e-mail we cannot vouch for.
        cacheLoaded_ = false;
        throw;
    }
    cachedToken_ = token;
    cachedEmail_ = email;
    cacheLoaded_ = true;
    logger_.info("customer_token_saved", {{"email", email}});
}

void CustomerTokenStore::forget() {
    std::lock_guard lock(mutex_);
    cacheLoaded_ = false;
}

void CustomerTokenStore::clear() {
    std::lock_guard lock(mutex_);
    keychain_.remove(tokenKey_);
    try {
        keychain_.remove(userEmailKey_);
    } catch (const KeychainError&) {
        cacheLoaded_ = false;
        throw;
    }
    cachedToken_.reset();
    cachedEmail_.reset();
    cacheLoaded_ = true;
    logger_.info("customer_token_cleared");
}

}  // namespace vask
