#include "sources/contacts_manager.h"

#include <chrono>
#include <unordered_set>

#include "platform/text.h"
#include "sources/contact_formatter.h"
#include "sources/contacts_trace.h"
#include "sources/folder_access_grant.h"
#include "store/phone_number_normalizer.h"

namespace vask {

ContactsManager::ContactsManager(std::shared_ptr<SystemContactStore> store, const Clock& clock)
    : store_(std::move(store)), clock_(clock) {}

ContactAuthorizationStatus ContactsManager::authorizationStatus() const {
    return store_->authorizationStatus();
}

bool ContactsManager::requestAccessIfNeeded() {
    const auto status = authorizationStatus();
    ContactsTrace::log("requestIfNeeded status=" + std::to_string(static_cast<int>(status)));
    if (status == ContactAuthorizationStatus::authorized) {
        return true;
    }
    if (status != ContactAuthorizationStatus::notDetermined) {
        return false;
    }
    const auto result = awaitAccess([this](FolderAccessGrant::Completion completion) {
        store_->requestAccess([completion = std::move(completion)](
                                  bool granted, const std::optional<std::string>& error) {
            ContactsTrace::log(std::string("requestAccess_cb granted=") +
                               (granted ? "true" : "false") + " err=" + error.value_or("nil"));
            completion(granted, error);
        });
    });
    if (result.error) {
        throw SystemContactStoreError(SystemContactStoreError::Case::accessRequestFailed,
                                      *result.error);
    }
    return result.granted;
}

std::vector<SystemContact> ContactsManager::fetchAllContacts() {
    ContactFetchRequest request;
    request.keysToFetch = {ContactKey::identifier,     ContactKey::givenName,
                           ContactKey::familyName,     ContactKey::organizationName,
                           ContactKey::jobTitle,       ContactKey::phoneNumbers,
                           ContactKey::emailAddresses, ContactKey::formattedName};
    request.unifyResults = true;
    request.sortOrder = ContactSortOrder::userDefault;
    return store_->enumerateContacts(request);
}

std::string ContactsManager::displayName(const SystemContact& contact) {
    if (auto fullName = ContactFormatter::fullName(contact); !fullName.empty()) {
        return fullName;
    }
    if (!contact.organizationName.empty()) {
        return contact.organizationName;
    }
    // A blank first address would show the contact as nothing at all; the number, or
    // "Unknown", says more.
    if (!contact.emailAddresses.empty() && !text::trimmed(contact.emailAddresses.front()).empty()) {
        return contact.emailAddresses.front();
    }
    if (!contact.phoneNumbers.empty() && !contact.phoneNumbers.front().empty()) {
        return contact.phoneNumbers.front();
    }
    return "Unknown";
}

std::vector<ContactPayload> ContactsManager::buildPayloads(std::string_view defaultCountryCode) {
    const auto contacts = fetchAllContacts();
    const auto updatedAt =
        std::chrono::duration_cast<std::chrono::seconds>(clock_.now().time_since_epoch()).count();
    auto nonEmpty = [](const std::string& value) -> std::optional<std::string> {
        return value.empty() ? std::nullopt : std::optional<std::string>(value);
    };

    std::vector<ContactPayload> payloads;
    payloads.reserve(contacts.size());
    for (const auto& contact : contacts) {
        std::unordered_set<ContactIdentifier> identifiers;
        for (const auto& number : contact.phoneNumbers) {
            if (auto phone = PhoneNumberNormalizer::normalize(number, defaultCountryCode)) {
                identifiers.insert({ContactIdentifierType::phone, std::move(*phone)});
            }
        }
        for (const auto& address : contact.emailAddresses) {
            const auto trimmed = text::trimmed(address);
            if (!trimmed.empty()) {
                identifiers.insert({ContactIdentifierType::email, text::toLower(trimmed)});
            }
        }
        ContactPayload payload;
        payload.appleID = contact.identifier;
        payload.displayName = displayName(contact);
        payload.givenName = nonEmpty(contact.givenName);
        payload.familyName = nonEmpty(contact.familyName);
        payload.organization = nonEmpty(contact.organizationName);
        payload.jobTitle = nonEmpty(contact.jobTitle);
        payload.updatedAt = updatedAt;
        payload.identifiers.assign(identifiers.begin(), identifiers.end());
        payloads.push_back(std::move(payload));
    }
    return payloads;
}

Subscription ContactsManager::observeChanges(std::function<void()> handler) {
    return store_->observeChanges(std::move(handler));
}

void ContactsManager::removeObserver(Subscription& token) {
    token.cancel();
}

}  // namespace vask
