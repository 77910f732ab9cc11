#pragma once

#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/keychain_store.h"
#include "foundation/structured_logger.h"
#include "platform/clock.h"
#include "platform/error.h"

namespace vask {

// The cloud sign-in record, stored as JSON with the keys "accessToken", "refreshToken",
// "refreshExpiresAt" (internet date-time without fractions), "userID" and "userEmail".
struct CloudAuthSession {
    std::string accessToken;
    std::string refreshToken;
    Clock::WallTime refreshExpiresAt;
    std::string userID;
    std::string userEmail;

    bool operator==(const CloudAuthSession&) const = default;

    std::string encoded() const;
    // Throws vask::Error saying what is wrong: every key is required, dates must be exact.
    static CloudAuthSession decode(std::string_view json);
};

class CloudAuthStoreError : public Error {
  public:
    enum class Kind {
        decodeFailed,
        encodeFailed,
        keychainReadFailed,
        keychainWriteFailed,
        keychainDeleteFailed
    };

    CloudAuthStoreError(Kind kind, const std::exception& underlying);
    Kind kind() const { return kind_; }
    // The storage's status when the underlying failure was the storage's (a locked keyring, one
    // that did not answer); nothing for an encoding or decoding failure.
    std::optional<std::int32_t> keychainStatus() const { return keychainStatus_; }

  private:
    Kind kind_;
    std::optional<std::int32_t> keychainStatus_;
};

// Where the cloud session is kept; CloudAuthStore is the one in use.
class AuthSessionStorage {
  public:
    virtual ~AuthSessionStorage() = default;
    virtual std::optional<CloudAuthSession> load() = 0;
    virtual void save(const CloudAuthSession& session) = 0;
    virtual void clear() = 0;
    // The items it keeps, for a removal of several stores' items at once; none by default.
    virtual std::vector<std::string> keys() const { return {}; }
    // Drops what it cached: the next load asks storage.
    virtual void forget() {}
};

// The cloud session in the item "cloud.auth.session", cached after the first successful read.
// Safe to use from several threads: the cache and the storage call that fills or changes it
// happen under one lock, so a slow read can never cache a value older than a save.
class CloudAuthStore final : public AuthSessionStorage {
  public:
    static constexpr std::string_view defaultKey = "cloud.auth.session";

    CloudAuthStore(SecureStorage& keychain,
                   StructuredLogger logger = StructuredLogger("cloud-auth"),
                   std::string key = std::string(defaultKey));

    // Throws CloudAuthStoreError.
    std::optional<CloudAuthSession> load() override;
    void save(const CloudAuthSession& session) override;
    void clear() override;
    std::vector<std::string> keys() const override { return {key_}; }
    void forget() override;

  private:
    SecureStorage& keychain_;
    StructuredLogger logger_;
    std::string key_;
    std::mutex mutex_;
    std::optional<CloudAuthSession> cachedSession_;
    bool cacheLoaded_ = false;
};

}  // namespace vask
