#include "sources/contact_formatter.h"

#include "platform/text.h"

namespace vask {

std::string ContactFormatter::fullName(const SystemContact& contact) {
    if (auto formatted = text::trimmed(contact.formattedName); !formatted.empty()) {
        return std::string(formatted);
    }
    const auto given = text::trimmed(contact.givenName);
    const auto family = text::trimmed(contact.familyName);
    std::string name(given);
    if (!given.empty() && !family.empty()) {
        name += ' ';
    }
    name += family;
    return name;
}

}  // namespace vask
