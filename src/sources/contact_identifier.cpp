#include "sources/contact_identifier.h"

namespace vask {

std::string_view rawValue(ContactIdentifierType type) {
    return type == ContactIdentifierType::email ? "email" : "phone";
}

}  // namespace vask
