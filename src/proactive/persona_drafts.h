#pragma once

#include <string>

#include "platform/user_defaults.h"

namespace vask {

// Whether reply drafts are written in the user's voice from their own texts. Read at the moment
// a draft needs it, so switching it off mid-draft stops the user's texts from leaving.
class PersonaDrafts {
  public:
    static constexpr const char* enabledKeyBase = "personaDrafts";
    static constexpr const char* migratedKeyBase = "personaDrafts.defaultMigrated";

    // The instance-scoped keys.
    static std::string enabledKey();
    static std::string migratedKey();

    // Off while the proactive switch is off; otherwise the stored choice, on when there is none
    // or it is not a Boolean.
    static bool isEnabled(const UserDefaults& defaults);

    // Once per store: a user who had the proactive switch on before this setting existed, and
    // never chose, keeps the behaviour they had (drafts without their texts).
    static void migrateLegacyOptOut(UserDefaults& defaults);
};

}  // namespace vask
