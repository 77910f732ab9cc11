#include "records/session_artifact.h"

#include <array>

#include "records/record_json.h"

namespace vask {

using namespace record_json;

namespace {

constexpr std::array allNamespaces{SessionEntityNamespace::contactAppleID,
                                   SessionEntityNamespace::messageSender,
                                   SessionEntityNamespace::messageChatID};

constexpr std::array allStates{SessionArtifactAvailability::State::available,
                               SessionArtifactAvailability::State::partiallyAvailable,
                               SessionArtifactAvailability::State::invalid,
                               SessionArtifactAvailability::State::unusable,
                               SessionArtifactAvailability::State::budgetExceeded};

RecordDecodingError unknownValue(std::string_view key, std::string_view text) {
    return RecordDecodingError::dataCorrupted("Unknown value \"" + std::string(text) +
                                              "\" under key \"" + std::string(key) + "\".");
}

}  // namespace

std::string_view rawValue(SessionEntityNamespace entityNamespace) {
    switch (entityNamespace) {
        case SessionEntityNamespace::contactAppleID:
            return "contacts.apple_id";
        case SessionEntityNamespace::messageSender:
            return "messages.sender";
        case SessionEntityNamespace::messageChatID:
            return "messages.chat_id";
    }
    return "contacts.apple_id";
}

std::optional<SessionEntityNamespace> sessionEntityNamespace(std::string_view text) {
    for (auto entityNamespace : allNamespaces) {
        if (rawValue(entityNamespace) == text) {
            return entityNamespace;
        }
    }
    return std::nullopt;
}

std::string_view rawValue(SessionArtifactKind) {
    return "entity_set";
}

std::string_view rawValue(SessionArtifactAvailability::State state) {
    using State = SessionArtifactAvailability::State;
    switch (state) {
        case State::available:
            return "available";
        case State::partiallyAvailable:
            return "partially_available";
        case State::invalid:
            return "invalid";
        case State::unusable:
            return "unusable";
        case State::budgetExceeded:
            return "budget_exceeded";
    }
    return "invalid";
}

std::optional<SessionArtifactAvailability::State> sessionArtifactAvailabilityState(
    std::string_view text) {
    for (auto state : allStates) {
        if (rawValue(state) == text) {
            return state;
        }
    }
    return std::nullopt;
}

Json SessionEntityRef::toJson() const {
    return Json{{"namespace", rawValue(entityNamespace)}, {"value", value}};
}

SessionEntityRef SessionEntityRef::fromJson(const Json& json) {
    const auto& fields = object(json, "SessionEntityRef");
    const auto text = requiredString(fields, "namespace");
    auto entityNamespace = sessionEntityNamespace(text);
    if (!entityNamespace) {
        throw unknownValue("namespace", text);
    }
    return SessionEntityRef{*entityNamespace, requiredString(fields, "value")};
}

Json SessionArtifact::toJson() const {
    Json memberList = Json::array();
    for (const auto& member : members) {
        memberList.push_back(member.toJson());
    }
    return Json{{"schema_version", schemaVersion},
                {"id", uuidValue(id)},
                {"source_turn_id", uuidValue(sourceTurnID)},
                {"kind", rawValue(kind)},
                {"label", label},
                {"definition", definition},
                {"members", std::move(memberList)},
                {"unresolved_member_count", unresolvedMemberCount},
                {"created_at", dateValue(createdAt)}};
}

SessionArtifact SessionArtifact::fromJson(const Json& json) {
    const auto& fields = object(json, "SessionArtifact");
    SessionArtifact artifact;
    artifact.schemaVersion = requiredInteger(fields, "schema_version");
    artifact.id = uuid(required(fields, "id"), "id");
    artifact.sourceTurnID = uuid(required(fields, "source_turn_id"), "source_turn_id");
    const auto kind = requiredString(fields, "kind");
    if (kind != rawValue(SessionArtifactKind::entitySet)) {
        throw unknownValue("kind", kind);
    }
    artifact.label = requiredString(fields, "label");
    artifact.definition = requiredString(fields, "definition");
    for (const auto& member : array(required(fields, "members"), "members")) {
        artifact.members.push_back(SessionEntityRef::fromJson(member));
    }
    artifact.unresolvedMemberCount = requiredInteger(fields, "unresolved_member_count");
    artifact.createdAt = date(required(fields, "created_at"), "created_at");
    return artifact;
}

Json SessionArtifactAvailability::toJson() const {
    return Json{{"state", rawValue(state)},
                {"accepted_count", acceptedCount},
                {"rejected_count", rejectedCount}};
}

SessionArtifactAvailability SessionArtifactAvailability::fromJson(const Json& json) {
    const auto& fields = object(json, "SessionArtifactAvailability");
    const auto text = requiredString(fields, "state");
    auto state = sessionArtifactAvailabilityState(text);
    if (!state) {
        throw unknownValue("state", text);
    }
    return SessionArtifactAvailability{*state, requiredInteger(fields, "accepted_count"),
                                       requiredInteger(fields, "rejected_count")};
}

}  // namespace vask
