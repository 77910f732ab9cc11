#include "sources/system_contact_store.h"

namespace vask {
namespace {

std::string_view phrase(SystemContactStoreError::Case kind) {
    return kind == SystemContactStoreError::Case::accessRequestFailed
               ? "Contacts access request failed: "
               : "Could not read the address book: ";
}

}  // namespace

SystemContactStoreError::SystemContactStoreError(Case kind, std::string message)
    : Error(std::string(phrase(kind)) + message), kind_(kind), message_(std::move(message)) {}

}  // namespace vask
