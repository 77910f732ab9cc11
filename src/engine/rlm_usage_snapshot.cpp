#include "engine/rlm_usage_snapshot.h"

#include <nlohmann/json.hpp>

#include "records/trace_object.h"

namespace vask {

std::optional<RLMUsageSnapshot> RLMUsageSnapshot::traceObject(const nlohmann::json& object) {
    const auto* type = trace::string(object, "type");
    if (type == nullptr || *type != "usage_progress" || trace::integer(object, "version") != 6) {
        return std::nullopt;
    }
    const auto* runID = trace::string(object, "run_id");
    const auto sequence = trace::integer(object, "seq");
    if (runID == nullptr || runID->empty() || !sequence || *sequence < 1) {
        return std::nullopt;
    }
    const auto* boundaryText = trace::string(object, "boundary");
    if (boundaryText == nullptr || (*boundaryText != "root" && *boundaryText != "subcall")) {
        return std::nullopt;
    }
    const auto* kindText = trace::string(object, "kind");
    const auto kind = kindText ? ChatTokenUsage::kindFromText(*kindText) : std::nullopt;
    if (!kind) {
        return std::nullopt;
    }
    const auto* persistence = trace::string(object, "persistence_class");
    if (persistence == nullptr || *persistence != "transient") {
        return std::nullopt;
    }
    const auto depth = trace::integer(object, "depth");
    if (!depth || *depth < 0 || !object.contains("root") || !object.contains("subcall")) {
        return std::nullopt;
    }
    const auto root = TokenUsageBreakdown::traceObject(object.at("root"));
    const auto subcall =
        root ? TokenUsageBreakdown::traceObject(object.at("subcall")) : std::nullopt;
    if (!subcall) {
        return std::nullopt;
    }
    const auto unattributedIt = object.find("unattributed");
    if (unattributedIt == object.end() || !unattributedIt->is_object() ||
        unattributedIt->size() != 1) {
        return std::nullopt;
    }
    const auto unattributed = trace::nonnegativeInteger(*unattributedIt, "total_tokens");
    const auto total = trace::nonnegativeInteger(object, "total_tokens");
    if (!unattributed || !total) {
        return std::nullopt;
    }
    // Both role totals are present: traceObject requires them.
    const std::int64_t rootTotal = *root->totalTokens;
    const std::int64_t subcallTotal = *subcall->totalTokens;
    if (*total < rootTotal || *total - rootTotal < subcallTotal ||
        *unattributed != *total - rootTotal - subcallTotal) {
        return std::nullopt;
    }
    const auto derived = (root->complete == true && subcall->complete == true)
                             ? ChatTokenUsage::Kind::resolved
                             : ChatTokenUsage::Kind::partial;
    if (*kind != derived) {
        return std::nullopt;
    }
    return RLMUsageSnapshot{
        *runID,
        *sequence,
        *boundaryText == "root" ? RLMUsageBoundary::root : RLMUsageBoundary::subcall,
        *kind,
        *root,
        *subcall,
        *unattributed,
        *total};
}

}  // namespace vask
