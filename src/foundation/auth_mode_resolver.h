#pragma once

#include "foundation/api_key_store.h"
#include "foundation/auth_mode.h"
#include "foundation/cloud_auth_store.h"
#include "foundation/customer_token_store.h"
#include "foundation/sign_in_record.h"
#include "foundation/structured_logger.h"
#include "platform/environment.h"

namespace vask {

// Works out the credentials of model calls from the stores (and, for developers, an API key),
// for one resolution. First match wins: the environment's CORVANE_API_KEY (when API keys are
// allowed), a managed account, a stored API key (when allowed), none.
//
// A locked keyring, or none on the bus, answers for an account only as far as Vask's own sign-in
// record says there is one: signed in behind it when the record says the user signed in, else
// signed out (a locked keyring may hide its items, so its refusal says nothing of them). An
// account the keyring does answer with is noted in the record, unless the user signed in or out
// while it was read, and so is its answer of none; a keyring that is locked, does not answer or
// is not on the bus notes nothing.
struct AuthModeResolver {
    CustomerTokenStore& customerTokenStore;
    AuthSessionStorage& cloudAuthStore;
    APIKeyStore& apiKeyStore;
    Environment environment;
    bool allowsAPIKeyAuth = false;
    StructuredLogger logger = StructuredLogger("auth-mode");
    // Absent: no record is kept, and a locked keyring is taken to hold an account.
    SignInRecord* signInRecord = nullptr;

    // Never fails: each storage problem is logged and resolution goes on to the next step.
    AuthMode resolve() const noexcept;

  private:
    std::optional<AuthMode> managedMode() const;
    // What a storage failure says of the account: signed in behind a locked keyring (as the
    // record has it), or unknown behind one that does not answer; nothing when it says neither.
    std::optional<AuthMode> heldBy(std::optional<std::int32_t> status) const;
    // The keyring answered with the account, to a resolution that began at `stepsBefore`.
    void found(std::uint64_t stepsBefore) const;
    // It answered with none.
    void noneFound(std::uint64_t stepsBefore) const;
};

}  // namespace vask
