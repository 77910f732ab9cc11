#include "foundation/auth_mode_resolver.h"

#include "foundation/nil_if_empty.h"

namespace vask {
namespace {

AuthMode resolved(const StructuredLogger& logger, std::string_view mode, AuthMode result) {
    logger.info("auth_mode_resolved", {{"mode", std::string(mode)}});
    return result;
}

}  // namespace

std::optional<AuthMode> AuthModeResolver::heldBy(std::optional<std::int32_t> status) const {
    const bool recorded = signInRecord == nullptr || signInRecord->signedIn();
    if (status && SecretBackend::isRefusal(*status)) {
        if (!recorded) {
            // Nothing of Vask's was ever kept there (or it was signed out of): a user who
            // never signed in is not asked to unlock a keyring for an account.
            logger.info("auth_mode_keyring_locked_without_sign_in");
            return std::nullopt;
        }
        return AuthMode::keyringLocked();
    }
    if (status && *status == SecretBackend::notAvailable) {
        // No keyring on the bus: the record says whether an account waits in one. A user who
        // never signed in (or signed out) may sign in, into the data folder's record.
        if (!recorded) {
            logger.info("auth_mode_keyring_not_available_without_sign_in");
            return std::nullopt;
        }
        return AuthMode::keyringNotAvailable();
    }
    if (status && SecretBackend::isNoAnswer(*status)) {
        // Unknown rather than signed out: a question must not go out without them.
        return AuthMode::keyringNotAnswering();
    }
    return std::nullopt;
}

void AuthModeResolver::noneFound(std::uint64_t stepsBefore) const {
    if (signInRecord == nullptr) {
        return;
    }
    try {
        signInRecord->noteNoneFound(stepsBefore);
    } catch (const std::exception& e) {
        logger.warning("sign_in_record_not_kept", {{"error", e.what()}});
    }
}

void AuthModeResolver::found(std::uint64_t stepsBefore) const {
    if (signInRecord == nullptr) {
        return;
    }
    try {
        if (!signInRecord->noteFound(stepsBefore)) {
            logger.info("sign_in_record_changed_meanwhile");
        }
    } catch (const std::exception& e) {
        logger.warning("sign_in_record_not_kept", {{"error", e.what()}});
    }
}

std::optional<AuthMode> AuthModeResolver::managedMode() const {
    // Taken before anything is read: a sign-in or sign-out noted meanwhile is newer than what
    // this resolution reads.
    const std::uint64_t stepsBefore = signInRecord != nullptr ? signInRecord->steps() : 0;
    if (signInRecord != nullptr) {
        try {
            signInRecord->keepUnknownIfDamaged();
        } catch (const std::exception& e) {
            logger.warning("sign_in_record_not_kept", {{"error", e.what()}});
        }
    }
    std::optional<std::string> token;
    try {
        token = customerTokenStore.loadToken();
    } catch (const KeychainError& e) {
        logger.warning("auth_mode_keychain_error", {{"error", e.what()}});
        return heldBy(e.status());
    } catch (const std::exception& e) {
        logger.warning("auth_mode_keychain_error", {{"error", e.what()}});
        return std::nullopt;
    }
    const auto trimmedToken = token ? nilIfEmpty(*token) : std::nullopt;
    if (!trimmedToken) {
        noneFound(stepsBefore);
        return std::nullopt;
    }
    std::optional<CloudAuthSession> session;
    try {
        session = cloudAuthStore.load();
    } catch (const CloudAuthStoreError& e) {
        // The token was read, and the session is behind the same keyring.
        logger.warning("auth_mode_keychain_error", {{"error", e.what()}});
        return heldBy(e.keychainStatus());
    } catch (const std::exception& e) {
        logger.warning("auth_mode_keychain_error", {{"error", e.what()}});
        return std::nullopt;
    }
    if (!session || session->accessToken.empty()) {
        noneFound(stepsBefore);
        return std::nullopt;
    }
    found(stepsBefore);
    return AuthMode::managed(*trimmedToken, session->accessToken);
}

AuthMode AuthModeResolver::resolve() const noexcept {
    if (allowsAPIKeyAuth) {
        if (const auto it = environment.find("CORVANE_API_KEY"); it != environment.end()) {
            if (auto key = nilIfEmpty(it->second)) {
                return resolved(logger, "api_key_env", AuthMode::apiKey(std::move(*key)));
            }
        }
    }
    if (auto managed = managedMode()) {
        const char* name = managed->isKeyringLocked()         ? "keyring_locked"
                           : managed->isKeyringNotAnswering() ? "keyring_not_answering"
                           : managed->isKeyringNotAvailable() ? "keyring_not_available"
                                                              : "managed";
        return resolved(logger, name, std::move(*managed));
    }
    if (allowsAPIKeyAuth) {
        const auto stored = apiKeyStore.loadResult();
        if (!stored.ok()) {
            logger.warning("auth_mode_keychain_error", {{"error", stored.error().what()}});
        } else if (auto key = stored.value() ? nilIfEmpty(*stored.value()) : std::nullopt) {
            return resolved(logger, "api_key_stored", AuthMode::apiKey(std::move(*key)));
        }
    }
    return resolved(logger, "none", AuthMode::none());
}

}  // namespace vask
