#pragma once

#include <array>
#include <mutex>
#include <string_view>

#include "platform/change_observers.h"
#include "platform/subscription.h"
#include "platform/user_defaults.h"
#include "relay/preset_selection_record.h"

namespace vask {

// The persisted preset record in one defaults store, and every change to it. Each operation
// holds the selection's lock for its whole read-modify-write, so the chat, the catalog service
// and utility calls on other threads never lose each other's changes: everything that changes
// the record of one store must go through the one selection over it.
class PresetSelection {
  public:
    static constexpr std::string_view recordKey = "ai.ternwick.responseQualitySelection";
    // The older storage, migrated into the record once and then removed.
    static constexpr std::array<std::string_view, 3> legacyKeys = {
        "ai.ternwick.responseQualityPreset",
        "ai.ternwick.responseQualityCatalog",
        "ai.ternwick.responseQualityDefaultPreset",
    };

    explicit PresetSelection(UserDefaults& defaults) : defaults_(defaults) {}
    PresetSelection(const PresetSelection&) = delete;
    PresetSelection& operator=(const PresetSelection&) = delete;

    PresetSelectionRecord current();
    // Stores `code` as passed when the stored catalog offers it (ignoring case).
    bool select(std::string_view code);
    // Stores `catalog` under a fresh snapshot id and drops a choice it no longer offers.
    PresetSelectionRecord adopt(const ModelPresetCatalog& catalog);
    // Drops the snapshot a refused preset came from, and the choice when it is that preset, and
    // then tells observeStaleCatalog(). False, changing nothing and telling no one, when the
    // stored snapshot is another (newer) one.
    bool clearStale(std::string_view code, std::string_view snapshotID);
    void clearAll();

    // `stale` runs on the thread that cleared a stale snapshot, after the change is stored, for
    // as long as the subscription lives.
    [[nodiscard]] Subscription observeStaleCatalog(std::function<void()> stale) {
        return staleCatalog_.observe(std::move(stale));
    }

  private:
    PresetSelectionRecord load();
    void save(const PresetSelectionRecord& record);
    PresetSelectionRecord migrateLegacy();

    UserDefaults& defaults_;
    std::mutex mutex_;
    ChangeObservers staleCatalog_;
};

}  // namespace vask
