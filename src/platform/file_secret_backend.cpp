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
            return {decodeFailed, std::nullopt,
                    file_.string() + " is damaged: it is not a list of credentials"};
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
        return {internalError, std::nullopt, e.what()};
    }
}

SecretBackend::Outcome FileSecretBackend::update(std::string_view service, std::string_view account,
                                                 std::string_view data) {
    return change(Change::update, service, account, data);
}

SecretBackend::Outcome FileSecretBackend::add(std::string_view service, std::string_view account,
                                              std::string_view data) {
    return change(Change::add, service, account, data);
}

SecretBackend::Outcome FileSecretBackend::remove(std::string_view service,
                                                 std::string_view account) {
    return change(Change::remove, service, account, {});
}

template <class Edit>
SecretBackend::Outcome FileSecretBackend::rewrite(Edit edit) {
    std::lock_guard lock(mutex_);
    try {
        const auto fileLock = lockFile();
        auto items = parseItems(readFileIfExists(file_, LinkPolicy::refuse));
        if (!items) {
            const auto aside = setAsideCorruptFile(file_);
            logger().error("secret_file_corrupt_kept path=" + aside.string());
            if (problems_) {
                problems_->report({FileProblem::Kind::credentialsDamaged, file_, aside, {}});
            }
            items = nlohmann::json::object();
        }
        auto outcome = edit(*items);
        if (outcome.status != success) {
            return outcome;
        }
        if (items->empty()) {
            // An empty record is no record: the file goes, and its lock file with it (a waiter
            // that locked it finds it gone and locks a new one).
            if (::unlink(file_.c_str()) != 0 && errno != ENOENT) {
                throw FileError("remove", file_, errno);
            }
            ::unlink((file_.string() + ".lock").c_str());
            return outcome;
        }
        // The file lives in the data folder: a link there is nothing Vask made.
        writeFileAtomically(
            file_, items->dump(2) + "\n",
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
            LinkPolicy::refuse);
        return outcome;
    } catch (const FileError& e) {
        logger().error(std::string("secret_file_write_failed error=") + e.what());
        return {internalError, e.what()};
    }
}

namespace {

bool holds(const nlohmann::json& items, const std::string& service, const std::string& account) {
    return items.contains(service) && items[service].contains(account);
}

void erase(nlohmann::json& items, const std::string& service, const std::string& account) {
    items[service].erase(account);
    if (items[service].empty()) {
        items.erase(service);
    }
}

}  // namespace

SecretBackend::Outcome FileSecretBackend::change(Change kind, std::string_view service,
                                                 std::string_view account, std::string_view data) {
    return rewrite([&](nlohmann::json& items) -> Outcome {
        const std::string serviceKey(service);
        const std::string accountKey(account);
        const bool exists = holds(items, serviceKey, accountKey);
        switch (kind) {
            case Change::update:
                if (!exists) {
                    return itemNotFound;
                }
                items[serviceKey][accountKey] = base64Encode(data);
                break;
            case Change::add:
                if (exists) {
                    return duplicateItem;
                }
                items[serviceKey][accountKey] = base64Encode(data);
                break;
            case Change::remove:
                if (!exists) {
                    return itemNotFound;
                }
                erase(items, serviceKey, accountKey);
                break;
        }
        return success;
    });
}

SecretBackend::Outcome FileSecretBackend::removeAll(std::string_view service,
                                                    const std::vector<std::string>& accounts) {
    return rewrite([&](nlohmann::json& items) -> Outcome {
        const std::string serviceKey(service);
        bool any = false;
        for (const auto& account : accounts) {
            if (holds(items, serviceKey, account)) {
                erase(items, serviceKey, account);
                any = true;
            }
        }
        return any ? success : itemNotFound;
    });
}

SecretBackend::Outcome FileSecretBackend::removeService(std::string_view service) {
    return rewrite([&](nlohmann::json& items) -> Outcome {
        return items.erase(std::string(service)) > 0 ? success : itemNotFound;
    });
}

