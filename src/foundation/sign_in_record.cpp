#include "foundation/sign_in_record.h"

namespace vask {

bool SignInRecord::signedIn() const {
    const auto noted = defaults_.boolValue(key_);
    if (noted.isAbsent()) {
        // Settings that could not be read may have held it: an account is taken to be there,
        // so that behind a locked keyring Unlock is offered rather than a sign-in.
        return unknown() || (before_ && before_());
    }
    return noted.valueOr(false);
}

bool SignInRecord::unknown() const {
    return defaults_.foundDamaged() || defaults_.boolValue(key_ + "Unknown").valueOr(false);
}

void SignInRecord::keepUnknownIfDamaged() {
    std::lock_guard lock(mutex_);
    if (defaults_.foundDamaged() && defaults_.boolValue(key_).isAbsent() &&
        defaults_.boolValue(key_ + "Unknown").isAbsent()) {
        defaults_.set(key_ + "Unknown", true);
    }
}

void SignInRecord::noteNoneFound(std::uint64_t stepsBefore) {
    std::lock_guard lock(mutex_);
    if (steps_ != stepsBefore) {
        return;
    }
    write(false);
}

std::uint64_t SignInRecord::steps() const {
    std::lock_guard lock(mutex_);
    return steps_;
}

void SignInRecord::noteSignedIn() {
    {
        std::lock_guard lock(mutex_);
        ++steps_;
        write(true);
    }
    if (stepped_) {
        stepped_();
    }
}

void SignInRecord::noteSignedOut() {
    {
        std::lock_guard lock(mutex_);
        ++steps_;
        write(false);
    }
    if (stepped_) {
        stepped_();
    }
}

bool SignInRecord::noteFound(std::uint64_t stepsBefore) {
    std::lock_guard lock(mutex_);
    if (steps_ != stepsBefore) {
        return false;
    }
    write(true);
    return true;
}

void SignInRecord::write(bool signedIn) {
    if (defaults_.boolValue(key_).optional() != signedIn) {
        defaults_.set(key_, signedIn);
    }
    // Known from now on.
    if (!defaults_.boolValue(key_ + "Unknown").isAbsent()) {
        defaults_.remove(key_ + "Unknown");
    }
}

}  // namespace vask
