#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/uuid.h"
#include "records/record_date.h"

namespace vask {

// Where a member of an entity set lives in the user's data.
enum class SessionEntityNamespace { contactAppleID, messageSender, messageChatID };

std::string_view rawValue(SessionEntityNamespace entityNamespace);
std::optional<SessionEntityNamespace> sessionEntityNamespace(std::string_view text);

enum class SessionArtifactKind { entitySet };

std::string_view rawValue(SessionArtifactKind kind);

// One member of an entity set: exact, case-sensitive namespace and value.
struct SessionEntityRef {
    SessionEntityNamespace entityNamespace = SessionEntityNamespace::contactAppleID;
    std::string value;

    nlohmann::json toJson() const;
    static SessionEntityRef fromJson(const nlohmann::json& json);

    // NOLINTNEXTLINE(modernize-use-nullptr): the defaulted comparison has no pointer in it.
    auto operator<=>(const SessionEntityRef&) const = default;
};

// An entity set proposed by the helper and accepted for one answer turn. Stored inside the
// message JSON with the helper's snake_case keys; never changed once accepted.
struct SessionArtifact {
    std::int64_t schemaVersion = 1;
    Uuid id;
    Uuid sourceTurnID;
    SessionArtifactKind kind = SessionArtifactKind::entitySet;
    std::string label;
    std::string definition;
    // Distinct members in first-seen order, resolved or not.
    std::vector<SessionEntityRef> members;
    std::int64_t unresolvedMemberCount = 0;
    RecordDate createdAt;

    nlohmann::json toJson() const;
    // Every key is required; throws RecordDecodingError.
    static SessionArtifact fromJson(const nlohmann::json& json);

    bool operator==(const SessionArtifact&) const = default;
};

// The outcome of validating one answer's proposals, kept on the answer turn.
struct SessionArtifactAvailability {
    enum class State { available, partiallyAvailable, invalid, unusable, budgetExceeded };

    State state = State::available;
    std::int64_t acceptedCount = 0;
    std::int64_t rejectedCount = 0;

    nlohmann::json toJson() const;
    static SessionArtifactAvailability fromJson(const nlohmann::json& json);

    bool operator==(const SessionArtifactAvailability&) const = default;
};

std::string_view rawValue(SessionArtifactAvailability::State state);
std::optional<SessionArtifactAvailability::State> sessionArtifactAvailabilityState(
    std::string_view text);

}  // namespace vask
