#include "shell/popover_model.h"

namespace vask {

PopoverModel::PopoverModel(Dependencies dependencies) : deps_(std::move(dependencies)) {
    hasCredentials.set(!deps_.authMode().isNone());
    credentialsSubscription_ = hasCredentials.subscribe(
        [this](bool signedIn) { credentialsChanged(signedIn); }, Delivery::changesOnly);
    // The access check answers later, on the main executor: the first sync waits for it.
    accessSubscription_ = deps_.access->hasAccess.subscribe(
        [this](bool hasAccess) {
            if (!std::exchange(syncWhenAccessArrives_, false) || !hasAccess) {
                return;
            }
            if (!deps_.sync->hasSynced.get() && !deps_.sync->isSyncing.get()) {
                deps_.sync->syncIfPossible();
            }
        },
        Delivery::changesOnly);
}

bool PopoverModel::isSetUp() const {
    return hasCredentials.get() && deps_.access->hasAccess.get();
}

bool PopoverModel::canStartNewSession() const {
    return deps_.chat.hasContent && deps_.chat.hasContent();
}

std::vector<popover::ErrorEntry> PopoverModel::activeErrors() const {
    return popover::activeErrors({
        .config = deps_.configLoadError ? deps_.configLoadError() : std::nullopt,
        .sync = deps_.sync->lastError.get(),
        .contacts = deps_.contacts->lastError.get(),
        .chat = deps_.chat.lastError ? deps_.chat.lastError() : std::nullopt,
        .access = deps_.access->lastError.get(),
    });
}

std::optional<std::string> PopoverModel::messageCountText() const {
    const auto count = deps_.sync->messageCount.get();
    if (count < 1) {
        return std::nullopt;
    }
    return popover::formatCount(count, "message");
}

void PopoverModel::onAppear() {
    // Only a real change counts as one: sign-in or sign-out since the last appearance.
    if (const bool signedIn = !deps_.authMode().isNone(); signedIn != hasCredentials.get()) {
        hasCredentials.set(signedIn);
    }
    if (!deps_.hasUpdaterController()) {
        deps_.checkForUpdates();
    }
    if (!hasCredentials.get()) {
        return;
    }
    syncWhenAccessArrives_ = true;
    deps_.access->checkAccess();
    deps_.contacts->refreshAuthorization();
    const auto state = deps_.contacts->authorizationState.get();
    if (deps_.contactsTrace) {
        deps_.contactsTrace(
            std::string("onAppear hasAccess=") +
            (state == ContactsAuthorizationState::authorized ? "true" : "false") +
            " isNotDetermined=" +
            (state == ContactsAuthorizationState::notDetermined ? "true" : "false"));
    }
    if (state == ContactsAuthorizationState::authorized) {
        deps_.contacts->syncNow();
    }
}

void PopoverModel::credentialsChanged(bool signedIn) {
    if (deps_.chat.refreshCredentials) {
        deps_.chat.refreshCredentials();
    }
    if (signedIn) {
        deps_.access->checkAccess();
    }
}

}  // namespace vask
