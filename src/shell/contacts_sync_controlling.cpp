#include "shell/contacts_sync_controlling.h"

namespace vask {

namespace {

ContactsSyncControlling::SyncFailure syncFailure(const std::exception& error) {
    ContactsSyncControlling::SyncFailure failure{.description = error.what(), .folder = {}};
    if (const auto* store = dynamic_cast<const SystemContactStoreError*>(&error)) {
        switch (store->kind()) {
            case SystemContactStoreError::Case::folderMissing:
                failure.folder = ContactsFolderProblem::missing;
                break;
            case SystemContactStoreError::Case::folderUnreadable:
                failure.folder = ContactsFolderProblem::unreadable;
                break;
            default:
                break;
        }
    }
    return failure;
}

}  // namespace

LiveContactsSyncController::LiveContactsSyncController(ContactsManager manager, ContactsStore store,
                                                       MainExecutor& main)
    : manager_(manager),
      engine_(std::move(manager), std::move(store), defaultCountryCode),
      main_(main) {}

std::shared_ptr<LiveContactsSyncController> LiveContactsSyncController::make(
    ContactsManager manager, ContactsStore store, MainExecutor& main) {
    std::shared_ptr<LiveContactsSyncController> controller(
        new LiveContactsSyncController(std::move(manager), std::move(store), main));
    std::weak_ptr<LiveContactsSyncController> weak = controller;
    controller->engine_.setOnSyncComplete([weak, &main] {
        main.post([weak] {
            if (auto self = weak.lock(); self && self->onSyncComplete_) {
                self->onSyncComplete_();
            }
        });
    });
    controller->engine_.setOnSyncError([weak, &main](const std::exception& error) {
        main.post([weak, failure = syncFailure(error)] {
            if (auto self = weak.lock(); self && self->onSyncError_) {
                self->onSyncError_(failure);
            }
        });
    });
    return controller;
}

int LiveContactsSyncController::authorizationStatus() const {
    return static_cast<int>(manager_.authorizationStatus());
}

void LiveContactsSyncController::setOnSyncComplete(std::function<void()> handler) {
    onSyncComplete_ = std::move(handler);
}

void LiveContactsSyncController::setOnSyncError(std::function<void(const SyncFailure&)> handler) {
    onSyncError_ = std::move(handler);
}

void LiveContactsSyncController::start(std::function<void(const StartOutcome&)> done) {
    // The engine starts on the main executor; the platform answers the access request at once.
    main_.post([weak = weak_from_this(), done = std::move(done)] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        StartOutcome outcome;
        try {
            const bool wasStarted = self->engine_.isStarted();
            self->engine_.start();
            outcome.scheduledSync = !wasStarted;
        } catch (const std::exception& error) {
            outcome.error = error.what();
        }
        done(outcome);
    });
}

void LiveContactsSyncController::scheduleSync() {
    engine_.scheduleSync();
}

}  // namespace vask
