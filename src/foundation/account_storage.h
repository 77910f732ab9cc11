#pragma once

#include "foundation/api_key_store.h"
#include "foundation/cloud_auth_store.h"
#include "foundation/customer_token_store.h"
#include "foundation/google_auth_service.h"
#include "foundation/keychain_store.h"
#include "foundation/sign_in_record.h"

namespace vask {

// The account's credentials in secret storage and Vask's record of the sign-in beside them,
// written in an order that a launch dying after any one write leaves consistent. A keyring
// locked at the next start may hide its items, and the record is then what tells whether they
// are there: it says signed in before a sign-in stores its first item, and signed out only once
// a sign-out's removals are noted (or made), so that no item of an account recorded as signed
// out comes back after an unlock. These two are the only writers of "signed out"; a resolution
// only ever notes an account the keyring answered with, and never over a note made meanwhile.
struct AccountStorage {
    CustomerTokenStore& customerTokenStore;
    AuthSessionStorage& cloudAuthStore;
    APIKeyStore& apiKeyStore;
    // Where the three stores keep their items: a sign-out removes them all there at once.
    // Absent: each store removes its own in turn.
    SecureStorage* keychain = nullptr;
    // Absent: none is kept.
    SignInRecord* signInRecord = nullptr;

    // Throws the first store error; the record then stays signed in until storage answers.
    void store(const GoogleAuthResult& result) const;
    // Removes every item of the account. Throws the first store error: what could not be
    // removed stays, and so does the record of the sign-in.
    void remove() const;
};

}  // namespace vask
