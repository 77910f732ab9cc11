#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "relay/model_preset.h"

namespace vask {

// One adopted catalog. The id is made fresh at each adoption, so two fetches of equal catalogs
// are still told apart.
struct PresetCatalogSnapshot {
    // A UUID in its 36-character upper-case hyphenated form.
    std::string id;
    ModelPresetCatalog catalog;

    bool operator==(const PresetCatalogSnapshot&) const = default;
};

// A preset resolved from a record, with the snapshot it came from, so that a refusal of the
// preset can later be tied to the catalog that offered it.
struct PresetResolution {
    ModelPreset preset;
    std::string snapshotID;

    bool operator==(const PresetResolution&) const = default;
};

// The persisted choice of response quality: the code the user chose and the last catalog.
struct PresetSelectionRecord {
    std::optional<std::string> selectedCode;
    std::optional<PresetCatalogSnapshot> snapshot;

    bool operator==(const PresetSelectionRecord&) const = default;

    static PresetSelectionRecord empty() { return {}; }

    // The selected preset as the snapshot offers it; nothing without both a choice and a
    // snapshot, or when the snapshot no longer offers the choice.
    std::optional<PresetResolution> chatResolution() const;
    // The selected preset when offered, else the catalog's default; nothing without a snapshot
    // or with an empty catalog.
    std::optional<PresetResolution> utilityResolution() const;

    // The stored JSON: "selectedCode" and "snapshot" ("id", "catalog"), each left out when
    // absent. decode throws DecodingError.
    std::string encode() const;
    static PresetSelectionRecord decode(std::string_view json);
};

// Whether `text` is a UUID in hyphenated form (either letter case).
bool isUUIDText(std::string_view text);

}  // namespace vask
