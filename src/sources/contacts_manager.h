#pragma once

#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/subscription.h"
#include "sources/contact_payload.h"
#include "sources/system_contact_store.h"

namespace vask {

// The reading side of the contacts copy: permission, fetching every contact with the keys the
// contacts database needs, turning them into payloads and reporting address-book changes.
class ContactsManager {
  public:
    explicit ContactsManager(std::shared_ptr<SystemContactStore> store,
                             const Clock& clock = Clock::system());

    ContactAuthorizationStatus authorizationStatus() const;

    // True when access is (or has just been) granted; false for restricted, denied or limited
    // access without asking again. Waits for the store's answer, which the Linux store gives at
    // once. Throws SystemContactStoreError (accessRequestFailed) when the request itself fails.
    bool requestAccessIfNeeded();

    // In the user's sort order, linked cards unified. Throws SystemContactStoreError.
    std::vector<SystemContact> fetchAllContacts();

    // One payload per contact, in fetch order, all stamped with the same time.
    std::vector<ContactPayload> buildPayloads(std::string_view defaultCountryCode);

    // `handler` runs on the store's thread after each change of the address book, for as long
    // as the returned token lives (or until it is passed to removeObserver).
    [[nodiscard]] Subscription observeChanges(std::function<void()> handler);
    void removeObserver(Subscription& token);

    // The first that applies: formatted full name, organisation, first e-mail address as stored
    // (unless blank), first phone number as written, "Unknown".
    static std::string displayName(const SystemContact& contact);

  private:
    std::shared_ptr<SystemContactStore> store_;
    const Clock& clock_;
};

}  // namespace vask
