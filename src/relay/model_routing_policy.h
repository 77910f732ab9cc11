#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/error.h"
#include "relay/preset_selection_record.h"
#include "relay/route_credentials.h"

namespace vask {

// The part a model call plays.
enum class ModelRole { root, subcall, utility, vision };

std::string_view rawValue(ModelRole role);

// How one model call picks its model: a named model, the model a preset assigns to the role, or
// none, leaving the relay service to use the plan's default.
class ModelRoute {
  public:
    struct Explicit {
        std::string modelID;
        bool operator==(const Explicit&) const = default;
    };
    struct Preset {
        std::string code;
        std::string modelID;
        std::string snapshotID;
        bool operator==(const Preset&) const = default;
    };
    struct TierDefault {
        bool operator==(const TierDefault&) const = default;
    };

    static ModelRoute explicitModel(std::string modelID) {
        return ModelRoute(Explicit{std::move(modelID)});
    }
    static ModelRoute preset(std::string code, std::string modelID, std::string snapshotID) {
        return ModelRoute(Preset{std::move(code), std::move(modelID), std::move(snapshotID)});
    }
    static ModelRoute tierDefault() { return ModelRoute(TierDefault{}); }

    const Explicit* asExplicit() const { return std::get_if<Explicit>(&value_); }
    const Preset* asPreset() const { return std::get_if<Preset>(&value_); }
    bool isTierDefault() const { return std::holds_alternative<TierDefault>(value_); }

    // The model the request names: an explicit route's id, a preset route's model id, or
    // nothing for the plan's default.
    std::optional<std::string> requestedModel() const;

    bool operator==(const ModelRoute&) const = default;

  private:
    explicit ModelRoute(std::variant<Explicit, Preset, TierDefault> value)
        : value_(std::move(value)) {}
    std::variant<Explicit, Preset, TierDefault> value_;
};

class ModelRoutingError : public Error {
  public:
    enum class Case { explicitModelRequired };

    static ModelRoutingError explicitModelRequired(ModelRole role) {
        return ModelRoutingError(Case::explicitModelRequired, role);
    }

    Case errorCase() const { return case_; }
    ModelRole role() const { return role_; }

    bool operator==(const ModelRoutingError& other) const {
        return case_ == other.case_ && role_ == other.role_;
    }

  private:
    ModelRoutingError(Case c, ModelRole role);
    Case case_;
    ModelRole role_;
};

// One route per role.
struct ModelRoutingPolicy {
    ModelRoute root = ModelRoute::tierDefault();
    ModelRoute subcall = ModelRoute::tierDefault();
    ModelRoute utility = ModelRoute::tierDefault();
    ModelRoute vision = ModelRoute::tierDefault();

    bool operator==(const ModelRoutingPolicy&) const = default;

    // Every role left to the plan's default.
    static const ModelRoutingPolicy& production();
    // Every role on the preset's model; a recursive preset's subcall model for subcalls.
    static ModelRoutingPolicy managedPreset(const PresetResolution& resolution);

    const ModelRoute& route(ModelRole role) const;

    // The route for `role`, refused when an API key alone (no plan) would leave the model to the
    // plan's default. Throws ModelRoutingError. A copy, so that it outlives a temporary policy.
    ModelRoute validatedRoute(ModelRole role, const RouteCredentials& credentials) const;
};

}  // namespace vask
