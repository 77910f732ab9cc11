#pragma once

#include <array>
#include <string_view>

#include "platform/user_defaults.h"
#include "relay/preset_selection_record.h"

namespace vask {

// The persisted preset record and every change to it. Each operation takes one process-wide
// lock for its whole read-modify-write, so the chat, the catalog service and utility calls on
// other threads never lose each other's changes.
class PresetSelection {
  public:
    PresetSelection() = delete;

    static constexpr std::string_view recordKey = "ai.ternwick.responseQualitySelection";
    // The older storage, migrated into the record once and then removed.
    static constexpr std::array<std::string_view, 3> legacyKeys = {
        "ai.ternwick.responseQualityPreset",
        "ai.ternwick.responseQualityCatalog",
        "ai.ternwick.responseQualityDefaultPreset",
    };

    static PresetSelectionRecord current(UserDefaults& defaults);
    // Stores `code` as passed when the stored catalog offers it (ignoring case).
    static bool select(std::string_view code, UserDefaults& defaults);
    // Stores `catalog` under a fresh snapshot id and drops a choice it no longer offers.
    static PresetSelectionRecord adopt(const ModelPresetCatalog& catalog, UserDefaults& defaults);
    // Drops the snapshot a refused preset came from, and the choice when it is that preset.
    // False, changing nothing, when the stored snapshot is another (newer) one.
    static bool clearStale(std::string_view code, std::string_view snapshotID,
                           UserDefaults& defaults);
    static void clearAll(UserDefaults& defaults);

  private:
    static PresetSelectionRecord load(UserDefaults& defaults);
    static void save(const PresetSelectionRecord& record, UserDefaults& defaults);
    static PresetSelectionRecord migrateLegacy(UserDefaults& defaults);
};

}  // namespace vask
