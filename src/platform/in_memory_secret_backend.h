#pragma once

#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/secret_backend.h"

namespace vask {

// Items kept in memory, for tests. A test can make one operation on one account answer a chosen
// failure status, to drive the failure paths of the layers above.
class InMemorySecretBackend final : public SecretBackend {
  public:
    enum class Operation { copyMatching, update, add, remove };

    ReadResult copyMatching(std::string_view service, std::string_view account) override;
    Outcome update(std::string_view service, std::string_view account,
                  std::string_view data) override;
    Outcome add(std::string_view service, std::string_view account, std::string_view data) override;
    Outcome remove(std::string_view service, std::string_view account) override;
    Outcome removeService(std::string_view service) override;
    std::string_view kind() const override { return "memory"; }

    // Every later `operation` on `account` answers `status` (until cleared) without effect,
    // giving `reason` as its failure reason when there is one.
    void fail(Operation operation, std::string account, Status status, std::string reason = {});
    void clearFailures();
    // Every later removal waits until `answered` is ready (at most 10 s), as on a keyring that
    // stopped answering (the caller's thread is held, never the backend's other users).
    void holdRemovals(std::shared_future<void> answered);

    // Direct access for tests, bypassing failures and counters.
    void put(std::string service, std::string account, std::string data);
    std::optional<std::string> get(const std::string& service, const std::string& account) const;
    std::size_t itemCount() const;
    // How many operations reached the backend (failed ones included).
    std::size_t operationCount() const;

  private:
    std::optional<Outcome> injected(Operation operation, std::string_view account);

    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, std::string> items_;
    std::map<std::pair<Operation, std::string>, std::pair<Status, std::string>> failures_;
    std::size_t operations_ = 0;
    std::optional<std::shared_future<void>> removalsHeld_;
};

}  // namespace vask
