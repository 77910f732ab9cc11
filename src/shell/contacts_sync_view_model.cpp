#include "shell/contacts_sync_view_model.h"

namespace vask {

ContactsAuthorizationState contactsAuthorizationState(int platformStatus) {
    switch (platformStatus) {
        case 0:
            return ContactsAuthorizationState::notDetermined;
        case 2:
            return ContactsAuthorizationState::denied;
        case 3:
            return ContactsAuthorizationState::authorized;
        default:
            return ContactsAuthorizationState::restricted;
    }
}

ContactsSyncViewModel::ContactsSyncViewModel(Dependencies dependencies)
    : deps_(std::move(dependencies)) {
    lastError.set(deps_.initialError);
}

std::shared_ptr<ContactsSyncViewModel> ContactsSyncViewModel::make(Dependencies dependencies) {
    std::shared_ptr<ContactsSyncViewModel> viewModel(
        new ContactsSyncViewModel(std::move(dependencies)));
    viewModel->install();
    return viewModel;
}

void ContactsSyncViewModel::install() {
    std::weak_ptr<ContactsSyncViewModel> weak = weak_from_this();
    if (deps_.controller) {
        deps_.controller->setOnSyncComplete([weak] {
            if (auto self = weak.lock()) {
                self->isBusy.set(false);
                self->lastError.set(std::nullopt);
                self->folderProblem.set(std::nullopt);
                self->lastSyncedAt.set(self->deps_.scheduler.clock().now());
                self->logger_.info("contacts_sync_complete");
            }
        });
        deps_.controller->setOnSyncError(
            [weak](const ContactsSyncControlling::SyncFailure& failure) {
                if (auto self = weak.lock()) {
                    self->folderProblem.set(failure.folder);
                    self->lastError.set(failure.description);
                    self->isBusy.set(false);
                    self->logger_.error("contacts_sync_failed", {{"error", failure.description}});
                }
            });
    }
    refreshAuthorization();
    if (deps_.observesApplicationActivation) {
        activationObserver_ = deps_.application.observeDidBecomeActive([weak] {
            if (auto self = weak.lock()) {
                self->applicationDidBecomeActive();
            }
        });
    }
    logger_.info(
        "contacts_vm_init",
        {{"hasAccess",
          authorizationState.get() == ContactsAuthorizationState::authorized ? "true" : "false"},
         {"hasEngine", deps_.controller ? "true" : "false"}});
}

bool ContactsSyncViewModel::isSyncing() const {
    return isBusy.get() && authorizationState.get() == ContactsAuthorizationState::authorized;
}

bool ContactsSyncViewModel::hasContacts() const {
    return authorizationState.get() == ContactsAuthorizationState::authorized && !isBusy.get() &&
           !folderProblem.get();
}

std::string ContactsSyncViewModel::folderProblemText(ContactsFolderProblem problem) {
    switch (problem) {
        case ContactsFolderProblem::missing:
            return "Vask can't find your contacts folder. Put your contacts in it as vCard files, "
                   "or set VASK_CONTACTS_DIR to the folder that has them and reopen Vask, then "
                   "try again.";
        case ContactsFolderProblem::unreadable:
            break;
    }
    return "Vask can't read your contacts folder. Make sure it is a folder you can open, or set "
           "VASK_CONTACTS_DIR to the folder that has your vCard files and reopen Vask, then try "
           "again.";
}

bool ContactsSyncViewModel::isRequestingAccess() const {
    return isBusy.get() && authorizationState.get() != ContactsAuthorizationState::authorized;
}

void ContactsSyncViewModel::refreshAuthorization() {
    if (!deps_.controller) {
        return;
    }
    authorizationState.set(contactsAuthorizationState(deps_.controller->authorizationStatus()));
}

void ContactsSyncViewModel::applicationDidBecomeActive() {
    const auto before = authorizationState.get();
    refreshAuthorization();
    // Access granted in the settings while the application was in the background: synchronise
    // without waiting for a click.
    if (before != ContactsAuthorizationState::authorized &&
        authorizationState.get() == ContactsAuthorizationState::authorized && !isBusy.get()) {
        syncNow();
    }
}

void ContactsSyncViewModel::syncNow() {
    refreshAuthorization();
    if (authorizationState.get() != ContactsAuthorizationState::authorized) {
        logger_.info("contacts_sync_skipped", {{"reason", "no_access"}});
        return;
    }
    if (isBusy.get()) {
        logger_.info("contacts_sync_skipped", {{"reason", "already_in_progress"}});
        return;
    }
    lastError.set(std::nullopt);
    isBusy.set(true);
    logger_.info("contacts_sync_starting");
    if (didStart_) {
        deps_.controller->scheduleSync();
        return;
    }
    deps_.controller->start(
        [weak = weak_from_this()](const ContactsSyncControlling::StartOutcome& outcome) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            if (outcome.error) {
                self->isBusy.set(false);
                self->lastError.set(outcome.error);
                self->logger_.error("contacts_sync_start_failed", {{"error", *outcome.error}});
                return;
            }
            self->didStart_ = true;
            self->refreshAuthorization();
            self->logger_.info("contacts_sync_engine_started");
            if (!outcome.scheduledSync) {
                // The engine was already running: no completion will come for this request.
                self->isBusy.set(false);
            }
        });
}

