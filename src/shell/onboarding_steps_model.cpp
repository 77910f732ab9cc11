#include "shell/onboarding_steps_model.h"

#include "shell/observe_all.h"

#include <algorithm>

#include "engine/token_count_format.h"

namespace vask {

namespace {

// The access probe's answer when there is no file at the path.
constexpr std::string_view probeNotFound = "chat.db not found";

// How to come back to Vask, with its icon in a tray and without.
constexpr const char* traySentence =
    "Vask lives in your system tray — click the icon any time to ask about your messages.";
constexpr const char* noTraySentence =
    "Vask keeps running in the background — open Vask again from your applications, or run "
    "vask, any time to ask about your messages.";

// The way past a contacts folder that could not be read.
constexpr const char* skipSentence = "Or Skip: you can turn on Contacts later in Settings.";

}  // namespace

OnboardingStepsModel::OnboardingStepsModel(Dependencies dependencies)
    : deps_(std::move(dependencies)) {}

OnboardingStepsModel::~OnboardingStepsModel() {
    accessPoll_.cancel();
    indexingTimer_.cancel();
}

std::shared_ptr<OnboardingStepsModel> OnboardingStepsModel::make(Dependencies dependencies) {
    std::shared_ptr<OnboardingStepsModel> model(new OnboardingStepsModel(std::move(dependencies)));
    model->install();
    return model;
}

void OnboardingStepsModel::install() {
    lastAccess_ = deps_.access->hasAccess.get();
    lastContactsAuthorized_ = deps_.contacts->hasContacts();
    lastSynced_ = deps_.sync->hasSynced.get();

    subscriptions_.push_back(observeAll(
        [this] { changed(); }, deps_.signIn->state, deps_.signIn->userEmail,
        deps_.access->lastError, deps_.access->probeFailure, deps_.access->folderFailure,
        deps_.contacts->lastError, deps_.sync->isSyncing, deps_.sync->lastError,
        deps_.sync->messageCount, deps_.sync->messageRetention, deps_.sync->syncProgress));

    subscriptions_.push_back(deps_.access->hasAccess.subscribe(
        [this](bool value) {
            requirementChanged(value, lastAccess_, OnboardingStep::fullDiskAccess);
            changed();
        },
        Delivery::changesOnly));
    // The contacts step is done once the first read has found the address book, not when access
    // is granted: a folder that is not there keeps the step, and says so.
    subscriptions_.push_back(observeAll(
        [this] {
            requirementChanged(deps_.contacts->hasContacts(), lastContactsAuthorized_,
                               OnboardingStep::contacts);
            changed();
        },
        deps_.contacts->authorizationState, deps_.contacts->isBusy, deps_.contacts->folderProblem));
    subscriptions_.push_back(deps_.sync->hasSynced.subscribe(
        [this](bool value) {
            requirementChanged(value, lastSynced_, OnboardingStep::indexing);
            changed();
        },
        Delivery::changesOnly));

    const auto repeat = [this](Scheduler::Duration interval, void (OnboardingStepsModel::*tick)()) {
        return deps_.scheduler.every(interval, [weak = weak_from_this(), &main = deps_.main, tick] {
            main.post([weak, tick] {
                if (auto self = weak.lock()) {
                    ((*self).*tick)();
                }
            });
        });
    };
    accessPoll_ = repeat(accessPollInterval, &OnboardingStepsModel::pollTick);
    indexingTimer_ = repeat(indexingTickInterval, &OnboardingStepsModel::indexingTick);
}

void OnboardingStepsModel::changed() {
    revision.set(revision.get() + 1);
}

bool OnboardingStepsModel::appear() {
    if (deps_.shouldPresentAtLaunch && !deps_.shouldPresentAtLaunch()) {
        return false;
    }
    if (deps_.actions.activate) {
        deps_.actions.activate();
    }
    deps_.state.markStarted();
    if (const auto saved = deps_.state.savedStep()) {
        setStep(*saved);
    }
    autoAdvanceIfSatisfied();
    return true;
}

void OnboardingStepsModel::setStep(OnboardingStep next) {
    if (next == step.get()) {
        return;
    }
    step.set(next);
    stepDidChange();
    changed();
}

void OnboardingStepsModel::stepDidChange() {
    deps_.state.save(step.get());
    autoAdvanceIfSatisfied();
}

void OnboardingStepsModel::autoAdvanceIfSatisfied() {
    const OnboardingStep current = step.get();
    if (current == OnboardingStep::fullDiskAccess) {
        // The answer arrives later through hasAccess, which moves on by itself.
        deps_.access->checkAccess();
    }
    const OnboardingFlow::Conditions conditions{
        .signedIn = deps_.authMode && !deps_.authMode().isNone(),
        .hasFullDiskAccess = deps_.access->hasAccess.get(),
        .contactsAuthorized = deps_.contacts->hasContacts(),
        .hasSynced = deps_.sync->hasSynced.get(),
    };
    const OnboardingStep target = OnboardingFlow::resolve(current, conditions);
    if (target != current) {
        setStep(target);
    } else if (current == OnboardingStep::indexing && !deps_.sync->hasSynced.get()) {
        deps_.sync->syncIfPossible();
    }
}

void OnboardingStepsModel::requirementChanged(bool value, bool& last, OnboardingStep owner) {
    const bool was = std::exchange(last, value);
    if (value && !was && step.get() == owner) {
        advance();
    }
}

void OnboardingStepsModel::pollTick() {
    if (step.get() == OnboardingStep::fullDiskAccess) {
        deps_.access->checkAccess();
    }
}

void OnboardingStepsModel::indexingTick() {
    const bool counting = step.get() == OnboardingStep::indexing && !deps_.sync->hasSynced.get() &&
                          !deps_.sync->lastError.get();
    const int next = counting ? indexingSeconds_ + 1 : 0;
    if (next == indexingSeconds_) {
        return;
    }
    const bool wasStalled = indexingStalled();
    indexingSeconds_ = next;
    if (indexingStalled() != wasStalled) {
        changed();
    }
}

void OnboardingStepsModel::advance() {
    const auto next = onboardingStepFromRaw(static_cast<int>(step.get()) + 1);
    if (next) {
        setStep(*next);
    }
}

void OnboardingStepsModel::primaryAction() {
    switch (step.get()) {
        case OnboardingStep::welcome:
            advance();
            return;
        case OnboardingStep::signIn:
            if (deps_.signIn->state.get().kind() == GoogleSignInState::Kind::success) {
                advance();
            } else {
                deps_.signIn->signIn();
            }
            return;
        case OnboardingStep::fullDiskAccess:
            deps_.access->openDatabaseFolder();
            return;
        case OnboardingStep::contacts:
            deps_.contacts->requestAccessAndSync();
            return;
        case OnboardingStep::indexing:
            deps_.sync->syncIfPossible();
            return;
        case OnboardingStep::done:
            if (deps_.actions.openMain) {
                deps_.actions.openMain();
            }
            if (deps_.actions.activate) {
                deps_.actions.activate();
            }
            if (deps_.actions.closeWindow) {
                deps_.actions.closeWindow();
            }
            return;
    }
}

void OnboardingStepsModel::relaunch() {
    // The new instance resumes here, and moves on at once if access has arrived meanwhile.
    deps_.state.save(OnboardingStep::fullDiskAccess);
    if (deps_.actions.relaunch) {
        deps_.actions.relaunch();
    }
}

void OnboardingStepsModel::useDifferentAccount() {
    deps_.signIn->signOut([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->deps_.signIn->signIn();
        }
    });
}

