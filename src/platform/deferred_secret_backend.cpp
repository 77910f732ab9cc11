#include "platform/deferred_secret_backend.h"

#include "platform/logger.h"

namespace vask {
namespace {

// What is left when no storage could be chosen at all.
class UnavailableSecretBackend final : public SecretBackend {
  public:
    ReadResult copyMatching(std::string_view, std::string_view) override {
        return {notAvailable, std::nullopt};
    }
    Outcome update(std::string_view, std::string_view, std::string_view) override {
        return notAvailable;
    }
    Outcome add(std::string_view, std::string_view, std::string_view) override {
        return notAvailable;
    }
    Outcome remove(std::string_view, std::string_view) override { return notAvailable; }
    Outcome removeService(std::string_view) override { return notAvailable; }
    std::string_view kind() const override { return "none"; }
};

}  // namespace

DeferredSecretBackend::DeferredSecretBackend(Executor& executor, Choose choose) {
    auto promise = std::make_shared<std::promise<std::shared_ptr<SecretBackend>>>();
    chosen_ = promise->get_future().share();
    executor.post([promise, choose = std::move(choose)] {
        std::shared_ptr<SecretBackend> backend;
        try {
            backend = choose();
        } catch (const std::exception& error) {
            Logger("ai.ternwick.Vask", "keychain")
                .error(std::string("secret_storage_unavailable error=") + error.what());
        }
        promise->set_value(backend ? backend : std::make_shared<UnavailableSecretBackend>());
    });
}

bool DeferredSecretBackend::isResolved() const {
    return chosen_.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

std::shared_ptr<SecretBackend> DeferredSecretBackend::resolved() const {
    try {
        return chosen_.get();
    } catch (const std::future_error&) {
        // The executor went (a quit) before it ran the choice.
        static const auto none = std::make_shared<UnavailableSecretBackend>();
        return none;
    }
}

SecretBackend::ReadResult DeferredSecretBackend::copyMatching(std::string_view service,
                                                              std::string_view account) {
    return resolved()->copyMatching(service, account);
}

SecretBackend::Outcome DeferredSecretBackend::update(std::string_view service,
                                                     std::string_view account,
                                                     std::string_view data) {
    return resolved()->update(service, account, data);
}

SecretBackend::Outcome DeferredSecretBackend::add(std::string_view service,
                                                  std::string_view account, std::string_view data) {
    return resolved()->add(service, account, data);
}

SecretBackend::Outcome DeferredSecretBackend::remove(std::string_view service,
                                                     std::string_view account) {
    return resolved()->remove(service, account);
}

SecretBackend::Outcome DeferredSecretBackend::removeAll(std::string_view service,
                                                        const std::vector<std::string>& accounts) {
    return resolved()->removeAll(service, accounts);
}

SecretBackend::Outcome DeferredSecretBackend::removeService(std::string_view service) {
    return resolved()->removeService(service);
}

SecretBackend::Outcome DeferredSecretBackend::unlock(std::string_view service) {
    return resolved()->unlock(service);
}

std::string_view DeferredSecretBackend::kind() const {
    return isResolved() ? resolved()->kind() : std::string_view("unresolved");
}

bool DeferredSecretBackend::mayBlock() const {
    return !isResolved() || resolved()->mayBlock();
}

void DeferredSecretBackend::askAgain() {
    if (isResolved()) {
        resolved()->askAgain();
    }
}

}  // namespace vask
