#include "proactive/file_notification_sink.h"

#include <nlohmann/json.hpp>

#include "platform/owner_only_file.h"
#include "proactive/freedesktop_notification_center.h"

namespace vask {

FileNotificationSink::FileNotificationSink(std::filesystem::path path) : path_(std::move(path)) {}

std::optional<std::string> FileNotificationSink::append(const std::string& line) {
    // One write per line with O_APPEND keeps lines whole when several processes share the file.
    // The sink is named by the environment and may sit in a shared folder: a link, a FIFO (whose
    // open would block the main thread) or another user's file is refused.
    return appendToOwnerOnlyFile(path_, line + "\n");
}

void FileNotificationSink::authorizationStatus(
    std::function<void(NotificationAuthorizationStatus)> completion) {
    completion(NotificationAuthorizationStatus::authorized);
}

void FileNotificationSink::requestAuthorization(
    std::function<void(bool, const std::optional<std::string>&)> completion) {
    completion(true, std::nullopt);
}

void FileNotificationSink::add(const UserNotificationRequest& request, ErrorCompletion completion) {
    const nlohmann::json line = {{"event", "post"},
                                 {"id", request.identifier},
                                 {"title", request.title},
                                 {"body", request.body},
                                 {"userInfo", request.userInfo}};
    std::optional<std::string> error;
    {
        std::lock_guard lock(mutex_);
        error = append(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        if (!error) {
            delivered_.insert(request.identifier);
        }
    }
    completion(error);
}

void FileNotificationSink::deliveredIdentifiers(IdentifiersCompletion completion) {
    std::vector<std::string> identifiers;
    {
        std::lock_guard lock(mutex_);
        identifiers.assign(delivered_.begin(), delivered_.end());
    }
    completion(identifiers);
}

void FileNotificationSink::pendingIdentifiers(IdentifiersCompletion completion) {
    completion({});
}

void FileNotificationSink::removeDelivered(const std::vector<std::string>& identifiers) {
    std::lock_guard lock(mutex_);
    for (const auto& identifier : identifiers) {
        if (delivered_.erase(identifier) == 0) {
            continue;
        }
        if (const auto error = append(nlohmann::json{{"event", "remove"}, {"id", identifier}}.dump(
                -1, ' ', false, nlohmann::json::error_handler_t::replace))) {
            logger_.error("notification_sink_write_failed", {{"error", *error}});
        }
    }
}

void FileNotificationSink::removePending(const std::vector<std::string>&) {}

void FileNotificationSink::setTapReceiver(TapReceiver) {}

std::unique_ptr<UserNotificationCenter> UserNotificationCenter::makeSystem(
    const Environment& environment) {
    if (const auto sink = environment.find(FileNotificationSink::pathVariable);
        sink != environment.end() && !sink->second.empty()) {
        return std::make_unique<FileNotificationSink>(sink->second);
    }
    return std::make_unique<FreedesktopNotificationCenter>();
}

}  // namespace vask
