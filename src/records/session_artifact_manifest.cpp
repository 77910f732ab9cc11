#include "records/session_artifact_manifest.h"

#include "records/record_json.h"

namespace vask {

using namespace record_json;

Json SessionArtifactManifest::toJson() const {
    Json counts = Json::object();
    for (const auto& [name, count] : namespaceCounts) {
        counts[name] = count;
    }
    Json json{{"id", id},
              {"source_turn_id", uuidValue(sourceTurnID)},
              {"kind", rawValue(kind)},
              {"label", label},
              {"definition", definition},
              {"namespace_counts", std::move(counts)},
              {"member_count", memberCount},
              {"unresolved_member_count", unresolvedMemberCount}};
    if (availability) {
        json["availability"] = rawValue(*availability);
    }
    return json;
}

SessionArtifactManifest SessionArtifactManifest::fromJson(const Json& json) {
    const auto& fields = object(json, "SessionArtifactManifest");
    SessionArtifactManifest manifest;
    manifest.id = requiredString(fields, "id");
    manifest.sourceTurnID = uuid(required(fields, "source_turn_id"), "source_turn_id");
    const auto kind = requiredString(fields, "kind");
    if (kind != rawValue(SessionArtifactKind::entitySet)) {
        throw RecordDecodingError::dataCorrupted("Unknown value \"" + kind +
                                                 R"(" under key "kind".)");
    }
    manifest.label = requiredString(fields, "label");
    manifest.definition = requiredString(fields, "definition");
    const auto& counts = object(required(fields, "namespace_counts"), "namespace_counts");
    for (const auto& [name, count] : counts.items()) {
        manifest.namespaceCounts[name] = integer(count, name);
    }
    manifest.memberCount = requiredInteger(fields, "member_count");
    manifest.unresolvedMemberCount = requiredInteger(fields, "unresolved_member_count");
    if (auto state = optionalString(fields, "availability")) {
        manifest.availability = sessionArtifactAvailabilityState(*state);
        if (!manifest.availability) {
            throw RecordDecodingError::dataCorrupted("Unknown value \"" + *state +
                                                     R"(" under key "availability".)");
        }
    }
    return manifest;
}

std::vector<SessionArtifactManifest> SessionArtifactManifest::fromMessages(
    const std::vector<ChatMessage>& messages) {
    std::vector<SessionArtifactManifest> manifests;
    for (const auto& message : messages) {
        for (const auto& artifact : message.artifacts) {
            SessionArtifactManifest manifest;
            manifest.id = artifact.id.uppercaseString();
            manifest.sourceTurnID = artifact.sourceTurnID;
            manifest.kind = artifact.kind;
            manifest.label = artifact.label;
            manifest.definition = artifact.definition;
            for (const auto& member : artifact.members) {
                ++manifest.namespaceCounts[std::string(rawValue(member.entityNamespace))];
            }
            manifest.memberCount = static_cast<std::int64_t>(artifact.members.size());
            manifest.unresolvedMemberCount = artifact.unresolvedMemberCount;
            manifests.push_back(std::move(manifest));
        }
        if (message.artifactAvailability && message.artifactAvailability->rejectedCount >= 1) {
            SessionArtifactManifest unavailable;
            unavailable.id = "unavailable-" + message.id.uppercaseString();
            unavailable.sourceTurnID = message.id;
            unavailable.label = "Unavailable structured set";
            unavailable.availability = message.artifactAvailability->state;
            manifests.push_back(std::move(unavailable));
        }
    }
    return manifests;
}

}  // namespace vask
