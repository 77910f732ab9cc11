#include "platform/file_secret_backend.h"

#include <nlohmann/json.hpp>

#include "platform/base64.h"
#include "platform/file_io.h"
#include "platform/file_lock.h"
#include "platform/logger.h"

#include <unistd.h>

namespace vask {
namespace {

const Logger& logger() {
    static const Logger instance("ai.ternwick.Vask", "keychain");
    return instance;
}

// The file's items; nothing when it exists but is not an object of objects of strings.
std::optional<nlohmann::json> parseItems(const std::optional<std::string>& contents) {
    if (!contents) {
        return nlohmann::json::object();
    }
    auto json = nlohmann::json::parse(*contents, nullptr, false);
    if (!json.is_object()) {
        return std::nullopt;
    }
    for (const auto& [service, accounts] : json.items()) {
        if (!accounts.is_object()) {
            return std::nullopt;
        }
        for (const auto& [account, value] : accounts.items()) {
            if (!value.is_string()) {
                return std::nullopt;
            }
        }
    }
    return json;
}

}  // namespace

FileSecretBackend::FileSecretBackend(std::filesystem::path file,
                                     std::shared_ptr<FileProblems> problems)
    : file_(std::move(file)), problems_(std::move(problems)) {}

SecretBackend::ReadResult FileSecretBackend::copyMatching(std::string_view service,
                                                          std::string_view account) {
    std::lock_guard lock(mutex_);
    try {
        const auto items = parseItems(readFileIfExists(file_, LinkPolicy::refuse));
        if (!items) {
            logger().error("secret_file_corrupt path=" + file_.string());
            noteFailureReason(file_.string() + " is damaged: it is not a list of credentials");
            return {decodeFailed, std::nullopt};
        }
        const auto accounts = items->find(service);
        if (accounts == items->end()) {
            return {itemNotFound, std::nullopt};
        }
        const auto value = accounts->find(account);
        if (value == accounts->end()) {
            return {itemNotFound, std::nullopt};
        }
        auto data = base64Decode(value->get<std::string>());
        if (!data) {
            logger().error("secret_file_value_undecodable path=" + file_.string());
            return {decodeFailed, std::nullopt};
        }
        return {success, std::move(data)};
    } catch (const FileError& e) {
        logger().error(std::string("secret_file_read_failed error=") + e.what());
        noteFailureReason(e.what());
        return {internalError, std::nullopt};
    }
}

SecretBackend::Status FileSecretBackend::update(std::string_view service, std::string_view account,
                                                std::string_view data) {
    return change(Change::update, service, account, data);
}

SecretBackend::Status FileSecretBackend::add(std::string_view service, std::string_view account,
                                             std::string_view data) {
    return change(Change::add, service, account, data);
}

SecretBackend::Status FileSecretBackend::remove(std::string_view service,
                                                std::string_view account) {
    return change(Change::remove, service, account, {});
}

SecretBackend::Status FileSecretBackend::change(Change kind, std::string_view service,
                                                std::string_view account, std::string_view data) {
    std::lock_guard lock(mutex_);
    try {
        const auto fileLock = FileLock::acquire(file_.string() + ".lock");
        auto items = parseItems(readFileIfExists(file_, LinkPolicy::refuse));
        if (!items) {
            const auto aside = setAsideCorruptFile(file_);
            logger().error("secret_file_corrupt_kept path=" + aside.string());
            if (problems_) {
                problems_->report({FileProblem::Kind::credentialsDamaged, file_, aside, {}});
            }
            items = nlohmann::json::object();
        }
        const std::string serviceKey(service);
        const std::string accountKey(account);
        const bool exists =
            items->contains(serviceKey) && (*items)[serviceKey].contains(accountKey);
        switch (kind) {
            case Change::update:
                if (!exists) {
                    return itemNotFound;
                }
                (*items)[serviceKey][accountKey] = base64Encode(data);
                break;
            case Change::add:
                if (exists) {
                    return duplicateItem;
                }
                (*items)[serviceKey][accountKey] = base64Encode(data);
                break;
            case Change::remove:
                if (!exists) {
                    return itemNotFound;
                }
                (*items)[serviceKey].erase(accountKey);
                if ((*items)[serviceKey].empty()) {
                    items->erase(serviceKey);
                }
                break;
        }
        // The file lives in the data folder: a link there is nothing Vask made.
        writeFileAtomically(
            file_, items->dump(2) + "\n",
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
            LinkPolicy::refuse);
        return success;
    } catch (const FileError& e) {
        logger().error(std::string("secret_file_write_failed error=") + e.what());
        noteFailureReason(e.what());
        return internalError;
    }
}

bool FileSecretBackend::holdsItems() {
    std::lock_guard lock(mutex_);
    try {
        const auto items = parseItems(readFileIfExists(file_, LinkPolicy::refuse));
        return items && !items->empty();
    } catch (const FileError& e) {
        logger().error(std::string("secret_file_read_failed error=") + e.what());
        return false;
    }
}

bool FileSecretBackend::moveEverythingInto(SecretBackend& destination) {
    std::lock_guard lock(mutex_);
    try {
        const auto fileLock = FileLock::acquire(file_.string() + ".lock");
        const auto contents = readFileIfExists(file_, LinkPolicy::refuse);
        if (!contents) {
            return true;
        }
        const auto items = parseItems(contents);
        if (!items) {
            // Left for the next change to set aside; reads report it meanwhile.
            logger().error("secret_file_not_moved reason=unreadable path=" + file_.string());
            return false;
        }
        std::size_t moved = 0;
        bool everything = true;
        for (const auto& [service, accounts] : items->items()) {
            for (const auto& [account, value] : accounts.items()) {
                const auto data = base64Decode(value.get<std::string>());
                if (!data) {
                    everything = false;
                    continue;
                }
                // What the file holds was written while the keyring was away, so it is newer
                // than what the keyring may still hold for the same account.
                auto status = destination.update(service, account, *data);
                if (status == itemNotFound) {
                    status = destination.add(service, account, *data);
                }
                if (status == success) {
                    ++moved;
                } else {
                    everything = false;
                    logger().error("secret_file_item_not_moved status=" + std::to_string(status));
                }
            }
        }
        if (!everything) {
            // Every item stays in the file, read from there until a later run moves them.
            return false;
        }
        if (::unlink(file_.c_str()) != 0 && errno != ENOENT) {
            throw FileError("remove", file_, errno);
        }
        logger().info("secret_file_moved items=" + std::to_string(moved) +
                      " to=" + std::string(destination.kind()));
        return true;
    } catch (const FileError& e) {
        logger().error(std::string("secret_file_not_moved error=") + e.what());
        return false;
    }
}

}  // namespace vask