SecretBackend::Outcome FileSecretBackend::setAside() {
    std::lock_guard lock(mutex_);
    try {
        const auto fileLock = lockFile();
        std::error_code error;
        if (!std::filesystem::exists(std::filesystem::symlink_status(file_, error))) {
            return success;
        }
        const auto aside = setAsideCorruptFile(file_);
        logger().error("secret_file_set_aside path=" + aside.string());
        return success;
    } catch (const FileError& e) {
        logger().error(std::string("secret_file_not_set_aside error=") + e.what());
        return {internalError, e.what()};
    }
}

SecretBackend::Outcome FileSecretBackend::putAll(
    std::string_view service, const std::vector<std::pair<std::string, std::string>>& items) {
    return rewrite([&](nlohmann::json& all) -> Outcome {
        for (const auto& [account, data] : items) {
            all[std::string(service)][account] = base64Encode(data);
        }
        return success;
    });
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

FileSecretBackend::Moved FileSecretBackend::moveInto(SecretBackend& destination) {
    std::lock_guard lock(mutex_);
    Moved result;
    try {
        const auto fileLock = lockFile();
        const auto contents = readFileIfExists(file_, LinkPolicy::refuse);
        if (!contents) {
            return result;
        }
        auto items = parseItems(contents);
        if (!items) {
            // Left for the next change to set aside; reads report it meanwhile.
            logger().error("secret_file_not_moved reason=unreadable path=" + file_.string());
            result.firstFailure = Outcome(decodeFailed, file_.string() + " is damaged");
            return result;
        }
        auto left = nlohmann::json::object();
        for (const auto& [service, accounts] : items->items()) {
            for (const auto& [account, value] : accounts.items()) {
                const auto data = base64Decode(value.get<std::string>());
                // What the file holds was written while the keyring was away, so it is newer
                // than what the keyring may still hold for the same account.
                Outcome outcome(decodeFailed);
                if (data) {
                    outcome = destination.update(service, account, *data);
                    if (outcome.status == itemNotFound) {
                        outcome = destination.add(service, account, *data);
                    }
                }
                if (outcome.status == success) {
                    ++result.moved;
                    continue;
                }
                left[service][account] = value;
                logger().error("secret_file_item_not_moved status=" +
                               std::to_string(outcome.status));
                if (!result.firstFailure) {
                    result.firstFailure = std::move(outcome);
                }
            }
        }
        if (result.moved == 0) {
            return result;
        }
        // Each item moved leaves the file at once, so a move cut short is finished, never
        // repeated over newer values, by a later one.
        if (left.empty()) {
            if (::unlink(file_.c_str()) != 0 && errno != ENOENT) {
                throw FileError("remove", file_, errno);
            }
            // Nothing is left to guard: the lock file goes too (a waiter that locked it finds it
            // gone and locks a new one).
            ::unlink((file_.string() + ".lock").c_str());
        } else {
            writeFileAtomically(
                file_, left.dump(2) + "\n",
                std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                LinkPolicy::refuse);
        }
        logger().info("secret_file_moved items=" + std::to_string(result.moved) + " to=" +
                      std::string(destination.kind()) + " left=" + std::to_string(left.size()));
    } catch (const FileError& e) {
        logger().error(std::string("secret_file_not_moved error=") + e.what());
        if (!result.firstFailure) {
            result.firstFailure = Outcome(internalError, e.what());
        }
    }
    return result;
}

std::optional<std::vector<FileSecretBackend::Key>> FileSecretBackend::keys() {
    std::lock_guard lock(mutex_);
    std::vector<Key> found;
    try {
        const auto items = parseItems(readFileIfExists(file_, LinkPolicy::refuse));
        if (!items) {
            logger().error("secret_file_corrupt path=" + file_.string());
            return std::nullopt;
        }
        for (const auto& [service, accounts] : items->items()) {
            for (const auto& [account, value] : accounts.items()) {
                found.push_back({service, account});
            }
        }
    } catch (const FileError& e) {
        logger().error(std::string("secret_file_read_failed error=") + e.what());
        return std::nullopt;
    }
    return found;
}

FileLock FileSecretBackend::lockFile() const {
    const auto path = file_.string() + ".lock";
    for (;;) {
        auto held = FileLock::acquire(path);
        if (held.isStillAt(path)) {
            return held;
        }
    }
}

}  // namespace vask
