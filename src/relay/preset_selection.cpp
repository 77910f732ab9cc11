#include "relay/preset_selection.h"

#include <mutex>

#include "foundation/nil_if_empty.h"
#include "foundation/structured_logger.h"
#include "platform/crypto.h"

namespace vask {
namespace {

std::mutex& selectionLock() {
    static std::mutex lock;
    return lock;
}

const StructuredLogger& logger() {
    static const StructuredLogger logger("preset-selection");
    return logger;
}

}  // namespace

PresetSelectionRecord PresetSelection::current(UserDefaults& defaults) {
    std::lock_guard lock(selectionLock());
    return load(defaults);
}

bool PresetSelection::select(std::string_view code, UserDefaults& defaults) {
    std::lock_guard lock(selectionLock());
    auto record = load(defaults);
    if (record.snapshot && record.snapshot->catalog.preset(code) != nullptr) {
        record.selectedCode = std::string(code);
        save(record, defaults);
        return true;
    }
    logger().warning("preset_select_rejected",
                     {{"reason", record.snapshot ? "not_offered" : "no_snapshot"}});
    return false;
}

PresetSelectionRecord PresetSelection::adopt(const ModelPresetCatalog& catalog,
                                             UserDefaults& defaults) {
    std::lock_guard lock(selectionLock());
    auto record = load(defaults);
    record.snapshot = PresetCatalogSnapshot{randomUUID(), catalog};
    if (record.selectedCode && catalog.preset(*record.selectedCode) == nullptr) {
        record.selectedCode.reset();
    }
    save(record, defaults);
    return record;
}

bool PresetSelection::clearStale(std::string_view code, std::string_view snapshotID,
                                 UserDefaults& defaults) {
    std::lock_guard lock(selectionLock());
    auto record = load(defaults);
    if (!record.snapshot || record.snapshot->id != snapshotID) {
        return false;
    }
    record.snapshot.reset();
    if (record.selectedCode && presetCodesMatch(*record.selectedCode, code)) {
        record.selectedCode.reset();
    }
    save(record, defaults);
    return true;
}

void PresetSelection::clearAll(UserDefaults& defaults) {
    std::lock_guard lock(selectionLock());
    defaults.remove(recordKey);
    for (const auto key : legacyKeys) {
        defaults.remove(key);
    }
}

PresetSelectionRecord PresetSelection::load(UserDefaults& defaults) {
    const auto stored = defaults.value(recordKey);
    if (!stored) {
        return migrateLegacy(defaults);
    }
    // The record is kept as its JSON text; a value of another type is as unreadable as text
    // that does not decode.
    const std::string data = stored->is_string() ? stored->get<std::string>() : stored->dump();
    try {
        if (!stored->is_string()) {
            throw DecodingError("the stored record is not text");
        }
        return PresetSelectionRecord::decode(data);
    } catch (const DecodingError&) {
        logger().error("preset_record_decode_failed",
                       {{"error_type", "DecodingError"}, {"bytes", std::to_string(data.size())}});
        return PresetSelectionRecord::empty();
    }
}

void PresetSelection::save(const PresetSelectionRecord& record, UserDefaults& defaults) {
    std::string data;
    try {
        data = record.encode();
    } catch (const nlohmann::json::exception&) {
        // Text that is not UTF-8 cannot be written as JSON; this one write is lost.
        logger().error("preset_record_encode_failed", {{"error_type", "EncodingError"}});
        return;
    }
    defaults.set(recordKey, std::move(data));
}

PresetSelectionRecord PresetSelection::migrateLegacy(UserDefaults& defaults) {
    std::optional<std::string> code;
    if (const auto legacy = defaults.stringValue(legacyKeys[0]); legacy.isPresent()) {
        code = nilIfEmpty(legacy.value);
    }
    bool anyLegacy = false;
    for (const auto key : legacyKeys) {
        anyLegacy = anyLegacy || defaults.value(key).has_value();
    }
    if (!anyLegacy) {
        return PresetSelectionRecord::empty();
    }
    PresetSelectionRecord record{code, std::nullopt};
    save(record, defaults);
    for (const auto key : legacyKeys) {
        defaults.remove(key);
    }
    logger().info("preset_record_migrated", {{"had_choice", code ? "true" : "false"}});
    return record;
}

}  // namespace vask
