#include "memory/memory_settings_view_model.h"

#include <algorithm>

#include "memory/memory_mutation_validator.h"
#include "memory/memory_store_error.h"

namespace vask {
namespace {

class MemorySettingsError : public Error {
  public:
    enum class Case { unavailable, authorizationChanged };
    explicit MemorySettingsError(Case errorCase)
        : Error(errorCase == Case::unavailable ? "Memory settings unavailable"
                                               : "Memory authorization changed"),
          case_(errorCase) {}
    Case errorCase() const { return case_; }

  private:
    Case case_;
};

const char* errorTypeName(const std::exception& error) {
    if (dynamic_cast<const MemorySettingsError*>(&error) != nullptr) {
        return "MemorySettingsError";
    }
    return memoryErrorTypeName(error);
}

[[noreturn]] void authorizationChanged() {
    throw MemorySettingsError(MemorySettingsError::Case::authorizationChanged);
}

}  // namespace

std::shared_ptr<MemorySettingsViewModel> MemorySettingsViewModel::make(
    MainExecutor& main, Executor& worker, std::shared_ptr<MemoryStore> store,
    MemoryPrincipalProvider principalProvider,
    std::shared_ptr<MemoryAuthorizationGate> authorizationGate, StructuredLogger logger) {
    return std::shared_ptr<MemorySettingsViewModel>(
        new MemorySettingsViewModel(main, worker, std::move(store), std::move(principalProvider),
                                    std::move(authorizationGate), std::move(logger)));
}

MemorySettingsViewModel::MemorySettingsViewModel(
    MainExecutor& main, Executor& worker, std::shared_ptr<MemoryStore> store,
    MemoryPrincipalProvider principalProvider,
    std::shared_ptr<MemoryAuthorizationGate> authorizationGate, StructuredLogger logger)
    : main_(main),
      worker_(worker),
      store_(std::move(store)),
      principalProvider_(std::move(principalProvider)),
      authorizationGate_(std::move(authorizationGate)),
      logger_(std::move(logger)) {}

bool MemorySettingsViewModel::isAvailable() const {
    if (!store_) {
        return false;
    }
    const auto principal = principalProvider_();
    return principal && authorizationGate_->issueToken(*principal).has_value();
}

bool MemorySettingsViewModel::stillCurrent(const MemoryPrincipal& principal) const {
    return principalProvider_() == principal;
}

void MemorySettingsViewModel::resetForPrincipalChange() {
    auto principal = principalProvider_();
    if (principal == loadedPrincipal_) {
        return;
    }
    loadedPrincipal_ = std::move(principal);
    associations.set({});
    errorMessage.set(std::nullopt);
}

void MemorySettingsViewModel::showNothing() {
    associations.set({});
    errorMessage.set(std::nullopt);
}

void MemorySettingsViewModel::recordFailure(const char* operation, const std::exception& error) {
    resetForPrincipalChange();
    errorMessage.set(std::string(operation) == "read" ? unavailableText : updateFailedText);
    logger_.error(
        "memory_management_failed",
        {{"operation", operation}, {"result", "failure"}, {"error_type", errorTypeName(error)}});
}

void MemorySettingsViewModel::perform(const char* operation, StorePart body, Completion done) {
    const auto principal = principalProvider_();
    const auto token =
        store_ && principal ? authorizationGate_->issueToken(*principal) : std::nullopt;
    if (!token) {
        associations.set({});
        recordFailure(operation, MemorySettingsError(MemorySettingsError::Case::unavailable));
        if (done) {
            done(false);
        }
        return;
    }
    isLoading.set(true);
    std::weak_ptr<MemorySettingsViewModel> weak = weak_from_this();
    worker_.post([weak, &main = main_, store = store_, gate = authorizationGate_,
                  principal = *principal, token = *token, body = std::move(body),
                  done = std::move(done), operation] {
        Finish finish;
        std::exception_ptr failure;
        try {
            finish = body(*store, principal, token, [gate, token] { return gate->permits(token); });
        } catch (...) {
            failure = std::current_exception();
        }
        main.post([weak, finish = std::move(finish), failure, done, operation] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            bool succeeded = false;
            try {
                if (failure) {
                    std::rethrow_exception(failure);
                }
                const int count = finish(*self);
                self->errorMessage.set(std::nullopt);
                self->logger_.info("memory_management_completed",
                                   {{"operation", operation},
                                    {"result", "success"},
                                    {"count", std::to_string(count)}});
                succeeded = true;
            } catch (const std::exception& error) {
                self->recordFailure(operation, error);
            }
            self->isLoading.set(false);
            if (done) {
                done(succeeded);
            }
        });
    });
}

