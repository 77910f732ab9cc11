#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "foundation/keychain_store.h"
#include "foundation/structured_logger.h"
#include "platform/result.h"

namespace vask {

// A developer's relay API key in the item "corvane.api.key"; only read and removed here.
class APIKeyStore {
  public:
    static constexpr std::string_view defaultKey = "corvane.api.key";

    APIKeyStore(SecureStorage& keychain,
                StructuredLogger logger = StructuredLogger("api-key-store"),
                std::string key = std::string(defaultKey));

    Result<std::optional<std::string>, KeychainError> loadResult();
    // Throws KeychainError.
    void clear();
    // The item it keeps, for a removal of several stores' items at once.
    std::vector<std::string> keys() const { return {key_}; }
    // Drops the cache: the next read asks storage.
    void forget();

  private:
    SecureStorage& keychain_;
    StructuredLogger logger_;
    std::string key_;
    std::mutex mutex_;
    std::optional<std::string> cachedKey_;
    bool cacheLoaded_ = false;
};

}  // namespace vask
