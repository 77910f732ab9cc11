#include "sources/contacts_sync_engine.h"

#include <mutex>
#include <utility>

#include "foundation/structured_logger.h"

namespace vask {
namespace {

const StructuredLogger& logger() {
    static const StructuredLogger log("contacts-sync");
    return log;
}

}  // namespace

ContactsSyncError::ContactsSyncError(Case kind)
    : Error("Contacts permission was not granted."), kind_(kind) {}

struct ContactsSyncEngine::State {
    State(ContactsManager managerValue, ContactsStore storeValue, std::string countryCode)
        : manager(std::move(managerValue)),
          store(std::move(storeValue)),
          defaultCountryCode(std::move(countryCode)) {}

    // start() prepares the schema on the caller's thread while a synchronisation from an earlier
    // start may still be writing; the store's one connection must not see both at once.
    std::mutex workMutex;
    ContactsManager manager;
    ContactsStore store;
    const std::string defaultCountryCode;

    // Throws what reading the address book or writing the store throws.
    void performSync() {
        std::lock_guard lock(workMutex);
        store.replaceAll(manager.buildPayloads(defaultCountryCode));
    }
};

ContactsSyncEngine::ContactsSyncEngine(ContactsManager manager, ContactsStore store,
                                       std::string defaultCountryCode,
                                       std::shared_ptr<Executor> syncQueue)
    : CoalescingSyncEngine(std::move(syncQueue), queueLabel),
      state_(std::make_shared<State>(std::move(manager), std::move(store),
                                     std::move(defaultCountryCode))) {
    runWith([state = state_] { state->performSync(); },
            [](const std::exception& error) {
                logger().error("contacts_sync_failed", {{"error", error.what()}});
            });
}

ContactsSyncEngine::~ContactsSyncEngine() {
    stop();
    dropRunner();
    state_.reset();
}

void ContactsSyncEngine::start() {
    if (isStarted()) {
        return;
    }
    if (!state_->manager.requestAccessIfNeeded()) {
        throw ContactsSyncError(ContactsSyncError::Case::permissionDenied);
    }
    {
        std::lock_guard lock(state_->workMutex);
        state_->store.createSchemaIfNeeded();
    }
    scheduleSync();
    changeObserver_ = state_->manager.observeChanges(changeHandler());
}

void ContactsSyncEngine::stop() {
    if (changeObserver_.isActive()) {
        state_->manager.removeObserver(changeObserver_);
    }
}

}  // namespace vask