OnboardingStepsModel::Page OnboardingStepsModel::page() const {
    switch (step.get()) {
        case OnboardingStep::welcome:
            return {"sparkles", "Welcome to Vask",
                    "Chat with your message history — ask questions, look up details, and find "
                    "anything across your conversations. Let's get you set up.",
                    true};
        case OnboardingStep::signIn:
            return {"person.crop.circle", "Sign in",
                    "Sign in to power Vask's AI. Your messages stay on this computer — only your "
                    "questions are sent to the model.",
                    false};
        case OnboardingStep::fullDiskAccess:
            return {"lock.shield", "Allow access to Messages",
                    "Vask reads your Messages history locally, on this computer, from " +
                        deps_.chatDBPath.string() +
                        ". Copy chat.db from a Mac (it is in ~/Library/Messages there) into "
                        "that folder, or set CHAT_DB_PATH to name another file.",
                    false};
        case OnboardingStep::contacts:
            return {"person.2", "Match names to numbers",
                    std::string("Let Vask use your Contacts so you can ask “What did ") +
                        sampleContactName +
                        " say?” instead of searching by phone number. Optional — you can skip "
                        "this.",
                    false};
        case OnboardingStep::indexing:
            return {"tray.full", "Indexing your messages",
                    "Vask is building a private, on-device index of your conversations. This "
                    "happens once — a large history can take a few minutes.",
                    false};
        case OnboardingStep::done:
            return {"checkmark.circle", "You're all set", doneSubtitle(), false};
    }
    return {};
}

