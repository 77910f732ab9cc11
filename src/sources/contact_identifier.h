#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace vask {

enum class ContactIdentifierType { phone, email };

// "phone" or "email": the text kept in contact_identifiers.type.
std::string_view rawValue(ContactIdentifierType type);

// One way to reach a contact, in the normalised form that message handles are reduced to, so the
// two meet in a plain equality join.
struct ContactIdentifier {
    ContactIdentifierType type = ContactIdentifierType::phone;
    std::string value;

    bool operator==(const ContactIdentifier&) const = default;
};

}  // namespace vask

template <>
struct std::hash<vask::ContactIdentifier> {
    std::size_t operator()(const vask::ContactIdentifier& identifier) const noexcept {
        const std::size_t valueHash = std::hash<std::string>{}(identifier.value);
        return valueHash ^ (static_cast<std::size_t>(identifier.type) + 0x9e3779b97f4a7c15ULL +
                            (valueHash << 6) + (valueHash >> 2));
    }
};
