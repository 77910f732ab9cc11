#pragma once

#include <string>

#include "relay/model_preset.h"

namespace vask::test {

inline PresetModelRef modelRef(std::string id) {
    return PresetModelRef{id, "Model " + id};
}

inline ModelPreset singlePreset(std::string code, std::string model, bool isDefault = false) {
    return ModelPreset{code, "Preset " + code, "", isDefault,
                       PresetExecution::single(modelRef(std::move(model)))};
}

inline ModelPreset recursivePreset(std::string code, std::string root, std::string subcall,
                                   bool isDefault = false) {
    return ModelPreset{
        code, "Preset " + code, "runs deep", isDefault,
        PresetExecution::recursive(modelRef(std::move(root)), modelRef(std::move(subcall)))};
}

// "fast" (single, model-f) and "deep" (recursive, model-r over model-s, the default).
inline ModelPresetCatalog sampleCatalog() {
    return ModelPresetCatalog{
        {singlePreset("fast", "model-f"), recursivePreset("deep", "model-r", "model-s", true)}};
}

}  // namespace vask::test
