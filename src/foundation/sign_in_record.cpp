#include "foundation/sign_in_record.h"

namespace vask {

bool SignInRecord::signedIn() const {
    const auto noted = defaults_.boolValue(key_);
    if (noted.isAbsent()) {
        return before_ && before_();
    }
    return noted.valueOr(false);
}

void SignInRecord::noteSignedIn() {
    note(true);
}

void SignInRecord::noteSignedOut() {
    note(false);
}

void SignInRecord::note(bool signedIn) {
    if (defaults_.boolValue(key_).optional() != signedIn) {
        defaults_.set(key_, signedIn);
    }
}

}  // namespace vask
