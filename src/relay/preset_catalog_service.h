#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/auth_mode.h"
#include "foundation/structured_logger.h"
#include "platform/executor.h"
#include "platform/published.h"
#include "platform/subscription.h"
#include "relay/preset_selection.h"

namespace vask {

// Keeps a signed-in account's preset catalog fresh for the settings screen: fetches it, adopts
// it into the persisted record, publishes the record and whether the last fetch failed, stores
// the user's choice, and forgets everything at sign-out. Lives on the main executor: every
// member is called there; the fetch runs on the background executor.
class PresetCatalogService : public std::enable_shared_from_this<PresetCatalogService> {
  public:
    // Blocking; throws (CorvaneServiceError) when the catalog cannot be had.
    using FetchCatalog = std::function<ModelPresetCatalog(const std::string& customerToken)>;
    using AuthModeProvider = std::function<AuthMode()>;

    struct Dependencies {
        FetchCatalog fetchCatalog;
        AuthModeProvider authModeProvider;
        // The selection every other user of the same defaults store goes through.
        PresetSelection& presets;
        StructuredLogger logger = StructuredLogger("preset-catalog");
        MainExecutor& main;
        Executor& background;
    };

    // Reads the record and starts listening for stale snapshots cleared from `presets`.
    static std::shared_ptr<PresetCatalogService> create(Dependencies dependencies);

    PresetCatalogService(const PresetCatalogService&) = delete;
    PresetCatalogService& operator=(const PresetCatalogService&) = delete;

    Published<PresetSelectionRecord> record;
    Published<bool> lastRefreshFailed{false};

    // Nothing while the last fetch failed; otherwise the stored snapshot's catalog, if any.
    std::optional<ModelPresetCatalog> catalog() const;
    // The chosen code, else the catalog's default preset's, else "".
    std::string selectedCode() const;

    // Starts a refresh, or joins the one running. The future is ready, and `then` runs on the
    // main executor, when it has finished, whatever its outcome (`then` runs even when the
    // service is gone by then). Completion needs the main executor: never wait for the future
    // there; continue in `then` instead.
    std::shared_future<void> refresh(Task then = {});
    // Posts a refresh to the main executor and returns at once. Callable from any thread.
    void refreshInBackground();
    // Stores the choice when the catalog offers it; a refused choice triggers a fresh catalog.
    bool select(std::string_view code);
    // Sign-out: forgets the record. A refresh still running for the account is abandoned: its
    // catalog is never adopted, and the next refresh starts afresh.
    void clearAccountState();

  private:
    struct FetchOutcome {
        std::optional<ModelPresetCatalog> catalog;
        std::string error;
    };

    // One fetch and everyone waiting for it.
    struct Flight {
        std::promise<void> done;
        std::shared_future<void> future = done.get_future().share();
        std::vector<Task> waiters;
    };

    explicit PresetCatalogService(Dependencies dependencies);
    void finishRefresh(std::uint64_t generation, FetchOutcome outcome);
    void reloadRecord();

    Dependencies deps_;
    std::shared_ptr<Flight> inFlight_;
    // Raised by clearAccountState, so a fetch begun for the previous account is recognised
    // when it comes back.
    std::uint64_t accountGeneration_ = 0;
    Subscription staleSubscription_;
};

}  // namespace vask
