#include "records/session_artifact_candidate.h"

#include <limits>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vask {
namespace {

std::string lenientString(const nlohmann::json& object, std::string_view key) {
    const auto found = object.find(std::string(key));
    if (found == object.end() || !found->is_string()) {
        return {};
    }
    return found->get<std::string>();
}

std::int64_t lenientSchemaVersion(const nlohmann::json& object) {
    const auto found = object.find("schema_version");
    if (found == object.end()) {
        return -1;
    }
    if (found->is_number_integer() && !found->is_number_unsigned()) {
        return found->get<std::int64_t>();
    }
    if (found->is_number_unsigned() &&
        found->get<std::uint64_t>() <=
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return static_cast<std::int64_t>(found->get<std::uint64_t>());
    }
    return -1;
}

}  // namespace

SessionArtifactCandidate SessionArtifactCandidate::fromJson(const nlohmann::json& json) noexcept {
    SessionArtifactCandidate candidate;
    if (!json.is_object()) {
        return candidate;
    }
    candidate.schemaVersion = lenientSchemaVersion(json);
    candidate.kind = lenientString(json, "kind");
    candidate.label = lenientString(json, "label");
    candidate.definition = lenientString(json, "definition");
    const auto members = json.find("members");
    if (members == json.end() || !members->is_array()) {
        return candidate;
    }
    for (const auto& element : *members) {
        if (!element.is_object()) {
            candidate.members.push_back(Member{});
            continue;
        }
        candidate.members.push_back(
            Member{lenientString(element, "namespace"), lenientString(element, "value")});
    }
    return candidate;
}

}  // namespace vask
