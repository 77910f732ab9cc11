#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/user_defaults.h"

namespace vask {

// Whether the user signed in and has not signed out since, as Vask notes it in its own settings
// (a flag, never a secret). A keyring locked at start may show none of its items, so its refusal
// alone cannot tell a signed-in user from one who never signed in: this can.
//
// Noted before a sign-in stores its first credential (AccountStorage) and forgotten once a
// sign-out's removals are noted beside the keyring: those are the user's own steps. A resolution
// whose keyring answered, with the account or with none (a sign-out cut short and finished by a
// later start, settings an earlier version wrote), notes that too, but only when no step of the
// user's was noted since it began (`steps`): it never writes over a newer sign-in or sign-out.
// A keyring that is locked, does not answer or is not there answers nothing, and notes nothing.
// Each note reads and writes the flag as one step. Settings that never held the flag (an earlier
// version's) fall back on `before`. Settings found damaged may have held it: the flag is then
// unknown, and counts as signed in (a locked keyring offers Unlock, whose answer settles it); that
// is kept in the settings (`<key>Unknown`), so that the next change, which replaces the damaged
// file, does not make it "never written". A flag that is unknown or was never written is set by
// the keyring's next answer.
class SignInRecord {
  public:
    // `stepped` runs after each of the user's steps is noted, on the thread that noted it.
    SignInRecord(UserDefaults& defaults, std::string key, std::function<bool()> before = {},
                 std::function<void()> stepped = {})
        : defaults_(defaults),
          key_(std::move(key)),
          before_(std::move(before)),
          stepped_(std::move(stepped)) {}

    bool signedIn() const;
    // How many of the user's steps this run noted; a resolution takes it before it reads.
    std::uint64_t steps() const;
    // The user's own steps; each writes the settings only when the flag changes.
    void noteSignedIn();
    void noteSignedOut();
    // The keyring answered with the account to a resolution that began at `stepsBefore`: noted
    // unless a step was noted since. Whether it was.
    bool noteFound(std::uint64_t stepsBefore);
    // The keyring answered that it holds no account: noted unless a step was noted since
    // `stepsBefore`.
    void noteNoneFound(std::uint64_t stepsBefore);
    // Settings found damaged without the flag: it is kept as unknown.
    void keepUnknownIfDamaged();

  private:
    // mutex_ held.
    void write(bool signedIn);
    bool unknown() const;

    UserDefaults& defaults_;
    std::string key_;
    std::function<bool()> before_;
    std::function<void()> stepped_;
    mutable std::mutex mutex_;
    std::uint64_t steps_ = 0;
};

}  // namespace vask
