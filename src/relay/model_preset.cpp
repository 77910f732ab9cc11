#include "relay/model_preset.h"

#include "platform/text.h"

namespace vask {

PresetModelRef PresetModelRef::decode(const JsonReader& reader) {
    PresetModelRef ref{reader.string("model_id"), reader.string("model_display_name")};
    if (text::trimmed(ref.modelID).empty()) {
        reader.fail("model_id", "is invalid: model_id must name a model");
    }
    return ref;
}

nlohmann::ordered_json PresetModelRef::encode() const {
    return {{"model_id", modelID}, {"model_display_name", displayName}};
}

std::string_view PresetExecution::rawValue(Kind kind) {
    return kind == Kind::single ? "single" : "recursive";
}

std::optional<PresetExecution::Kind> PresetExecution::kindFromRawValue(std::string_view raw) {
    if (raw == "single") {
        return Kind::single;
    }
    if (raw == "recursive") {
        return Kind::recursive;
    }
    return std::nullopt;
}

PresetExecution PresetExecution::decode(const JsonReader& reader) {
    const auto raw = reader.string("kind");
    const auto kind = kindFromRawValue(raw);
    if (!kind) {
        reader.fail("kind", R"(must be "single" or "recursive", not ")" + raw + "\"");
    }
    const auto refuse = [&](std::string_view key) {
        if (reader.contains(key)) {
            reader.fail(key, "is invalid: " + raw + " preset must not carry " + std::string(key));
        }
    };
    if (*kind == Kind::recursive) {
        refuse("model");
        return recursive(PresetModelRef::decode(reader.object("root")),
                         PresetModelRef::decode(reader.object("subcall")));
    }
    refuse("root");
    refuse("subcall");
    return single(PresetModelRef::decode(reader.object("model")));
}

nlohmann::ordered_json PresetExecution::encode() const {
    nlohmann::ordered_json json{{"kind", rawValue(kind())}};
    if (const auto* s = asSingle()) {
        json["model"] = s->model.encode();
    } else if (const auto* r = asRecursive()) {
        json["root"] = r->root.encode();
        json["subcall"] = r->subcall.encode();
    }
    return json;
}

ModelPreset ModelPreset::decode(const JsonReader& reader) {
    return ModelPreset{reader.string("code"), reader.string("displayName"),
                       reader.string("description"), reader.boolean("isDefault"),
                       PresetExecution::decode(reader.object("execution"))};
}

nlohmann::ordered_json ModelPreset::encode() const {
    return {{"code", code},
            {"displayName", displayName},
            {"description", description},
            {"isDefault", isDefault},
            {"execution", execution.encode()}};
}

const ModelPreset* ModelPresetCatalog::defaultPreset() const {
    for (const auto& p : presets) {
        if (p.isDefault) {
            return &p;
        }
    }
    return presets.empty() ? nullptr : &presets.front();
}

const ModelPreset* ModelPresetCatalog::preset(std::string_view code) const {
    for (const auto& p : presets) {
        if (presetCodesMatch(p.code, code)) {
            return &p;
        }
    }
    return nullptr;
}

ModelPresetCatalog ModelPresetCatalog::decode(const JsonReader& reader) {
    ModelPresetCatalog catalog;
    for (const auto& item : reader.objectArray("presets")) {
        catalog.presets.push_back(ModelPreset::decode(item));
    }
    return catalog;
}

nlohmann::ordered_json ModelPresetCatalog::encode() const {
    auto list = nlohmann::ordered_json::array();
    for (const auto& p : presets) {
        list.push_back(p.encode());
    }
    return {{"presets", std::move(list)}};
}

bool presetCodesMatch(std::string_view a, std::string_view b) {
    // Upper-casing folds "ß" with "SS" and the final sigma with the others, as a
    // case-insensitive comparison should.
    return a == b || text::toUpper(a) == text::toUpper(b);
}

}  // namespace vask
