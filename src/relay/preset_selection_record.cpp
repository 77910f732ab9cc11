#include "relay/preset_selection_record.h"

#include <cctype>

#include "platform/text.h"

namespace vask {

std::optional<PresetResolution> PresetSelectionRecord::chatResolution() const {
    if (!selectedCode || !snapshot) {
        return std::nullopt;
    }
    if (const auto* preset = snapshot->catalog.preset(*selectedCode)) {
        return PresetResolution{*preset, snapshot->id};
    }
    return std::nullopt;
}

std::optional<PresetResolution> PresetSelectionRecord::utilityResolution() const {
    if (!snapshot) {
        return std::nullopt;
    }
    const ModelPreset* preset = nullptr;
    if (selectedCode) {
        preset = snapshot->catalog.preset(*selectedCode);
    }
    if (preset == nullptr) {
        preset = snapshot->catalog.defaultPreset();
    }
    if (preset == nullptr) {
        return std::nullopt;
    }
    return PresetResolution{*preset, snapshot->id};
}

std::string PresetSelectionRecord::encode() const {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    if (selectedCode) {
        json["selectedCode"] = *selectedCode;
    }
    if (snapshot) {
        json["snapshot"] = {{"id", snapshot->id}, {"catalog", snapshot->catalog.encode()}};
    }
    return json.dump();
}

PresetSelectionRecord PresetSelectionRecord::decode(std::string_view text) {
    const auto document = parseJsonDocument(text);
    const JsonReader reader(document, "");
    PresetSelectionRecord record;
    record.selectedCode = reader.optionalString("selectedCode");
    if (const auto snapshot = reader.optionalObject("snapshot")) {
        auto id = snapshot->string("id");
        if (!isUUIDText(id)) {
            snapshot->fail("id", "is not a UUID");
        }
        record.snapshot = PresetCatalogSnapshot{
            text::toUpper(id), ModelPresetCatalog::decode(snapshot->object("catalog"))};
    }
    return record;
}

bool isUUIDText(std::string_view text) {
    if (text.size() != 36) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool hyphenAt = i == 8 || i == 13 || i == 18 || i == 23;
        const auto c = static_cast<unsigned char>(text[i]);
        if (hyphenAt ? c != '-' : std::isxdigit(c) == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace vask
