#pragma once

#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>

#include "platform/libsecret_backend.h"
#include "platform/secret_backend.h"

namespace vask {

// gtest prints an outcome by its status and the storage's reason, not as bytes.
inline void PrintTo(const SecretBackend::Outcome& outcome, std::ostream* out) {
    *out << "status " << outcome.status
         << (outcome.reason.empty() ? std::string() : " (" + outcome.reason + ")");
}

namespace test {

// The session bus's Secret Service when items can be written into it: it answers, and its
// default keyring exists and is unlocked (a gnome-keyring started on demand in a fresh home has
// none). Otherwise nothing, with why in `whyNot`. scripts/secret-service-test.sh starts one.
inline std::shared_ptr<SecretBackend> usableSecretService(std::string& whyNot) {
    SecretBackend::Outcome failed;
    auto backend = LibsecretBackend::connect(failed);
    if (!backend) {
        whyNot = "no Secret Service answers: " + failed.reason;
        return nullptr;
    }
    std::string unknown;
    const auto state = LibsecretBackend::defaultKeyring(unknown);
    if (state == LibsecretBackend::DefaultKeyring::unlocked) {
        return backend;
    }
    whyNot = !state ? "the Secret Service does not say its default keyring's state: " + unknown
             : *state == LibsecretBackend::DefaultKeyring::locked
                 ? "the Secret Service's default keyring is locked"
                 : "the Secret Service has no default keyring";
    return nullptr;
}

// Whether VASK_REQUIRE_SECRET_SERVICE=1 says a usable Secret Service must be there (a skip is
// then a failure).
inline bool secretServiceRequired() {
    const char* required = std::getenv("VASK_REQUIRE_SECRET_SERVICE");
    return required != nullptr && std::string(required) == "1";
}

}  // namespace test
}  // namespace vask
