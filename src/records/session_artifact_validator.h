#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/uuid.h"
#include "records/session_artifact.h"
#include "records/session_artifact_candidate.h"

namespace vask {

struct SessionArtifactValidationResult {
    // Accepted artifacts in candidate order.
    std::vector<SessionArtifact> artifacts;
    // Absent when there were no candidates.
    std::optional<SessionArtifactAvailability> availability;
};

// Judges the entity sets one answer proposed against fixed limits and the user's databases.
// Best effort: it never fails; every problem is a rejection.
class SessionArtifactValidator {
  public:
    // Byte limits are UTF-8 bytes, measured as received.
    static constexpr std::size_t maxLabelAndDefinitionBytes = 4096;
    static constexpr std::size_t minMembers = 1;
    static constexpr std::size_t maxMembers = 2000;
    static constexpr std::size_t maxMemberValueBytes = 512;
    static constexpr std::size_t maxArtifactBytes = 262144;
    static constexpr std::size_t maxSessionArtifactBytes = 1048576;

    static SessionArtifactValidationResult validate(
        const std::vector<SessionArtifactCandidate>& candidates, const Uuid& sourceTurnID,
        const std::vector<SessionArtifact>& existingArtifacts, const std::filesystem::path& dbPath,
        const std::optional<std::filesystem::path>& contactsDBPath);

    // Bytes of the artifact's compact JSON; nothing when it cannot be encoded, which counts as
    // larger than every limit.
    static std::optional<std::size_t> encodedSize(const SessionArtifact& artifact);
};

}  // namespace vask