std::string OnboardingStepsModel::doneSubtitle() const {
    const char* comeBack = deps_.hasTray && deps_.hasTray() ? traySentence : noTraySentence;
    const auto count = deps_.sync->messageCount.get();
    if (count < 1) {
        return comeBack;
    }
    return "Indexed " + TokenCountFormat::exact(count, deps_.locale) + " messages. " + comeBack;
}

OnboardingStepsModel::SignInStatus OnboardingStepsModel::signInStatus() const {
    const auto& state = deps_.signIn->state.get();
    switch (state.kind()) {
        case GoogleSignInState::Kind::idle:
            return {};
        case GoogleSignInState::Kind::signingIn: {
            const auto link = deps_.signIn->signInLink();
            Status status{true, {{"Continue in your browser…", false}}};
            if (link) {
                status.lines.push_back({"No browser opened? Open this link in one:", false});
            }
            return {status, false, link};
        }
        case GoogleSignInState::Kind::success: {
            const auto& email = deps_.signIn->userEmail.get();
            return {{false, {{email ? "Continuing as " + *email : "Signed in.", false}}},
                    true,
                    std::nullopt};
        }
        case GoogleSignInState::Kind::error:
            if (state.link()) {
                return {{false,
                         {{state.errorText(), true},
                          {"Open this link in a browser to sign in — Vask goes on by itself "
                           "when you do:",
                           false}}},
                        false,
                        state.link()};
            }
            return {{false, {{state.errorText(), true}}}, false, std::nullopt};
    }
    return {};
}

OnboardingStepsModel::Status OnboardingStepsModel::contactsStatus() const {
    const auto& contacts = *deps_.contacts;
    if (contacts.isRequestingAccess()) {
        return {true, {{"Waiting for Contacts permission…", false}}};
    }
    if (contacts.isSyncing()) {
        return {true, {{"Syncing contacts…", false}}};
    }
    if (const auto& error = contacts.lastError.get()) {
        if (const auto problem = contacts.folderProblem.get()) {
            return {
                false,
                {{*error, true},
                 {ContactsSyncViewModel::folderProblemText(*problem) + " " + skipSentence, false}}};
        }
        return {false, {{*error, true}}};
    }
    switch (contacts.authorizationState.get()) {
        case ContactsAuthorizationState::denied:
            return {false, {{ContactsSyncViewModel::deniedText, false}}};
        case ContactsAuthorizationState::restricted:
            return {
                false,
                {{"Contacts access is restricted and cannot be changed for this account.", false}}};
        default:
            return {};
    }
}

OnboardingStepsModel::IndexingStatus OnboardingStepsModel::indexingStatus() const {
    const auto& sync = *deps_.sync;
    IndexingStatus status;
    if (const auto& error = sync.lastError.get()) {
        status.failed = true;
        status.lines = {{*error, true},
                        {"Try again, or relaunch Vask. If it keeps happening, the message above "
                         "has the details.",
                         false}};
        return status;
    }
    if (const auto& progress = sync.syncProgress.get(); progress && progress->total >= 1) {
        status.fraction = std::min(
            1.0, static_cast<double>(progress->processed) / static_cast<double>(progress->total));
        status.lines.push_back(
            {"Indexed " + TokenCountFormat::exact(progress->processed, deps_.locale) + " of " +
                 TokenCountFormat::exact(progress->total, deps_.locale) + " messages",
             false});
    }
    if (indexingStalled()) {
        status.lines.push_back(
            {"This is taking longer than usual. You can keep waiting, or relaunch Vask.", false});
    }
    return status;
}

