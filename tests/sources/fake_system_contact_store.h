#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/change_observers.h"
#include "sources/system_contact_store.h"

namespace vask::test {

// An address book held in memory. The access request answers with `grantOnRequest` (or fails
// with `requestError`) and records that it was asked; `changes.notify()` stands for a change of
// the address book.
class FakeSystemContactStore final : public SystemContactStore {
  public:
    ContactAuthorizationStatus status = ContactAuthorizationStatus::notDetermined;
    bool grantOnRequest = true;
    std::optional<std::string> requestError;
    int requestCount = 0;
    std::vector<SystemContact> contacts;
    std::optional<std::string> enumerationError;
    std::optional<ContactFetchRequest> lastRequest;
    ChangeObservers changes;

    ContactAuthorizationStatus authorizationStatus() const override { return status; }

    void requestAccess(AccessCompletion completion) override {
        ++requestCount;
        if (!requestError && grantOnRequest) {
            status = ContactAuthorizationStatus::authorized;
        }
        completion(grantOnRequest && !requestError, requestError);
    }

    std::vector<SystemContact> enumerateContacts(const ContactFetchRequest& request) override {
        lastRequest = request;
        if (enumerationError) {
            throw SystemContactStoreError(SystemContactStoreError::Case::enumerationFailed,
                                          *enumerationError);
        }
        return contacts;
    }

    Subscription observeChanges(std::function<void()> changed) override {
        return changes.observe(std::move(changed));
    }
};

}  // namespace vask::test
