#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/executor.h"
#include "sources/coalescing_sync_runner.h"
#include "sources/contacts_manager.h"
#include "sources/contacts_store.h"

namespace vask {

class ContactsSyncError : public Error {
  public:
    enum class Case { permissionDenied };

    explicit ContactsSyncError(Case kind);
    Case kind() const { return kind_; }

  private:
    Case kind_;
};

// Keeps the contacts database equal to the address book: every synchronisation is a full rebuild
// written all or nothing, run one at a time on the engine's serial queue. Requests that arrive
// while one is queued or running fold into exactly one rerun after it, so a burst of address-book
// changes costs at most one synchronisation in flight plus one.
class ContactsSyncEngine : public CoalescingSyncEngine {
  public:
    static constexpr std::string_view queueLabel = "ai.vask.contacts.sync";

    // `syncQueue` runs the synchronisations; absent, the engine makes its own serial queue. A
    // queue passed in must run its tasks one at a time.
    ContactsSyncEngine(ContactsManager manager, ContactsStore store, std::string defaultCountryCode,
                       std::shared_ptr<Executor> syncQueue = nullptr);
    ~ContactsSyncEngine();

    // Asks for access, creates the schema, requests the first synchronisation and listens for
    // address-book changes. Does nothing when already started. Throws ContactsSyncError
    // (permissionDenied) when access is not granted, and passes on the errors of the access
    // request (SystemContactStoreError) and of the schema (ContactsStoreError).
    void start();
    // Stops listening for changes; a synchronisation queued or running still finishes.
    void stop();

  private:
    struct State;

    std::shared_ptr<State> state_;
};

}  // namespace vask
