#pragma once

#include <memory>
#include <optional>
#include <string>

#include "foundation/api_key_store.h"
#include "foundation/auth_mode_cache.h"
#include "foundation/auth_mode_resolver.h"
#include "foundation/cloud_auth_store.h"
#include "foundation/customer_token_store.h"
#include "foundation/keychain_store.h"
#include "platform/in_memory_secret_backend.h"

namespace vask::test {

// One account's credential stores over an in-memory secret backend, with the mode cache that
// resolves from them (no environment key, stored API keys not allowed). Each store caches what
// it read, so a test that needs storage read afresh builds a new stack.
struct CredentialStack {
    static constexpr const char* service = "test.service";

    explicit CredentialStack(
        std::shared_ptr<InMemorySecretBackend> shared = std::make_shared<InMemorySecretBackend>())
        : backend(std::move(shared)) {}
    CredentialStack(const CredentialStack&) = delete;
    CredentialStack& operator=(const CredentialStack&) = delete;

    void put(const std::string& account, const std::string& value) const {
        backend->put(service, account, value);
    }
    std::optional<std::string> item(const std::string& account) const {
        return backend->get(service, account);
    }
    AuthMode resolve() { return AuthModeResolver{tokens, cloud, keys, {}, false}.resolve(); }

    std::shared_ptr<InMemorySecretBackend> backend;
    KeychainStore keychain{service, backend};
    CloudAuthStore cloud{keychain};
    CustomerTokenStore tokens{keychain};
    APIKeyStore keys{keychain};
    AuthModeCache authMode{[this] { return resolve(); }};
};

}  // namespace vask::test
