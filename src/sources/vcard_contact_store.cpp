#include "sources/vcard_contact_store.h"

#include <algorithm>
#include <map>

#include "foundation/structured_logger.h"
#include "platform/text.h"
#include "sources/vcard_parser.h"

namespace vask {
namespace {

const StructuredLogger& logger() {
    static const StructuredLogger log(std::string(vcardFolderKind.loggerCategory));
    return log;
}

SystemContactStoreError enumerationFailure(const std::string& message) {
    return SystemContactStoreError(SystemContactStoreError::Case::enumerationFailed, message);
}

void appendMissing(std::vector<std::string>& into, const std::vector<std::string>& from) {
    for (const auto& value : from) {
        if (std::find(into.begin(), into.end(), value) == into.end()) {
            into.push_back(value);
        }
    }
}

// Cards sharing a UID describe one person (the same card in two collections): the first card
// gives the names, later ones fill what it lacks and add their numbers and addresses.
std::vector<SystemContact> unified(std::vector<SystemContact> contacts) {
    std::vector<SystemContact> result;
    std::map<std::string, std::size_t> indexByIdentifier;
    for (auto& contact : contacts) {
        const auto [it, inserted] = indexByIdentifier.emplace(contact.identifier, result.size());
        if (inserted) {
            result.push_back(std::move(contact));
            continue;
        }
        auto& into = result[it->second];
        for (auto field : {&SystemContact::givenName, &SystemContact::familyName,
                           &SystemContact::organizationName, &SystemContact::jobTitle,
                           &SystemContact::formattedName}) {
            if ((into.*field).empty()) {
                into.*field = std::move(contact.*field);
            }
        }
        appendMissing(into.phoneNumbers, contact.phoneNumbers);
        appendMissing(into.emailAddresses, contact.emailAddresses);
    }
    return result;
}

void keepOnly(const std::set<ContactKey>& keys, SystemContact& contact) {
    auto keep = [&](ContactKey key, auto& field) {
        if (!keys.contains(key)) {
            field = {};
        }
    };
    keep(ContactKey::identifier, contact.identifier);
    keep(ContactKey::givenName, contact.givenName);
    keep(ContactKey::familyName, contact.familyName);
    keep(ContactKey::organizationName, contact.organizationName);
    keep(ContactKey::jobTitle, contact.jobTitle);
    keep(ContactKey::formattedName, contact.formattedName);
    keep(ContactKey::phoneNumbers, contact.phoneNumbers);
    keep(ContactKey::emailAddresses, contact.emailAddresses);
}

void sortContacts(ContactSortOrder order, std::vector<SystemContact>& contacts) {
    if (order == ContactSortOrder::none) {
        return;
    }
    const bool givenFirst = order == ContactSortOrder::givenName;
    auto key = [givenFirst](const SystemContact& contact) {
        const auto& first = givenFirst ? contact.givenName : contact.familyName;
        const auto& second = givenFirst ? contact.familyName : contact.givenName;
        return std::make_tuple(text::toLower(first), text::toLower(second),
                               text::toLower(contact.organizationName));
    };
    std::stable_sort(
        contacts.begin(), contacts.end(),
        [&](const SystemContact& a, const SystemContact& b) { return key(a) < key(b); });
}

}  // namespace

ContactAuthorizationStatus VCardContactStore::authorizationStatus() const {
    switch (grant_.state()) {
        case FolderAccessGrant::State::notDetermined:
            return ContactAuthorizationStatus::notDetermined;
        case FolderAccessGrant::State::granted:
            return ContactAuthorizationStatus::authorized;
        case FolderAccessGrant::State::denied:
            break;
    }
    return ContactAuthorizationStatus::denied;
}

void VCardContactStore::requestAccess(AccessCompletion completion) {
    grant_.request(completion);
}

std::vector<SystemContact> VCardContactStore::enumerateContacts(
    const ContactFetchRequest& request) {
    std::vector<SystemContact> contacts;
    const auto read = [&](const std::filesystem::path& file, const std::string& contents) {
        std::size_t emptyCards = 0;
        auto cards = VCardParser::parse(contents, file.string(), &emptyCards);
        if (cards.empty() && emptyCards == 0 && !text::trimmed(contents).empty()) {
            // Enumerating without this file's contacts would delete them from the database.
            logger().warning("contacts_file_without_cards", {{"path", file.string()}});
            throw enumerationFailure("no cards could be read from " + file.string());
        }
        // File names may hold any bytes; identifiers are text.
        const auto relative = text::toValidUtf8(file.lexically_relative(folder()).generic_string());
        for (std::size_t index = 0; index < cards.size(); ++index) {
            auto& card = cards[index];
            if (card.identifier.empty()) {
                card.identifier = index == 0 ? relative : relative + "#" + std::to_string(index);
            }
            contacts.push_back(std::move(card));
        }
    };
    bool found = false;
    try {
        found = folder_.readDataFiles(logger(), vcardFolderKind.eventPrefix, read);
    } catch (const WatchedDataFolderError& failure) {
        throw SystemContactStoreError(SystemContactStoreError::Case::folderUnreadable,
                                      failure.what());
    }
    // Read as an empty address book, a folder that went away would take every contact out of
    // the database and be reported as a synchronisation that went well.
    if (!found) {
        throw SystemContactStoreError(SystemContactStoreError::Case::folderMissing,
                                      folder().string() + ": no such folder");
    }
    if (request.unifyResults) {
        contacts = unified(std::move(contacts));
    }
    for (auto& contact : contacts) {
        keepOnly(request.keysToFetch, contact);
    }
    sortContacts(request.sortOrder, contacts);
    return contacts;
}

}  // namespace vask
