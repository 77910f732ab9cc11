#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/uuid.h"
#include "records/chat_message.h"
#include "records/session_artifact.h"

namespace vask {

// What the helper is told of one entity set of the session on a later turn.
struct SessionArtifactManifest {
    std::string id;
    Uuid sourceTurnID;
    SessionArtifactKind kind = SessionArtifactKind::entitySet;
    std::string label;
    std::string definition;
    // Namespace text to the number of members in it.
    std::map<std::string, std::int64_t> namespaceCounts;
    std::int64_t memberCount = 0;
    std::int64_t unresolvedMemberCount = 0;
    std::optional<SessionArtifactAvailability::State> availability;

    // snake_case keys; "availability" left out when absent.
    nlohmann::json toJson() const;
    static SessionArtifactManifest fromJson(const nlohmann::json& json);

    // One manifest per kept artifact, in message order, plus an "unavailable-<message id>"
    // manifest after each message whose validation rejected anything, so the helper knows a set
    // it proposed is missing.
    static std::vector<SessionArtifactManifest> fromMessages(
        const std::vector<ChatMessage>& messages);

    bool operator==(const SessionArtifactManifest&) const = default;
};

}  // namespace vask
