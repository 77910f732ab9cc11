#include "foundation/google_sign_in_view_model.h"

#include "platform/error.h"

namespace vask {
namespace {

bool isCancellation(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const GoogleAuthError& e) {
        return e.kind() == GoogleAuthError::Kind::oauthCancelled;
    } catch (...) {
        return false;
    }
}

}  // namespace

std::shared_ptr<GoogleSignInViewModel> GoogleSignInViewModel::make(Dependencies dependencies) {
    std::shared_ptr<GoogleSignInViewModel> model(
        new GoogleSignInViewModel(std::move(dependencies)));
    model->loadStoredEmail();
    return model;
}

GoogleSignInViewModel::GoogleSignInViewModel(Dependencies dependencies)
    : state(GoogleSignInState::idle()), deps_(std::move(dependencies)), storage_(deps_.worker) {}

void GoogleSignInViewModel::loadStoredEmail() {
    // The mode is resolved first off the queue: asking a keyring that did not answer again may
    // take a connection's limit, and a sign-out asked for meanwhile does not wait for it.
    deps_.worker.post([self = shared_from_this()] {
        try {
            self->deps_.authModeProvider();
        } catch (const std::exception&) {
            // Read again, and logged, below.
        }
        self->storage_.post([self] { self->loadStoredEmailNow(); });
    });
}

void GoogleSignInViewModel::loadStoredEmailNow() {
    std::optional<std::string> email;
    try {
        const AuthMode mode = deps_.authModeProvider();
        if (mode.isNone()) {
            clearSignInCutShort();
        }
        if (mode.asManaged() == nullptr) {
            return;
        }
        deps_.customerTokenStore.ensureCacheLoaded();
        email = deps_.customerTokenStore.loadEmail();
    } catch (const std::exception& e) {
        deps_.logger.error("load_email_failed", {{"error", e.what()}});
        return;
    }
    // Steps queued behind this one (a sign-in, a sign-out) come back after it.
    onMain([email](GoogleSignInViewModel& model) { model.userEmail.set(email); });
}

void GoogleSignInViewModel::clearSignInCutShort() {
    // A customer token beside no cloud session at all is a sign-in that ended (a kill) between
    // its two writes: the user is shown signed out, so nothing of that account stays stored.
    // Sign-ins write on this same queue, so none is half-way through now.
    if (!deps_.customerTokenStore.loadToken() || deps_.cloudAuthStore.load()) {
        return;
    }
    deps_.customerTokenStore.clear();
    deps_.logger.warning("signin_cut_short_cleared");
}

void GoogleSignInViewModel::signIn() {
    if (!deps_.authService) {
        state.set(GoogleSignInState::error(notConfiguredText));
        return;
    }
    const auto attempt = ++currentAttempt_;
    state.set(GoogleSignInState::signingIn());
    deps_.logger.info("google_signin_starting");

    std::weak_ptr<GoogleSignInViewModel> weak = weak_from_this();
    deps_.authService->startOAuthFlow([weak, attempt](const GoogleAuthService::CodeResult& code) {
        if (auto self = weak.lock()) {
            self->codeArrived(attempt, code);
        }
    });
}

void GoogleSignInViewModel::codeArrived(std::uint64_t attempt,
                                        const GoogleAuthService::CodeResult& code) {
    if (code) {
        exchange(attempt, code.value());
        return;
    }
    const auto link = deps_.authService ? deps_.authService->startPageURL() : std::nullopt;
    if (code.error().kind() != GoogleAuthError::Kind::browserUnavailable || !link) {
        failSignIn(attempt, std::make_exception_ptr(code.error()));
        return;
    }
    deps_.logger.error("google_signin_failed", {{"error", code.error().what()}});
    // A later attempt owns the pending callback: waiting here would cancel its flow.
    if (attempt != currentAttempt_) {
        return;
    }
    // The page can still be opened by hand: this attempt waits for its callback meanwhile.
    std::weak_ptr<GoogleSignInViewModel> weak = weak_from_this();
    const bool waits = deps_.authService->awaitOAuthCallback(
        [weak, attempt](const GoogleAuthService::CodeResult& next) {
            if (auto self = weak.lock()) {
                self->codeArrived(attempt, next);
            }
        });
    if (waits) {
        state.set(
            GoogleSignInState::browserUnavailable(code.error().what(), link->absoluteString()));
    } else {
        state.set(GoogleSignInState::error(code.error().what()));
    }
}

