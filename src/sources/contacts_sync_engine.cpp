#include "sources/contacts_sync_engine.h"

#include <mutex>
#include <utility>

#include "foundation/structured_logger.h"
#include "platform/serial_queue.h"

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
    State(ContactsManager managerValue, ContactsStore storeValue, std::string countryCode,
          std::weak_ptr<Executor> queueValue)
        : manager(std::move(managerValue)),
          store(std::move(storeValue)),
          defaultCountryCode(std::move(countryCode)),
          queue(std::move(queueValue)) {}

    // start() prepares the schema on the caller's thread while a synchronisation from an earlier
    // start may still be writing; the store's one connection must not see both at once.
    std::mutex workMutex;
    ContactsManager manager;
    ContactsStore store;
    const std::string defaultCountryCode;
    const std::weak_ptr<Executor> queue;

    std::mutex flagsMutex;
    bool isSyncing = false;
    bool pendingSync = false;

    std::mutex handlersMutex;
    ErrorHandler onSyncError;
    CompletionHandler onSyncComplete;

    void performSync() {
        try {
            std::lock_guard lock(workMutex);
            store.replaceAll(manager.buildPayloads(defaultCountryCode));
        } catch (const std::exception& error) {
            reportFailure(error);
            return;
        }
        CompletionHandler complete;
        {
            std::lock_guard lock(handlersMutex);
            complete = onSyncComplete;
        }
        if (complete) {
            complete();
        }
    }

    void reportFailure(const std::exception& error) {
        ErrorHandler report;
        {
            std::lock_guard lock(handlersMutex);
            report = onSyncError;
        }
        if (report) {
            report(error);
        } else {
            logger().error("contacts_sync_failed", {{"error", error.what()}});
        }
    }
};

ContactsSyncEngine::ContactsSyncEngine(ContactsManager manager, ContactsStore store,
                                       std::string defaultCountryCode,
                                       std::shared_ptr<Executor> syncQueue)
    : syncQueue_(syncQueue ? std::move(syncQueue)
                           : std::make_shared<SerialQueue>(std::string(queueLabel))),
      state_(std::make_shared<State>(std::move(manager), std::move(store),
                                     std::move(defaultCountryCode), syncQueue_)) {}

ContactsSyncEngine::~ContactsSyncEngine() {
    stop();
    // The state goes before the queue, so that a job still queued finds nothing to run.
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
    changeObserver_ = state_->manager.observeChanges([weak = std::weak_ptr<State>(state_)] {
        if (auto state = weak.lock()) {
            schedule(state);
        }
    });
}

void ContactsSyncEngine::stop() {
    if (changeObserver_.isActive()) {
        state_->manager.removeObserver(changeObserver_);
    }
}

void ContactsSyncEngine::scheduleSync() {
    schedule(state_);
}

void ContactsSyncEngine::schedule(const std::shared_ptr<State>& state) {
    {
        std::lock_guard lock(state->flagsMutex);
        if (state->isSyncing) {
            state->pendingSync = true;
            return;
        }
        state->isSyncing = true;
    }
    // No queue means the engine is being destroyed: nothing is to run any more.
    if (auto queue = state->queue.lock()) {
        queue->post([weak = std::weak_ptr<State>(state)] {
            auto current = weak.lock();
            if (!current) {
                return;
            }
            current->performSync();
            bool rerun = false;
            {
                std::lock_guard lock(current->flagsMutex);
                current->isSyncing = false;
                rerun = std::exchange(current->pendingSync, false);
            }
            if (rerun) {
                schedule(current);
            }
        });
    }
}

void ContactsSyncEngine::setOnSyncError(ErrorHandler handler) {
    std::lock_guard lock(state_->handlersMutex);
    state_->onSyncError = std::move(handler);
}

void ContactsSyncEngine::setOnSyncComplete(CompletionHandler handler) {
    std::lock_guard lock(state_->handlersMutex);
    state_->onSyncComplete = std::move(handler);
}

}  // namespace vask