OnboardingStepsModel::Status OnboardingStepsModel::accessStatus() const {
    Status status{true, {{"Waiting for access…", false}}};
    // The probe's own answer is the folder's file state; a folder that did not open shows here.
    if (const auto& failure = deps_.access->folderFailure.get()) {
        status.lines.push_back({*failure, true});
    }
    return status;
}

OnboardingStepsModel::AccessFolder OnboardingStepsModel::accessFolder() const {
    AccessFolder shown{deps_.chatDBPath.parent_path().string(), {}, false};
    const auto file = deps_.chatDBPath.filename().string();
    const auto& failure = deps_.access->probeFailure.get();
    if (deps_.access->hasAccess.get()) {
        shown.fileState = file + " is here and can be read.";
        shown.fileReadable = true;
    } else if (!failure) {
        shown.fileState = "Looking for " + file + "…";
    } else if (*failure == probeNotFound) {
        shown.fileState = file + " is not in this folder yet.";
    } else {
        shown.fileState = file + " is here but cannot be read: " + *failure;
    }
    return shown;
}

std::optional<MessageRetentionAssessment> OnboardingStepsModel::retention() const {
    return deps_.sync->messageRetention.get();
}

bool OnboardingStepsModel::indexingStalled() const {
    return step.get() == OnboardingStep::indexing && !deps_.sync->hasSynced.get() &&
           !deps_.sync->lastError.get() && indexingSeconds_ >= stalledAfterTicks;
}

bool OnboardingStepsModel::indexingFailed() const {
    const auto& sync = *deps_.sync;
    return step.get() == OnboardingStep::indexing && !sync.isSyncing.get() &&
           !sync.hasSynced.get() && sync.lastError.get().has_value();
}

std::optional<std::string> OnboardingStepsModel::primaryLabel() const {
    switch (step.get()) {
        case OnboardingStep::welcome:
            return "Get Started";
        case OnboardingStep::signIn:
            switch (deps_.signIn->state.get().kind()) {
                case GoogleSignInState::Kind::success:
                    return "Continue";
                case GoogleSignInState::Kind::error:
                    return "Try Again";
                default:
                    return "Sign in with Google";
            }
        case OnboardingStep::fullDiskAccess:
            return std::string(openFolderLabel);
        case OnboardingStep::contacts:
            switch (deps_.contacts->authorizationState.get()) {
                case ContactsAuthorizationState::denied:
                case ContactsAuthorizationState::restricted:
                    return std::nullopt;
                default:
                    return deps_.contacts->folderProblem.get() ? "Try Again" : "Enable Contacts";
            }
        case OnboardingStep::indexing:
            if (indexingFailed()) {
                return "Try Again";
            }
            return std::nullopt;
        case OnboardingStep::done:
            return "Start Chatting";
    }
    return std::nullopt;
}

bool OnboardingStepsModel::primaryDisabled() const {
    switch (step.get()) {
        case OnboardingStep::signIn:
            return deps_.signIn->state.get().kind() == GoogleSignInState::Kind::signingIn;
        case OnboardingStep::contacts:
            return deps_.contacts->isBusy.get() || deps_.contacts->authorizationState.get() ==
                                                       ContactsAuthorizationState::restricted;
        default:
            return false;
    }
}

bool OnboardingStepsModel::showsSkip() const {
    return step.get() == OnboardingStep::contacts;
}

bool OnboardingStepsModel::showsRelaunch() const {
    return step.get() == OnboardingStep::fullDiskAccess || indexingFailed() || indexingStalled();
}

std::string OnboardingStepsModel::retentionMessage(const MessageRetentionAssessment& assessment) {
    const std::string period =
        assessment.policy == MessageRetentionAssessment::Policy::oneYear ? "1 year" : "30 days";
    if (assessment.evidence == MessageRetentionAssessment::Evidence::oldestMessage) {
        return "Your available Messages history starts about " + period +
               " ago. Vask will preserve everything from today forward.";
    }
    return "Messages is set to auto-delete after " + period +
           ". Vask will preserve everything from today forward.";
}

bool OnboardingStepsModel::retentionShowsKeepTip(const MessageRetentionAssessment& assessment) {
    return assessment.evidence == MessageRetentionAssessment::Evidence::preference;
}

}  // namespace vask
