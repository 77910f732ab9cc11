#include "foundation/cloud_auth_store.h"

#include <nlohmann/json.hpp>

#include "platform/iso8601.h"
#include "platform/json_fields.h"

namespace vask {
namespace {

std::string phrase(CloudAuthStoreError::Kind kind) {
    switch (kind) {
        case CloudAuthStoreError::Kind::decodeFailed:
            return "Failed to decode cloud session: ";
        case CloudAuthStoreError::Kind::encodeFailed:
            return "Failed to encode cloud session: ";
        case CloudAuthStoreError::Kind::keychainReadFailed:
            return "Failed to read cloud session: ";
        case CloudAuthStoreError::Kind::keychainWriteFailed:
            return "Failed to write cloud session: ";
        case CloudAuthStoreError::Kind::keychainDeleteFailed:
            return "Failed to delete cloud session: ";
    }
    return {};
}

}  // namespace

std::string CloudAuthSession::encoded() const {
    const nlohmann::json json = {{"accessToken", accessToken},
                                 {"refreshToken", refreshToken},
                                 {"refreshExpiresAt", formatISO8601(refreshExpiresAt)},
                                 {"userID", userID},
                                 {"userEmail", userEmail}};
    return json.dump();
}

CloudAuthSession CloudAuthSession::decode(std::string_view text) {
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded()) {
        throw Error("not valid JSON");
    }
    if (!json.is_object()) {
        throw Error("not a JSON object");
    }
    CloudAuthSession session;
    session.accessToken = jsonRequiredString(json, "accessToken");
    session.refreshToken = jsonRequiredString(json, "refreshToken");
    const auto expiry = jsonRequiredString(json, "refreshExpiresAt");
    const auto date = parseISO8601(expiry);
    if (!date) {
        throw Error("\"refreshExpiresAt\" is not an ISO 8601 date: " + expiry);
    }
    session.refreshExpiresAt = *date;
    session.userID = jsonRequiredString(json, "userID");
    session.userEmail = jsonRequiredString(json, "userEmail");
    return session;
}

CloudAuthStoreError::CloudAuthStoreError(Kind kind, const std::exception& underlying)
    : Error(phrase(kind) + underlying.what()), kind_(kind) {
    if (const auto* storage = dynamic_cast<const KeychainError*>(&underlying)) {
        keychainStatus_ = storage->status();
    }
}

CloudAuthStore::CloudAuthStore(SecureStorage& keychain, StructuredLogger logger, std::string key)
    : keychain_(keychain), logger_(std::move(logger)), key_(std::move(key)) {}

std::optional<CloudAuthSession> CloudAuthStore::load() {
    std::lock_guard lock(mutex_);
    if (cacheLoaded_) {
        return cachedSession_;
    }
    std::optional<std::string> data;
    try {
        data = keychain_.read(key_);
    } catch (const KeychainError& e) {
        throw CloudAuthStoreError(CloudAuthStoreError::Kind::keychainReadFailed, e);
    }
    if (!data) {
        cachedSession_.reset();
        cacheLoaded_ = true;
        return std::nullopt;
    }
    try {
        cachedSession_ = CloudAuthSession::decode(*data);
    } catch (const Error& e) {
        logger_.error("cloud_auth_decode_failed", {{"error", e.what()}});
        throw CloudAuthStoreError(CloudAuthStoreError::Kind::decodeFailed, e);
    }
    cacheLoaded_ = true;
    return cachedSession_;
}

void CloudAuthStore::save(const CloudAuthSession& session) {
    std::string data;
    try {
        data = session.encoded();
    } catch (const nlohmann::json::exception& e) {
        // Text that is not UTF-8 cannot go into JSON.
        logger_.error("cloud_auth_encode_failed", {{"error", e.what()}});
        throw CloudAuthStoreError(CloudAuthStoreError::Kind::encodeFailed, e);
    }
    std::lock_guard lock(mutex_);
    try {
        keychain_.write(data, key_);
    } catch (const KeychainError& e) {
        throw CloudAuthStoreError(CloudAuthStoreError::Kind::keychainWriteFailed, e);
    }
    cachedSession_ = session;
    cacheLoaded_ = true;
    logger_.info("cloud_auth_saved", {{"user_id", session.userID}});
}

void CloudAuthStore::forget() {
    std::lock_guard lock(mutex_);
    cacheLoaded_ = false;
}

void CloudAuthStore::clear() {
    std::lock_guard lock(mutex_);
    try {
        keychain_.remove(key_);
    } catch (const KeychainError& e) {
        throw CloudAuthStoreError(CloudAuthStoreError::Kind::keychainDeleteFailed, e);
    }
    cachedSession_.reset();
    cacheLoaded_ = true;
    logger_.info("cloud_auth_cleared");
}

}  // namespace vask
