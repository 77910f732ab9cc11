#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "relay/json_reader.h"

namespace vask {

// One relay model of a preset. Keys "model_id" and "model_display_name", in the relay's reply
// and in the stored record alike.
struct PresetModelRef {
    std::string modelID;
    std::string displayName;

    bool operator==(const PresetModelRef&) const = default;

    // Refuses a model id that is empty after trimming; the id is otherwise kept as sent.
    static PresetModelRef decode(const JsonReader& reader);
    nlohmann::ordered_json encode() const;
};

// How a preset runs: one model for every role, or a root model with a cheaper subcall model.
class PresetExecution {
  public:
    enum class Kind { single, recursive };

    struct Single {
        PresetModelRef model;
        bool operator==(const Single&) const = default;
    };
    struct Recursive {
        PresetModelRef root;
        PresetModelRef subcall;
        bool operator==(const Recursive&) const = default;
    };

    static PresetExecution single(PresetModelRef model) {
        return PresetExecution(Single{std::move(model)});
    }
    static PresetExecution recursive(PresetModelRef root, PresetModelRef subcall) {
        return PresetExecution(Recursive{std::move(root), std::move(subcall)});
    }

    Kind kind() const {
        return std::holds_alternative<Single>(value_) ? Kind::single : Kind::recursive;
    }
    const Single* asSingle() const { return std::get_if<Single>(&value_); }
    const Recursive* asRecursive() const { return std::get_if<Recursive>(&value_); }

    bool operator==(const PresetExecution&) const = default;

    // Reads "kind" and the model references of that kind from `reader`'s object; a kind that
    // carries a key of the other kind is refused.
    static PresetExecution decode(const JsonReader& reader);
    nlohmann::ordered_json encode() const;

    static std::string_view rawValue(Kind kind);
    static std::optional<Kind> kindFromRawValue(std::string_view raw);

  private:
    explicit PresetExecution(std::variant<Single, Recursive> value) : value_(std::move(value)) {}
    std::variant<Single, Recursive> value_;
};

// One response-quality preset, identified by its code.
struct ModelPreset {
    std::string code;
    std::string displayName;
    std::string description;
    bool isDefault = false;
    PresetExecution execution = PresetExecution::single({});

    bool operator==(const ModelPreset&) const = default;

    // The stored form: "code", "displayName", "description", "isDefault", "execution".
    static ModelPreset decode(const JsonReader& reader);
    nlohmann::ordered_json encode() const;
};

// The presets the relay offers for a plan, in the relay's order.
struct ModelPresetCatalog {
    std::vector<ModelPreset> presets;

    bool operator==(const ModelPresetCatalog&) const = default;

    // The first preset marked default, else the first preset; nothing for an empty catalog.
    const ModelPreset* defaultPreset() const;
    // The first preset whose code equals `code` ignoring case (no trimming).
    const ModelPreset* preset(std::string_view code) const;

    static ModelPresetCatalog decode(const JsonReader& reader);
    nlohmann::ordered_json encode() const;
};

// Codes compare ignoring case (full Unicode case folding, no trimming).
bool presetCodesMatch(std::string_view a, std::string_view b);

}  // namespace vask
