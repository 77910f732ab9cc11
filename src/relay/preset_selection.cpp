#include "relay/preset_selection.h"

#include "foundation/nil_if_empty.h"
#include "foundation/structured_logger.h"
#include "platform/crypto.h"

namespace vask {
namespace {

const StructuredLogger& logger() {
    static const StructuredLogger logger("preset-selection");
    return logger;
}

}  // namespace

PresetSelectionRecord PresetSelection::current() {
    std::lock_guard lock(mutex_);
    return load();
}

bool PresetSelection::select(std::string_view code) {
    std::lock_guard lock(mutex_);
    auto record = load();
    if (record.snapshot && record.snapshot->catalog.preset(code) != nullptr) {
        record.selectedCode = std::string(code);
        save(record);
        return true;
    }
    logger().warning("preset_select_rejected",
                     {{"reason", record.snapshot ? "not_offered" : "no_snapshot"}});
    return false;
}

PresetSelectionRecord PresetSelection::adopt(const ModelPresetCatalog& catalog) {
    std::lock_guard lock(mutex_);
    auto record = load();
    record.snapshot = PresetCatalogSnapshot{randomUUID(), catalog};
    if (record.selectedCode && catalog.preset(*record.selectedCode) == nullptr) {
        record.selectedCode.reset();
    }
    save(record);
    return record;
}

bool PresetSelection::clearStale(std::string_view code, std::string_view snapshotID) {
    {
        std::lock_guard lock(mutex_);
        auto record = load();
        if (!record.snapshot || record.snapshot->id != snapshotID) {
            return false;
        }
        record.snapshot.reset();
        if (record.selectedCode && presetCodesMatch(*record.selectedCode, code)) {
            record.selectedCode.reset();
        }
        save(record);
    }
    // Outside the lock: an observer may read the record at once.
    staleCatalog_.notify();
    return true;
}

void PresetSelection::clearAll() {
    std::lock_guard lock(mutex_);
    defaults_.remove(recordKey);
    for (const auto key : legacyKeys) {
        defaults_.remove(key);
    }
}

PresetSelectionRecord PresetSelection::load() {
    const auto stored = defaults_.value(recordKey);
    if (!stored) {
        return migrateLegacy();
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

void PresetSelection::save(const PresetSelectionRecord& record) {
    std::string data;
    try {
        data = record.encode();
    } catch (const nlohmann::json::exception&) {
        // Text that is not UTF-8 cannot be written as JSON; this one write is lost.
        logger().error("preset_record_encode_failed", {{"error_type", "EncodingError"}});
        return;
    }
    defaults_.set(recordKey, std::move(data));
}

PresetSelectionRecord PresetSelection::migrateLegacy() {
    std::optional<std::string> code;
    if (const auto legacy = defaults_.stringValue(legacyKeys[0]); legacy.isPresent()) {
        code = nilIfEmpty(legacy.value);
    }
    bool anyLegacy = false;
    for (const auto key : legacyKeys) {
        anyLegacy = anyLegacy || defaults_.value(key).has_value();
    }
    if (!anyLegacy) {
        return PresetSelectionRecord::empty();
    }
    PresetSelectionRecord record{code, std::nullopt};
    save(record);
    for (const auto key : legacyKeys) {
        defaults_.remove(key);
    }
    logger().info("preset_record_migrated", {{"had_choice", code ? "true" : "false"}});
    return record;
}

}  // namespace vask
