#include "foundation/account_storage.h"

namespace vask {

void AccountStorage::store(const GoogleAuthResult& result) const {
    if (signInRecord != nullptr) {
        signInRecord->noteSignedIn();
    }
    customerTokenStore.save(result.customerToken, result.userEmail);
    cloudAuthStore.save(CloudAuthSession{result.accessToken, result.refreshToken,
                                         result.refreshExpiresAt, result.userID, result.userEmail});
}

void AccountStorage::remove() const {
    if (keychain != nullptr) {
        // One removal: a launch cut short anywhere leaves the whole sign-out noted or none of
        // it, and a keyring that stopped answering holds it up for one call's limit.
        auto keys = customerTokenStore.keys();
        for (auto more : {cloudAuthStore.keys(), apiKeyStore.keys()}) {
            keys.insert(keys.end(), more.begin(), more.end());
        }
        const auto forget = [this] {
            customerTokenStore.forget();
            cloudAuthStore.forget();
            apiKeyStore.forget();
        };
        try {
            keychain->removeAll(keys);
        } catch (...) {
            forget();
            throw;
        }
        forget();
    } else {
        customerTokenStore.clear();
        cloudAuthStore.clear();
        apiKeyStore.clear();
    }
    // Only now: a keyring that hides its items at the next start would otherwise give back an
    // account the record says is gone.
    if (signInRecord != nullptr) {
        signInRecord->noteSignedOut();
    }
}

}  // namespace vask
