#include "platform/libsecret_backend.h"

#include <libsecret/secret.h>

#include "platform/base64.h"
#include "platform/logger.h"

namespace vask {
namespace {

const Logger& logger() {
    static const Logger instance("ai.ternwick.Vask", "keychain");
    return instance;
}

const SecretSchema* schema() {
    static const SecretSchema instance = [] {
        SecretSchema s{};
        s.name = "ai.ternwick.Vask.GenericPassword";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[2] = {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &instance;
}

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

struct PasswordFree {
    void operator()(gchar* password) const { secret_password_free(password); }
};
using PasswordPtr = std::unique_ptr<gchar, PasswordFree>;

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};

// Maps a libsecret or D-Bus failure onto the keychain's status numbers, and logs what the
// service said (never the value).
SecretBackend::Status statusOf(const GError* error, std::string_view operation,
                               std::string_view account) {
    logger().error("secret_service_failed operation=" + std::string(operation) +
                   " key=" + std::string(account) + " error=" + error->message);
    SecretBackend::noteFailureReason(std::string("the Secret Service answered: ") + error->message);
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) {
        return SecretBackend::interactionNotAllowed;
    }
    if (error->domain == G_DBUS_ERROR || error->domain == G_IO_ERROR) {
        return SecretBackend::notAvailable;
    }
    return SecretBackend::internalError;
}

// Cancelled when the application quits; shared by every call, never freed.
GCancellable* quitting() {
    static GCancellable* const cancellable = g_cancellable_new();
    return cancellable;
}

}  // namespace

void LibsecretBackend::abandonCalls() {
    if (!g_cancellable_is_cancelled(quitting())) {
        logger().info("secret_service_calls_abandoned");
    }
    g_cancellable_cancel(quitting());
}

std::shared_ptr<LibsecretBackend> LibsecretBackend::connect(std::string& whyNot) {
    GError* raw = nullptr;
    std::unique_ptr<SecretService, ObjectUnref> service(
        secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, quitting(), &raw));
    ErrorPtr error(raw);
    if (error) {
        whyNot = error->message;
        return nullptr;
    }
    if (!service) {
        whyNot = "no Secret Service";
        return nullptr;
    }
    return std::shared_ptr<LibsecretBackend>(new LibsecretBackend(true));
}

std::shared_ptr<LibsecretBackend> LibsecretBackend::withoutPrompts() const {
    return std::shared_ptr<LibsecretBackend>(new LibsecretBackend(false));
}

namespace {

using ServicePtr = std::unique_ptr<SecretService, ObjectUnref>;
using CollectionPtr = std::unique_ptr<SecretCollection, ObjectUnref>;

// The process's connection to the service (libsecret keeps one), with a session for secrets.
ServicePtr openService(ErrorPtr& error) {
    GError* raw = nullptr;
    ServicePtr service(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, quitting(), &raw));
    error.reset(raw);
    return service;
}

// The collection behind the "default" alias, looked up without creating it; null when the
// alias names none (error empty) or the service failed (error set).
CollectionPtr defaultCollection(SecretService* service, ErrorPtr& error) {
    GError* raw = nullptr;
    CollectionPtr collection(secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, quitting(), &raw));
    error.reset(raw);
    return collection;
}

}  // namespace

std::optional<LibsecretBackend::DefaultKeyring> LibsecretBackend::defaultKeyring(
    std::string& whyNot) {
    ErrorPtr error;
    const auto service = openService(error);
    if (!service) {
        whyNot = error ? error->message : "no Secret Service";
        return std::nullopt;
    }
    const auto collection = defaultCollection(service.get(), error);
    if (error) {
        whyNot = error->message;
        return std::nullopt;
    }
    if (!collection) {
        return DefaultKeyring::missing;
    }
    return secret_collection_get_locked(collection.get()) ? DefaultKeyring::locked
                                                          : DefaultKeyring::unlocked;
}

SecretBackend::ReadResult LibsecretBackend::lookUpWithoutPrompt(const std::string& service,
                                                                const std::string& account) {
    ErrorPtr error;
    const auto connection = openService(error);
    if (!connection) {
        return {error ? statusOf(error.get(), "read", account) : notAvailable, std::nullopt};
    }
    GHashTable* attributes = secret_attributes_build(schema(), "service", service.c_str(),
                                                     "account", account.c_str(), nullptr);
    GError* raw = nullptr;
    // No SECRET_SEARCH_UNLOCK: a locked item stays locked rather than prompting.
    GList* items = secret_service_search_sync(connection.get(), schema(), attributes,
                                              SECRET_SEARCH_LOAD_SECRETS, quitting(), &raw);
    g_hash_table_unref(attributes);
    error.reset(raw);
    if (error) {
        return {statusOf(error.get(), "read", account), std::nullopt};
    }
    ReadResult result{itemNotFound, std::nullopt};
    if (items != nullptr) {
        auto* item = static_cast<SecretItem*>(items->data);
        SecretValue* value = secret_item_get_secret(item);
        if (secret_item_get_locked(item) || value == nullptr) {
            noteFailureReason("the keyring is locked");
            result.status = interactionNotAllowed;
        } else if (auto data = base64Decode(secret_value_get_text(value))) {
            result = {success, std::move(data)};
        } else {
            logger().error("secret_service_value_undecodable key=" + account);
            result.status = decodeFailed;
        }
        if (value != nullptr) {
            secret_value_unref(value);
        }
    }
    g_list_free_full(items, g_object_unref);
    return result;
}

