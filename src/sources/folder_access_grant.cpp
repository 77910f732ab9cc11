#include "sources/folder_access_grant.h"

#include <exception>
#include <future>
#include <memory>
#include <utility>

namespace vask {

FolderAccessGrant::FolderAccessGrant(UserDefaults& defaults, std::string_view key,
                                     std::string_view grantedValue, StructuredLogger logger,
                                     std::string_view eventPrefix)
    : defaults_(defaults),
      key_(key),
      grantedValue_(grantedValue),
      logger_(std::move(logger)),
      eventPrefix_(eventPrefix) {}

FolderAccessGrant::State FolderAccessGrant::state() const {
    const auto grant = defaults_.stringValue(key_);
    if (grant.isAbsent()) {
        return State::notDetermined;
    }
    if (grant.isPresent() && grant.value == grantedValue_) {
        return State::granted;
    }
    if (grant.isPresent() && grant.value == "denied") {
        return State::denied;
    }
    logger_.warning(eventPrefix_ + "_access_grant_unreadable", {{"key", std::string(key_)}});
    return State::denied;
}

void FolderAccessGrant::request(const Completion& completion) {
    switch (state()) {
        case State::granted:
            completion(true, std::nullopt);
            return;
        case State::denied:
            completion(false, std::nullopt);
            return;
        case State::notDetermined:
            break;
    }
    try {
        defaults_.set(key_, std::string(grantedValue_));
    } catch (const std::exception& error) {
        completion(false, std::string(error.what()));
        return;
    }
    logger_.info(eventPrefix_ + "_access_granted");
    completion(true, std::nullopt);
}

AccessAnswer awaitAccess(const std::function<void(FolderAccessGrant::Completion)>& request) {
    auto promise = std::make_shared<std::promise<AccessAnswer>>();
    auto answer = promise->get_future();
    request([promise](bool granted, const std::optional<std::string>& error) {
        promise->set_value(AccessAnswer{granted, error});
    });
    return answer.get();
}

}  // namespace vask
