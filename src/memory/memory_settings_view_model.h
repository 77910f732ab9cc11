#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "foundation/structured_logger.h"
#include "memory/memory_authorization_gate.h"
#include "memory/memory_principal.h"
#include "memory/memory_store.h"
#include "platform/executor.h"
#include "platform/published.h"

namespace vask {

// The model behind the memory section of Settings: the current principal's active associations,
// edits and forgets, kept current from the store's change feed. Lives on the main executor;
// store calls run on the worker and their results are published only after checking, back on
// the main executor, that the principal (and for reads and edits its token) is still the same.
class MemorySettingsViewModel : public std::enable_shared_from_this<MemorySettingsViewModel> {
  public:
    static constexpr const char* unavailableText = "Memory is unavailable. Try again.";
    static constexpr const char* updateFailedText = "Memory couldn\u2019t be updated. Try again.";

    using Completion = std::function<void(bool succeeded)>;

    // Follows the change feed while it lives; destroying it ends the subscription.
    class Monitor {
      public:
        Monitor() = default;
        explicit Monitor(std::jthread thread) : thread_(std::move(thread)) {}

      private:
        std::jthread thread_;
    };

    // `store` is absent when memory is off or could not be opened.
    static std::shared_ptr<MemorySettingsViewModel> make(
        MainExecutor& main, Executor& worker, std::shared_ptr<MemoryStore> store,
        MemoryPrincipalProvider principalProvider,
        std::shared_ptr<MemoryAuthorizationGate> authorizationGate, StructuredLogger logger);

    Published<std::vector<MemoryAssociation>> associations;
    Published<bool> isLoading{false};
    Published<std::optional<std::string>> errorMessage;

    const std::optional<MemoryPrincipal>& loadedPrincipal() const { return loadedPrincipal_; }

    // A store exists: memory is on and could be opened.
    bool hasStore() const { return store_ != nullptr; }
    bool isAvailable() const;
    void load(Completion done = {});
    void update(const Uuid& id, std::string_view term, std::string_view definition,
                Completion done = {});
    void forget(const Uuid& id, Completion done = {});
    void forgetAll(Completion done = {});
    [[nodiscard]] Monitor monitorChanges();
    void resetForPrincipalChange();

  private:
    // Runs on the main executor once the store part is done; returns the count to log.
    using Finish = std::function<int(MemorySettingsViewModel&)>;
    using StorePart =
        std::function<Finish(MemoryStore&, const MemoryPrincipal&, const MemoryAuthorizationToken&,
                             const MemoryStore::Authorizing&)>;

    MemorySettingsViewModel(MainExecutor& main, Executor& worker,
                            std::shared_ptr<MemoryStore> store,
                            MemoryPrincipalProvider principalProvider,
                            std::shared_ptr<MemoryAuthorizationGate> authorizationGate,
                            StructuredLogger logger);

    void perform(const char* operation, StorePart body, Completion done);
    void recordFailure(const char* operation, const std::exception& error);
    void receive(const MemoryStoreChange& change);
    void showNothing();
    bool stillCurrent(const MemoryPrincipal& principal) const;

    MainExecutor& main_;
    Executor& worker_;
    std::shared_ptr<MemoryStore> store_;
    MemoryPrincipalProvider principalProvider_;
    std::shared_ptr<MemoryAuthorizationGate> authorizationGate_;
    StructuredLogger logger_;
    std::optional<MemoryPrincipal> loadedPrincipal_;
};

}  // namespace vask
