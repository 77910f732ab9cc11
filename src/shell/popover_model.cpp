#include "shell/popover_model.h"

namespace vask {

PopoverModel::PopoverModel(Dependencies dependencies) : deps_(std::move(dependencies)) {
    hasCredentials.set(!deps_.authMode().isNone());
    credentialsSubscription_ = hasCredentials.subscribe(
        [this](bool signedIn) { credentialsChanged(signedIn); }, Delivery::changesOnly);
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

void PopoverModel::credentialsArrived() {
    // Only a real change counts as one.
    if (const bool signedIn = !deps_.authMode().isNone(); signedIn != hasCredentials.get()) {
        hasCredentials.set(signedIn);
    }
}

void PopoverModel::onAppear() {
    // Sign-in or sign-out since the last appearance.
    credentialsArrived();
    if (!deps_.hasUpdaterController()) {
        deps_.checkForUpdates();
    }
    if (!hasCredentials.get()) {
        return;
    }
    // Every showing, also when access was granted long ago: a first synchronisation that
    // failed is tried again. The check answers later, on the main executor.
    deps_.access->checkAccess([weakAccess = std::weak_ptr(deps_.access), sync = deps_.sync] {
        const auto access = weakAccess.lock();
        if (access && access->hasAccess.get() && !sync->hasSynced.get() && !sync->isSyncing.get()) {
            sync->syncIfPossible();
        }
    });
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
