#pragma once

#include <functional>
#include <string>

#include "platform/user_defaults.h"

namespace vask {

// Whether the user signed in and has not signed out since, as Vask notes it in its own settings
// (a flag, never a secret). A keyring locked at start may show none of its items, so its refusal
// alone cannot tell a signed-in user from one who never signed in: this can.
//
// Noted after a sign-in's credentials are stored, and whenever the keyring answers with an
// account; forgotten before a sign-out removes them, and whenever the keyring answers that it
// holds none. Settings that never held the flag (an earlier version's) fall back on `before`.
class SignInRecord {
  public:
    SignInRecord(UserDefaults& defaults, std::string key, std::function<bool()> before = {})
        : defaults_(defaults), key_(std::move(key)), before_(std::move(before)) {}

    bool signedIn() const;
    // Each writes the settings only when the flag changes.
    void noteSignedIn();
    void noteSignedOut();

  private:
    void note(bool signedIn);

    UserDefaults& defaults_;
    std::string key_;
    std::function<bool()> before_;
};

}  // namespace vask
