#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/executor.h"
#include "platform/subscription.h"
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
//
// start() and stop() belong to the main executor; scheduleSync() may be called from any thread.
// The queued work and the change handler hold the engine's state weakly: once the engine is
// destroyed, a job still queued does nothing.
class ContactsSyncEngine {
  public:
    using ErrorHandler = CoalescingSyncRunner::ErrorHandler;
    using CompletionHandler = CoalescingSyncRunner::CompletionHandler;

    static constexpr std::string_view queueLabel = "ai.vask.contacts.sync";

    // `syncQueue` runs the synchronisations; absent, the engine makes its own serial queue. A
    // queue passed in must run its tasks one at a time.
    ContactsSyncEngine(ContactsManager manager, ContactsStore store, std::string defaultCountryCode,
                       std::shared_ptr<Executor> syncQueue = nullptr);
    ~ContactsSyncEngine();

    ContactsSyncEngine(const ContactsSyncEngine&) = delete;
    ContactsSyncEngine& operator=(const ContactsSyncEngine&) = delete;

    // Asks for access, creates the schema, requests the first synchronisation and listens for
    // address-book changes. Does nothing when already started. Throws ContactsSyncError
    // (permissionDenied) when access is not granted, and passes on the errors of the access
    // request (SystemContactStoreError) and of the schema (ContactsStoreError).
    void start();
    // Stops listening for changes; a synchronisation queued or running still finishes.
    void stop();
    bool isStarted() const { return changeObserver_.isActive(); }

    // Returns at once.
    void scheduleSync();

    // Called on the sync queue's thread after each synchronisation; they must not throw. Without
    // an error handler, a failed synchronisation is logged instead.
    void setOnSyncError(ErrorHandler handler);
    void setOnSyncComplete(CompletionHandler handler);

  private:
    struct State;

    // Declared before the runner so that it is destroyed after it: jobs still queued then find
    // the runner gone and do nothing.
    std::shared_ptr<Executor> syncQueue_;
    std::shared_ptr<State> state_;
    std::shared_ptr<CoalescingSyncRunner> runner_;
    Subscription changeObserver_;
};

}  // namespace vask