void MemorySettingsViewModel::load(Completion done) {
    perform(
        "read",
        [](MemoryStore& store, const MemoryPrincipal& principal,
           const MemoryAuthorizationToken& token, const MemoryStore::Authorizing&) -> Finish {
            auto list = store.activeAssociations(principal);
            return [list = std::move(list), principal, token](MemorySettingsViewModel& self) {
                if (!self.stillCurrent(principal) || !self.authorizationGate_->permits(token)) {
                    authorizationChanged();
                }
                self.associations.set(list);
                return static_cast<int>(list.size());
            };
        },
        std::move(done));
}

void MemorySettingsViewModel::update(const Uuid& id, std::string_view term,
                                     std::string_view definition, Completion done) {
    std::string normalizedTerm;
    std::string normalizedDefinition;
    try {
        normalizedTerm =
            MemoryMutationValidator::content(term, MemoryMutationValidator::maxTermBytes);
        normalizedDefinition = MemoryMutationValidator::content(
            definition, MemoryMutationValidator::maxDefinitionBytes);
    } catch (const MemoryMutationValidationError& error) {
        recordFailure("update", error);
        if (done) {
            done(false);
        }
        return;
    }
    perform(
        "update",
        [id, term = std::move(normalizedTerm), definition = std::move(normalizedDefinition)](
            MemoryStore& store, const MemoryPrincipal& principal,
            const MemoryAuthorizationToken& token,
            const MemoryStore::Authorizing& authorizing) -> Finish {
            store.updateAssociation(id, principal, term, definition, authorizing);
            auto list = store.activeAssociations(principal);
            return [list = std::move(list), principal, token](MemorySettingsViewModel& self) {
                if (!self.stillCurrent(principal) || !self.authorizationGate_->permits(token)) {
                    authorizationChanged();
                }
                self.associations.set(list);
                return 1;
            };
        },
        std::move(done));
}

void MemorySettingsViewModel::forget(const Uuid& id, Completion done) {
    perform(
        "forget",
        [id](MemoryStore& store, const MemoryPrincipal& principal, const MemoryAuthorizationToken&,
             const MemoryStore::Authorizing& authorizing) -> Finish {
            store.tombstoneAssociation(id, principal, authorizing);
            return [id, principal](MemorySettingsViewModel& self) {
                if (!self.stillCurrent(principal)) {
                    authorizationChanged();
                }
                auto list = self.associations.get();
                std::erase_if(list, [&](const MemoryAssociation& a) { return a.id == id; });
                self.associations.set(std::move(list));
                return 1;
            };
        },
        std::move(done));
}

void MemorySettingsViewModel::forgetAll(Completion done) {
    perform(
        "forget_all",
        [](MemoryStore& store, const MemoryPrincipal& principal, const MemoryAuthorizationToken&,
           const MemoryStore::Authorizing& authorizing) -> Finish {
            const int count = store.tombstoneAllAssociations(principal, authorizing);
            return [count, principal](MemorySettingsViewModel& self) {
                if (!self.stillCurrent(principal)) {
                    authorizationChanged();
                }
                self.associations.set({});
                return count;
            };
        },
        std::move(done));
}

void MemorySettingsViewModel::receive(const MemoryStoreChange& change) {
    const auto principal = principalProvider_();
    if (!principal || *principal != change.principal) {
        return;
    }
    resetForPrincipalChange();
    const auto current = principalProvider_();
    if (!current || authorizationGate_->isSuspended(*current)) {
        showNothing();
    } else {
        load();
    }
}

MemorySettingsViewModel::Monitor MemorySettingsViewModel::monitorChanges() {
    std::shared_ptr<MemoryStoreChanges::Stream> stream;
    if (store_) {
        // Subscribe before the first load so no change between the two is missed.
        stream = store_->changes()->stream();
    }
    resetForPrincipalChange();
    if (!isAvailable()) {
        showNothing();
    } else {
        load();
    }
    if (!stream) {
        return Monitor();
    }
    std::weak_ptr<MemorySettingsViewModel> weak = weak_from_this();
    return Monitor(std::jthread([weak, stream, &main = main_](std::stop_token stop) {
        while (auto change = stream->next(stop)) {
            main.post([weak, stop, change = std::move(*change)] {
                auto self = weak.lock();
                if (self && !stop.stop_requested()) {
                    self->receive(change);
                }
            });
        }
    }));
}

}  // namespace vask
