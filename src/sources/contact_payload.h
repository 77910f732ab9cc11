#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sources/contact_identifier.h"

namespace vask {

// One contact as the contacts database keeps it.
struct ContactPayload {
    // The address book's stable identifier of the contact: its key in the contacts database.
    std::string appleID;
    std::string displayName;
    std::optional<std::string> givenName;
    std::optional<std::string> familyName;
    std::optional<std::string> organization;
    std::optional<std::string> jobTitle;
    // Notes are never read from the address book; the column exists for the full-text index.
    std::optional<std::string> notes;
    // Unix seconds at which the payloads of one build were made.
    std::int64_t updatedAt = 0;
    // Unique; their order carries no meaning.
    std::vector<ContactIdentifier> identifiers;

    bool operator==(const ContactPayload&) const = default;
};

}  // namespace vask
