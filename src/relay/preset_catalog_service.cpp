#include "relay/preset_catalog_service.h"

#include <utility>

namespace vask {

std::shared_ptr<PresetCatalogService> PresetCatalogService::create(Dependencies dependencies) {
    std::shared_ptr<PresetCatalogService> service(
        new PresetCatalogService(std::move(dependencies)));
    std::weak_ptr<PresetCatalogService> weak = service;
    MainExecutor& main = service->deps_.main;
    service->staleSubscription_ = service->deps_.presets.observeStaleCatalog([weak, &main] {
        // Told on whichever thread cleared the preset; the record lives on main.
        main.post([weak] {
            if (auto self = weak.lock()) {
                self->reloadRecord();
                self->refreshInBackground();
            }
        });
    });
    return service;
}

PresetCatalogService::PresetCatalogService(Dependencies dependencies)
    : record(dependencies.presets.current()), deps_(std::move(dependencies)) {}

std::optional<ModelPresetCatalog> PresetCatalogService::catalog() const {
    if (lastRefreshFailed.get() || !record.get().snapshot) {
        return std::nullopt;
    }
    return record.get().snapshot->catalog;
}

std::string PresetCatalogService::selectedCode() const {
    const auto& current = record.get();
    if (current.selectedCode) {
        return *current.selectedCode;
    }
    if (current.snapshot) {
        if (const auto* preset = current.snapshot->catalog.defaultPreset()) {
            return preset->code;
        }
    }
    return {};
}

std::shared_future<void> PresetCatalogService::refresh(Task then) {
    if (inFlight_) {
        if (then) {
            inFlight_->waiters.push_back(std::move(then));
        }
        return inFlight_->future;
    }
    auto flight = std::make_shared<Flight>();
    if (then) {
        flight->waiters.push_back(std::move(then));
    }
    const auto mode = deps_.authModeProvider();
    const auto* managed = mode.asManaged();
    if (managed == nullptr) {
        // API-key and signed-out modes have no catalog.
        flight->done.set_value();
        for (auto& waiter : flight->waiters) {
            deps_.main.post(std::move(waiter));
        }
        return flight->future;
    }
    inFlight_ = flight;
    std::weak_ptr<PresetCatalogService> weak = weak_from_this();
    deps_.background.post([weak, fetch = deps_.fetchCatalog, token = managed->customerToken,
                           generation = accountGeneration_, &main = deps_.main, flight] {
        FetchOutcome outcome;
        try {
            outcome.catalog = fetch(token);
        } catch (const std::exception& error) {
            outcome.error = error.what();
        }
        main.post([weak, generation, flight, outcome = std::move(outcome)]() mutable {
            if (auto self = weak.lock()) {
                self->finishRefresh(generation, std::move(outcome));
            }
            flight->done.set_value();
            for (auto& waiter : std::exchange(flight->waiters, {})) {
                waiter();
            }
        });
    });
    return flight->future;
}

void PresetCatalogService::finishRefresh(std::uint64_t generation, FetchOutcome outcome) {
    if (generation != accountGeneration_) {
        // Signed out (and perhaps in again) while the fetch ran: that catalog belongs to an
        // account that is gone.
        deps_.logger.info("preset_catalog_refresh_discarded", {{"reason", "account_changed"}});
        return;
    }
    inFlight_.reset();
    if (!outcome.catalog) {
        lastRefreshFailed.set(true);
        deps_.logger.error("preset_catalog_refresh_failed", {{"error", outcome.error}});
        return;
    }
    record.set(deps_.presets.adopt(*outcome.catalog));
    lastRefreshFailed.set(false);
    deps_.logger.info("preset_catalog_refreshed",
                      {{"presets", std::to_string(outcome.catalog->presets.size())},
                       {"has_choice", record.get().selectedCode ? "true" : "false"}});
}

void PresetCatalogService::refreshInBackground() {
    std::weak_ptr<PresetCatalogService> weak = weak_from_this();
    deps_.main.post([weak] {
        if (auto self = weak.lock()) {
            self->refresh();
        }
    });
}

bool PresetCatalogService::select(std::string_view code) {
    const bool stored = deps_.presets.select(code);
    reloadRecord();
    if (stored) {
        deps_.logger.info("preset_selected", {{"preset", std::string(code)}});
    } else {
        refreshInBackground();
    }
    return stored;
}

void PresetCatalogService::clearAccountState() {
    ++accountGeneration_;
    inFlight_.reset();
    deps_.presets.clearAll();
    reloadRecord();
    lastRefreshFailed.set(false);
}

void PresetCatalogService::reloadRecord() {
    record.set(deps_.presets.current());
}

}  // namespace vask
