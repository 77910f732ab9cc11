#pragma once

#include <string>
#include <variant>

namespace vask {

// The credentials a model call carries: a relay API key, a signed-in (managed) account, the
// account's credentials kept in a keyring that is locked (the user must unlock it before a call
// can carry them), that does not answer (asked again at the next use) or that is not there at
// all (no Secret Service on the bus: followed once one appears), or nothing usable.
// Deliberately not printable: it holds secrets.
class AuthMode {
  public:
    struct APIKey {
        std::string key;
        bool operator==(const APIKey&) const = default;
    };
    struct Managed {
        std::string customerToken;
        std::string accessToken;
        bool operator==(const Managed&) const = default;
    };
    struct KeyringLocked {
        bool operator==(const KeyringLocked&) const = default;
    };
    struct KeyringNotAnswering {
        bool operator==(const KeyringNotAnswering&) const = default;
    };
    struct KeyringNotAvailable {
        bool operator==(const KeyringNotAvailable&) const = default;
    };
    struct None {
        bool operator==(const None&) const = default;
    };

    static AuthMode apiKey(std::string key) { return AuthMode(APIKey{std::move(key)}); }
    static AuthMode managed(std::string customerToken, std::string accessToken) {
        return AuthMode(Managed{std::move(customerToken), std::move(accessToken)});
    }
    static AuthMode keyringLocked() { return AuthMode(KeyringLocked{}); }
    static AuthMode keyringNotAnswering() { return AuthMode(KeyringNotAnswering{}); }
    static AuthMode keyringNotAvailable() { return AuthMode(KeyringNotAvailable{}); }
    static AuthMode none() { return AuthMode(None{}); }

    const APIKey* asAPIKey() const { return std::get_if<APIKey>(&value_); }
    const Managed* asManaged() const { return std::get_if<Managed>(&value_); }
    bool isNone() const { return std::holds_alternative<None>(value_); }
    // The credentials exist but cannot be read until the keyring is unlocked: the user is
    // signed in, and no call can carry them yet.
    bool isKeyringLocked() const { return std::holds_alternative<KeyringLocked>(value_); }
    // Whether the credentials are kept is not known: the keyring did not answer (in time).
    bool isKeyringNotAnswering() const {
        return std::holds_alternative<KeyringNotAnswering>(value_);
    }
    // Signed in, and no keyring on the bus to read the credentials from: never signed out.
    bool isKeyringNotAvailable() const {
        return std::holds_alternative<KeyringNotAvailable>(value_);
    }
    // Any of the three: the keyring holds the account back.
    bool isHeldBackByKeyring() const {
        return isKeyringLocked() || isKeyringNotAnswering() || isKeyringNotAvailable();
    }

    bool operator==(const AuthMode&) const = default;

  private:
    using Value = std::variant<None, APIKey, Managed, KeyringLocked, KeyringNotAnswering,
                               KeyringNotAvailable>;
    explicit AuthMode(Value value) : value_(std::move(value)) {}
    Value value_;
};

}  // namespace vask
