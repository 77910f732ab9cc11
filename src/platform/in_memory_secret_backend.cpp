#include "platform/in_memory_secret_backend.h"

namespace vask {

std::optional<SecretBackend::Outcome> InMemorySecretBackend::injected(Operation operation,
                                                                      std::string_view account) {
    ++operations_;
    const auto it = failures_.find({operation, std::string(account)});
    if (it == failures_.end()) {
        return std::nullopt;
    }
    return Outcome{it->second.first, it->second.second};
}

SecretBackend::ReadResult InMemorySecretBackend::copyMatching(std::string_view service,
                                                              std::string_view account) {
    std::lock_guard lock(mutex_);
    if (auto failure = injected(Operation::copyMatching, account)) {
        return {failure->status, std::nullopt, std::move(failure->reason)};
    }
    const auto it = items_.find({std::string(service), std::string(account)});
    if (it == items_.end()) {
        return {itemNotFound, std::nullopt};
    }
    return {success, it->second};
}

SecretBackend::Outcome InMemorySecretBackend::update(std::string_view service,
                                                     std::string_view account,
                                                     std::string_view data) {
    std::lock_guard lock(mutex_);
    if (const auto status = injected(Operation::update, account)) {
        return *status;
    }
    const auto it = items_.find({std::string(service), std::string(account)});
    if (it == items_.end()) {
        return itemNotFound;
    }
    it->second = std::string(data);
    return success;
}

SecretBackend::Outcome InMemorySecretBackend::add(std::string_view service,
                                                  std::string_view account, std::string_view data) {
    std::lock_guard lock(mutex_);
    if (const auto status = injected(Operation::add, account)) {
        return *status;
    }
    const auto [it, inserted] =
        items_.try_emplace({std::string(service), std::string(account)}, std::string(data));
    return inserted ? success : duplicateItem;
}

SecretBackend::Outcome InMemorySecretBackend::remove(std::string_view service,
                                                     std::string_view account) {
    std::optional<std::shared_future<void>> held;
    {
        std::lock_guard lock(mutex_);
        held = removalsHeld_;
    }
    if (held) {
        // Bounded, so that a test whose removal is (wrongly) made on its own thread fails
        // rather than hangs.
        held->wait_for(std::chrono::seconds(10));
    }
    std::lock_guard lock(mutex_);
    if (const auto status = injected(Operation::remove, account)) {
        return *status;
    }
    return items_.erase({std::string(service), std::string(account)}) > 0 ? success : itemNotFound;
}

SecretBackend::Outcome InMemorySecretBackend::removeService(std::string_view service) {
    std::lock_guard lock(mutex_);
    ++operations_;
    const auto erased =
        std::erase_if(items_, [&](const auto& item) { return item.first.first == service; });
    return erased > 0 ? success : itemNotFound;
}

void InMemorySecretBackend::holdRemovals(std::shared_future<void> answered) {
    std::lock_guard lock(mutex_);
    removalsHeld_ = std::move(answered);
}

void InMemorySecretBackend::fail(Operation operation, std::string account, Status status,
                                 std::string reason) {
    std::lock_guard lock(mutex_);
    failures_[{operation, std::move(account)}] = {status, std::move(reason)};
}

void InMemorySecretBackend::clearFailures() {
    std::lock_guard lock(mutex_);
    failures_.clear();
}

void InMemorySecretBackend::put(std::string service, std::string account, std::string data) {
    std::lock_guard lock(mutex_);
    items_[{std::move(service), std::move(account)}] = std::move(data);
}

std::optional<std::string> InMemorySecretBackend::get(const std::string& service,
                                                      const std::string& account) const {
    std::lock_guard lock(mutex_);
    const auto it = items_.find({service, account});
    if (it == items_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::size_t InMemorySecretBackend::itemCount() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

std::size_t InMemorySecretBackend::operationCount() const {
    std::lock_guard lock(mutex_);
    return operations_;
}

}  // namespace vask