void ContactsSyncViewModel::requestAccessAndSync(std::function<void()> done) {
    auto finish = [&done] {
        if (done) {
            done();
        }
    };
    if (!deps_.controller) {
        if (!lastError.get()) {
            lastError.set(std::string(engineUnavailableText));
        }
        logger_.error("contacts_access_request_skipped", {{"reason", "no_engine"}});
        finish();
        return;
    }
    if (isBusy.get()) {
        logger_.info("contacts_access_request_skipped", {{"reason", "already_in_progress"}});
        finish();
        return;
    }
    refreshAuthorization();
    switch (authorizationState.get()) {
        case ContactsAuthorizationState::authorized:
            syncNow();
            finish();
            return;
        case ContactsAuthorizationState::denied:
            if (deps_.contactsSettingsOpener && deps_.contactsSettingsOpener()) {
                lastError.set(std::nullopt);
                logger_.info("contacts_open_settings");
            } else {
                lastError.set(std::string(openSettingsFailedText));
                logger_.error("contacts_open_settings_failed");
            }
            finish();
            return;
        case ContactsAuthorizationState::restricted:
            lastError.set(std::nullopt);
            logger_.info("contacts_access_request_skipped", {{"reason", "restricted"}});
            finish();
            return;
        case ContactsAuthorizationState::notDetermined:
            break;
    }
    isBusy.set(true);
    lastError.set(std::nullopt);
    logger_.info("contacts_access_request_start");
    trace("requestAccessAndSync ENTER isActive=" +
          std::string(deps_.application.isActive() ? "true" : "false") + statusText());
    auto request = [weak = weak_from_this(), done = std::move(done)]() mutable {
        if (auto self = weak.lock()) {
            self->trace("post-activate isActive=" +
                        std::string(self->deps_.application.isActive() ? "true" : "false") +
                        self->statusText());
            self->startEngineForRequest(std::move(done));
        }
    };
    if (deps_.activatesApplicationBeforeRequest) {
        activateAndWait(std::move(request));
    } else {
        request();
    }
}

void ContactsSyncViewModel::startEngineForRequest(std::function<void()> done) {
    deps_.controller->start([weak = weak_from_this(), done = std::move(done)](
                                const ContactsSyncControlling::StartOutcome& outcome) {
        if (auto self = weak.lock()) {
            if (outcome.error) {
                self->isBusy.set(false);
                self->lastError.set(outcome.error);
                self->refreshAuthorization();
                self->trace("engine.start ERR " + *outcome.error + self->statusText());
                self->logger_.error("contacts_access_denied", {{"error", *outcome.error}});
            } else {
                self->didStart_ = true;
                self->refreshAuthorization();
                self->trace(
                    "engine.start OK" + self->statusText() + " hasAccess=" +
                    (self->authorizationState.get() == ContactsAuthorizationState::authorized
                         ? "true"
                         : "false"));
                // The first synchronisation's completion or error clears isBusy; when the
                // engine was already running no such callback is coming.
                if (!outcome.scheduledSync) {
                    self->isBusy.set(false);
                }
            }
        }
        if (done) {
            done();
        }
    });
}

void ContactsSyncViewModel::activateAndWait(std::function<void()> then) {
    if (deps_.application.isActive()) {
        then();
        return;
    }
    deps_.application.activateIgnoringOtherApps();
    waitForActivation(deps_.scheduler.clock().monotonicNow() + activationWait, std::move(then));
}

void ContactsSyncViewModel::waitForActivation(Clock::MonotonicTime deadline,
                                              std::function<void()> then) {
    if (deps_.application.isActive()) {
        then();
        return;
    }
    if (deps_.scheduler.clock().monotonicNow() >= deadline) {
        // The system prompt is asked for anyway; it may show behind other windows.
        logger_.info("contacts_activation_wait_timeout");
        then();
        return;
    }
    deps_.scheduler.after(activationPoll, [weak = weak_from_this(), &main = deps_.main, deadline,
                                           then = std::move(then)]() mutable {
        main.post([weak, deadline, then = std::move(then)]() mutable {
            if (auto self = weak.lock()) {
                self->waitForActivation(deadline, std::move(then));
            }
        });
    });
}

std::vector<std::string> ContactsSyncViewModel::settingsLinks() {
    return {
        SystemSettingsOpener::link("com.apple.preference.security", "Privacy_Contacts"),
        SystemSettingsOpener::link("com.apple.settings.PrivacySecurity", "Privacy_Contacts"),
    };
}

bool ContactsSyncViewModel::openContactsSettings(SystemSettingsOpener& opener) {
    return !opener.openFirst(settingsLinks()).empty();
}

void ContactsSyncViewModel::trace(const std::string& line) const {
    if (deps_.trace) {
        deps_.trace(line);
    }
}

std::string ContactsSyncViewModel::statusText() const {
    return " status=" +
           std::to_string(deps_.controller ? deps_.controller->authorizationStatus() : 0);
}

}  // namespace vask