void GoogleSignInViewModel::exchange(std::uint64_t attempt, const std::string& code) {
    // The exchange runs on the worker; the keychain writes are then asked for from the main
    // executor, in storage order, so that a sign-out asked after them removes what they wrote.
    std::weak_ptr<GoogleSignInViewModel> weak = weak_from_this();
    deps_.worker.post([weak, attempt, code, service = deps_.authService, &main = deps_.main] {
        try {
            auto result = service->exchangeCode(code);
            main.post([weak, attempt, result = std::move(result)] {
                if (auto self = weak.lock()) {
                    self->finishSignIn(attempt, result);
                }
            });
        } catch (...) {
            main.post([weak, attempt, error = std::current_exception()] {
                if (auto self = weak.lock()) {
                    self->failSignIn(attempt, error);
                }
            });
        }
    });
}

void GoogleSignInViewModel::finishSignIn(std::uint64_t attempt, const GoogleAuthResult& result) {
    storage_.post([self = shared_from_this(), attempt, result] {
        try {
            self->accountStorage().store(result);
            if (self->deps_.resetAuthMode) {
                self->deps_.resetAuthMode();
            }
            self->deps_.authModeProvider();
        } catch (...) {
            self->onMain([attempt, error = std::current_exception()](GoogleSignInViewModel& model) {
                model.failSignIn(attempt, error);
            });
            return;
        }
        self->onMain([result](GoogleSignInViewModel& model) { model.signedIn(result); });
    });
}

void GoogleSignInViewModel::signedIn(const GoogleAuthResult& result) {
    userEmail.set(result.userEmail);
    state.set(GoogleSignInState::success());
    if (deps_.refreshPresetCatalog) {
        deps_.refreshPresetCatalog();
    }
    deps_.logger.info("google_signin_completed", {{"email", result.userEmail}});
}

void GoogleSignInViewModel::failSignIn(std::uint64_t attempt, const std::exception_ptr& error) {
    const bool current = attempt == currentAttempt_;
    if (isCancellation(error)) {
        if (current) {
            state.set(GoogleSignInState::idle());
        }
        deps_.logger.info("google_signin_cancelled");
        return;
    }
    const auto text = describeException(error);
    if (current) {
        state.set(GoogleSignInState::error(text));
    }
    deps_.logger.error("google_signin_failed", {{"error", text}});
}

std::optional<std::string> GoogleSignInViewModel::signInLink() const {
    if (!deps_.authService) {
        return std::nullopt;
    }
    const auto url = deps_.authService->startPageURL();
    return url ? std::optional<std::string>(url->absoluteString()) : std::nullopt;
}

void GoogleSignInViewModel::signOut(std::function<void()> done) {
    const auto principal =
        deps_.memory.currentPrincipal ? deps_.memory.currentPrincipal() : std::nullopt;
    if (principal && deps_.memory.suspend) {
        deps_.memory.suspend(*principal);
    }
    storage_.post([self = shared_from_this(), principal, done = std::move(done)] {
        std::exception_ptr failure;
        try {
            self->clearStoredCredentials();
        } catch (...) {
            failure = std::current_exception();
        }
        self->onMain([principal, failure, done](GoogleSignInViewModel& model) {
            model.signedOut(principal, failure);
            if (done) {
                done();
            }
        });
    });
}

void GoogleSignInViewModel::onMain(std::function<void(GoogleSignInViewModel&)> step) {
    deps_.main.post([weak = weak_from_this(), step = std::move(step)] {
        if (auto model = weak.lock()) {
            step(*model);
        }
    });
}

AccountStorage GoogleSignInViewModel::accountStorage() const {
    return {deps_.customerTokenStore, deps_.cloudAuthStore, deps_.apiKeyStore, deps_.keychain,
            deps_.signInRecord};
}

void GoogleSignInViewModel::clearStoredCredentials() {
    accountStorage().remove();
    if (deps_.resetAuthMode) {
        deps_.resetAuthMode();
    }
    // Resolved here, so the main executor reads the signed-out mode without waiting.
    deps_.authModeProvider();
}

void GoogleSignInViewModel::signedOut(const std::optional<std::string>& principal,
                                      const std::exception_ptr& failure) {
    if (!failure) {
        if (deps_.clearPresetAccountState) {
            deps_.clearPresetAccountState();
        }
        deps_.defaults.remove(managedTierSnapshotKey);
        userEmail.set(std::nullopt);
        state.set(GoogleSignInState::idle());
    }
    // The suspension is lifted whatever happened above: a half-finished sign-out must not
    // leave the account's memory locked.
    if (deps_.memory.finishSignOut) {
        deps_.memory.finishSignOut(principal);
    }
    if (!failure) {
        deps_.logger.info("signout_completed");
        return;
    }
    const auto description = describeException(failure);
    state.set(GoogleSignInState::error(signOutFailedPrefix + description));
    deps_.logger.error("signout_failed", {{"error", description}});
}

}  // namespace vask
