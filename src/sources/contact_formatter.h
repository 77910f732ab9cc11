#pragma once

#include <string>

#include "sources/system_contact.h"

namespace vask {

// The address book's full-name formatting: the name the card itself gives (FN), else the given
// and family names joined by a blank. Empty when the card names no person.
class ContactFormatter {
  public:
    ContactFormatter() = delete;

    static std::string fullName(const SystemContact& contact);
};

}  // namespace vask