SecretBackend::Status LibsecretBackend::storeWithoutPrompt(const std::string& service,
                                                           const std::string& account,
                                                           const std::string& encoded) {
    ErrorPtr error;
    const auto connection = openService(error);
    if (!connection) {
        return error ? statusOf(error.get(), "write", account) : notAvailable;
    }
    const auto collection = defaultCollection(connection.get(), error);
    if (error) {
        return statusOf(error.get(), "write", account);
    }
    if (!collection || secret_collection_get_locked(collection.get())) {
        noteFailureReason(collection ? "the keyring is locked" : "there is no default keyring");
        return interactionNotAllowed;
    }
    GHashTable* attributes = secret_attributes_build(schema(), "service", service.c_str(),
                                                     "account", account.c_str(), nullptr);
    SecretValue* value = secret_value_new(encoded.c_str(), -1, "text/plain");
    const std::string label = service + " " + account;
    GError* raw = nullptr;
    SecretItem* item =
        secret_item_create_sync(collection.get(), schema(), attributes, label.c_str(), value,
                                SECRET_ITEM_CREATE_REPLACE, quitting(), &raw);
    secret_value_unref(value);
    g_hash_table_unref(attributes);
    error.reset(raw);
    if (item != nullptr) {
        g_object_unref(item);
    }
    if (error) {
        return statusOf(error.get(), "write", account);
    }
    return success;
}

SecretBackend::ReadResult LibsecretBackend::copyMatching(std::string_view service,
                                                         std::string_view account) {
    const std::string serviceText(service);
    const std::string accountText(account);
    if (!prompts_) {
        return lookUpWithoutPrompt(serviceText, accountText);
    }
    GError* raw = nullptr;
    PasswordPtr password(secret_password_lookup_sync(schema(), quitting(), &raw, "service",
                                                     serviceText.c_str(), "account",
                                                     accountText.c_str(), nullptr));
    ErrorPtr error(raw);
    if (error) {
        return {statusOf(error.get(), "read", account), std::nullopt};
    }
    if (!password) {
        return {itemNotFound, std::nullopt};
    }
    auto data = base64Decode(password.get());
    if (!data) {
        logger().error("secret_service_value_undecodable key=" + accountText);
        return {decodeFailed, std::nullopt};
    }
    return {success, std::move(data)};
}

SecretBackend::Status LibsecretBackend::update(std::string_view service, std::string_view account,
                                               std::string_view data) {
    const auto existing = copyMatching(service, account);
    if (existing.status != success) {
        return existing.status;
    }
    return store(service, account, data);
}

SecretBackend::Status LibsecretBackend::add(std::string_view service, std::string_view account,
                                            std::string_view data) {
    const auto existing = copyMatching(service, account);
    if (existing.status == success) {
        return duplicateItem;
    }
    if (existing.status != itemNotFound) {
        return existing.status;
    }
    return store(service, account, data);
}

SecretBackend::Status LibsecretBackend::store(std::string_view service, std::string_view account,
                                              std::string_view data) {
    const std::string serviceText(service);
    const std::string accountText(account);
    const std::string label = serviceText + " " + accountText;
    const std::string encoded = base64Encode(data);
    if (!prompts_) {
        return storeWithoutPrompt(serviceText, accountText, encoded);
    }
    GError* raw = nullptr;
    // Storing replaces an item with the same attributes, so an update keeps one item.
    secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), encoded.c_str(),
                               quitting(), &raw, "service", serviceText.c_str(), "account",
                               accountText.c_str(), nullptr);
    ErrorPtr error(raw);
    if (error) {
        return statusOf(error.get(), "write", account);
    }
    return success;
}

SecretBackend::Status LibsecretBackend::remove(std::string_view service, std::string_view account) {
    const std::string serviceText(service);
    const std::string accountText(account);
    GError* raw = nullptr;
    const gboolean removed =
        secret_password_clear_sync(schema(), quitting(), &raw, "service", serviceText.c_str(),
                                   "account", accountText.c_str(), nullptr);
    ErrorPtr error(raw);
    if (error) {
        return statusOf(error.get(), "delete", account);
    }
    return removed ? success : itemNotFound;
}

}  // namespace vask
