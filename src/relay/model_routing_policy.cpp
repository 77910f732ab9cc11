#include "relay/model_routing_policy.h"

#include "foundation/nil_if_empty.h"
#include "platform/text.h"

namespace vask {
namespace {

std::string explicitModelRequiredText(ModelRole role) {
    const auto raw = rawValue(role);
    return "Developer API-key requests require an explicit " + std::string(raw) +
           " model. Set VASK_RLM_" + text::toUpper(raw) + "_MODEL.";
}

}  // namespace

std::string_view rawValue(ModelRole role) {
    switch (role) {
        case ModelRole::root:
            return "root";
        case ModelRole::subcall:
            return "subcall";
        case ModelRole::utility:
            return "utility";
        case ModelRole::vision:
            return "vision";
    }
    return "root";
}

std::optional<std::string> ModelRoute::requestedModel() const {
    if (const auto* e = asExplicit()) {
        return e->modelID;
    }
    if (const auto* p = asPreset()) {
        return p->modelID;
    }
    return std::nullopt;
}

ModelRoutingError::ModelRoutingError(Case c, ModelRole role)
    : Error(explicitModelRequiredText(role)), case_(c), role_(role) {}

const ModelRoutingPolicy& ModelRoutingPolicy::production() {
    static const ModelRoutingPolicy policy;
    return policy;
}

ModelRoutingPolicy ModelRoutingPolicy::managedPreset(const PresetResolution& resolution) {
    const auto& preset = resolution.preset;
    const auto route = [&](const PresetModelRef& model) {
        return ModelRoute::preset(preset.code, model.modelID, resolution.snapshotID);
    };
    if (const auto* single = preset.execution.asSingle()) {
        const auto r = route(single->model);
        return ModelRoutingPolicy{r, r, r, r};
    }
    const auto* recursive = preset.execution.asRecursive();
    const auto root = route(recursive->root);
    return ModelRoutingPolicy{root, route(recursive->subcall), root, root};
}

const ModelRoute& ModelRoutingPolicy::route(ModelRole role) const {
    switch (role) {
        case ModelRole::root:
            return root;
        case ModelRole::subcall:
            return subcall;
        case ModelRole::utility:
            return utility;
        case ModelRole::vision:
            return vision;
    }
    return root;
}

ModelRoute ModelRoutingPolicy::validatedRoute(ModelRole role,
                                              const RouteCredentials& credentials) const {
    const auto& chosen = route(role);
    const bool hasToken = credentials.customerToken && nilIfEmpty(*credentials.customerToken);
    const bool hasKey = credentials.apiKey && nilIfEmpty(*credentials.apiKey);
    if (hasToken || !hasKey) {
        return chosen;
    }
    if (chosen.isTierDefault()) {
        throw ModelRoutingError::explicitModelRequired(role);
    }
    return chosen;
}

}  // namespace vask
