#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace vask {

// The properties a fetch can ask the address book for. A property that was not asked for stays
// empty in the contacts that come back.
enum class ContactKey {
    identifier,
    givenName,
    familyName,
    organizationName,
    jobTitle,
    phoneNumbers,
    emailAddresses,
    // What the full-name formatter reads besides the name parts.
    formattedName,
};

// Raw values are the ones the platform defines and callers may persist or log.
enum class ContactAuthorizationStatus : int {
    notDetermined = 0,
    restricted = 1,
    denied = 2,
    authorized = 3,
    limited = 4,
};

enum class ContactSortOrder : int {
    none = 0,
    // The user's preferred order (family name, then given name).
    userDefault = 1,
    givenName = 2,
    familyName = 3,
};

struct ContactFetchRequest {
    std::set<ContactKey> keysToFetch;
    // Cards that describe the same person (the same UID) come back as one contact.
    bool unifyResults = false;
    ContactSortOrder sortOrder = ContactSortOrder::none;
};

// One contact of the address book, as the platform store hands it out.
struct SystemContact {
    std::string identifier;
    std::string givenName;
    std::string familyName;
    std::string organizationName;
    std::string jobTitle;
    std::string formattedName;
    // As written in the address book, in card order.
    std::vector<std::string> phoneNumbers;
    std::vector<std::string> emailAddresses;

    bool operator==(const SystemContact&) const = default;
};

}  // namespace vask
