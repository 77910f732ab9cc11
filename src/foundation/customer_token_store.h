#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "foundation/keychain_store.h"
#include "foundation/structured_logger.h"
#include "platform/error.h"

namespace vask {

class CustomerTokenStoreError : public Error {
  public:
    enum class Kind { encodeFailed };

    explicit CustomerTokenStoreError(Kind kind);
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

// The relay platform's customer token and the signed-in user's e-mail, in the items
// "corvane.customer.token" and "corvane.customer.email", cached after the first full read.
// Storage failures pass through as KeychainError. Safe to use from several threads.
class CustomerTokenStore {
  public:
    static constexpr std::string_view defaultTokenKey = "corvane.customer.token";
    static constexpr std::string_view defaultUserEmailKey = "corvane.customer.email";

    CustomerTokenStore(SecureStorage& keychain,
                       StructuredLogger logger = StructuredLogger("customer-token"),
                       std::string tokenKey = std::string(defaultTokenKey),
                       std::string userEmailKey = std::string(defaultUserEmailKey));

    // Throws CustomerTokenStoreError (a token that is not UTF-8) or KeychainError. When the
    // token item is written but the e-mail item is not, the cache is dropped, so the next read
    // answers what storage now holds.
    void save(const std::string& token, const std::string& email);
    // When the token item is removed but the e-mail item is not, the cache is dropped likewise.
    void clear();
    // The items it keeps, for a removal of several stores' items at once.
    std::vector<std::string> keys() const { return {tokenKey_, userEmailKey_}; }
    // Drops the cache: the next read asks storage.
    void forget();

    void ensureCacheLoaded();
    std::optional<std::string> loadToken();
    std::optional<std::string> loadEmail();

  private:
    void fillCacheLocked();
    std::optional<std::string> readText(const std::string& key);

    SecureStorage& keychain_;
    StructuredLogger logger_;
    std::string tokenKey_;
    std::string userEmailKey_;
    std::mutex mutex_;
    std::optional<std::string> cachedToken_;
    std::optional<std::string> cachedEmail_;
    bool cacheLoaded_ = false;
};

}  // namespace vask
