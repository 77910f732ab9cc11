#include "sources/vcard_contact_store.h"

#include <algorithm>
#include <map>
#include <system_error>

#include "foundation/structured_logger.h"
#include "platform/file_io.h"
#include "platform/text.h"
#include "sources/vcard_parser.h"

namespace vask {
namespace {

const StructuredLogger& logger() {
    static const StructuredLogger log("contacts-store");
    return log;
}

bool isHidden(const std::filesystem::path& path) {
    const auto name = path.filename().string();
    return !name.empty() && name.front() == '.';
}

bool isCardFileName(const std::filesystem::path& path) {
    return !isHidden(path) && text::toLower(path.extension().string()) == ".vcf";
}

SystemContactStoreError enumerationFailure(const std::string& message) {
    return SystemContactStoreError(SystemContactStoreError::Case::enumerationFailed, message);
}

std::vector<std::filesystem::path> cardFiles(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    std::filesystem::recursive_directory_iterator it(folder, error);
    for (const std::filesystem::recursive_directory_iterator end; !error && it != end;
         it.increment(error)) {
        if (isHidden(it->path())) {
            // Sync tools keep their state and half-written files under hidden names.
            it.disable_recursion_pending();
            continue;
        }
        if (isCardFileName(it->path()) && it->is_regular_file(error)) {
            files.push_back(it->path());
        }
    }
    if (error) {
        throw enumerationFailure(folder.string() + ": " + error.message());
    }
    std::sort(files.begin(), files.end());
    return files;
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

VCardContactStore::VCardContactStore(std::filesystem::path folder, UserDefaults& defaults,
                                     NotificationCenter& center, Scheduler& scheduler,
                                     Scheduler::Duration changeLatency)
    : folder_(std::move(folder)), defaults_(defaults), center_(center) {
    watcher_ = std::make_unique<FolderWatcher>(
        folder_, ".vcf",
        [this] {
            center_.post(std::string(didChangeNotification),
                         static_cast<const SystemContactStore*>(this));
        },
        scheduler, changeLatency);
}

std::optional<std::filesystem::path> VCardContactStore::defaultFolder(const Environment& env) {
    if (const auto it = env.find("VASK_CONTACTS_DIR"); it != env.end() && !it->second.empty()) {
        return std::filesystem::path(it->second);
    }
    if (auto data = xdgDataHome(env)) {
        return *data / "contacts";
    }
    return std::nullopt;
}

ContactAuthorizationStatus VCardContactStore::authorizationStatus() const {
    const auto grant = defaults_.stringValue(accessGrantKey);
    if (grant.isAbsent()) {
        return ContactAuthorizationStatus::notDetermined;
    }
    if (grant.isPresent() && grant.value == "authorized") {
        return ContactAuthorizationStatus::authorized;
    }
    if (grant.isPresent() && grant.value == "denied") {
        return ContactAuthorizationStatus::denied;
    }
    // A value we did not write: treat it as a refusal rather than reading contacts unasked.
    logger().warning("contacts_access_grant_unreadable", {{"key", std::string(accessGrantKey)}});
    return ContactAuthorizationStatus::denied;
}

void VCardContactStore::requestAccess(AccessCompletion completion) {
    switch (authorizationStatus()) {
        case ContactAuthorizationStatus::authorized:
            completion(true, std::nullopt);
            return;
        case ContactAuthorizationStatus::notDetermined:
            break;
        default:
            completion(false, std::nullopt);
            return;
    }
    try {
        defaults_.set(accessGrantKey, "authorized");
    } catch (const std::exception& error) {
        completion(false, std::string(error.what()));
        return;
    }
    logger().info("contacts_access_granted");
    completion(true, std::nullopt);
}

std::vector<SystemContact> VCardContactStore::enumerateContacts(
    const ContactFetchRequest& request) {
    std::error_code error;
    const auto status = std::filesystem::status(folder_, error);
    if (status.type() == std::filesystem::file_type::not_found) {
        logger().info("contacts_folder_missing", {{"path", folder_.string()}});
        return {};
    }
    if (error) {
        throw enumerationFailure(folder_.string() + ": " + error.message());
    }
    if (status.type() != std::filesystem::file_type::directory) {
        throw enumerationFailure(folder_.string() + ": not a folder");
    }

    std::vector<SystemContact> contacts;
    for (const auto& file : cardFiles(folder_)) {
        std::optional<std::string> contents;
        try {
            contents = readFileIfExists(file);
        } catch (const FileError& failure) {
            throw enumerationFailure(failure.what());
        }
        if (!contents) {
            // Removed between listing and reading: the next change notification covers it.
            continue;
        }
        auto cards = VCardParser::parse(*contents);
        if (cards.empty()) {
            logger().warning("contacts_file_without_cards", {{"path", file.string()}});
        }
        const auto relative = file.lexically_relative(folder_).generic_string();
        for (std::size_t index = 0; index < cards.size(); ++index) {
            auto& card = cards[index];
            if (card.identifier.empty()) {
                card.identifier = index == 0 ? relative : relative + "#" + std::to_string(index);
            }
            contacts.push_back(std::move(card));
        }
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
