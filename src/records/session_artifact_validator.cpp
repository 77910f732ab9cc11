#include "records/session_artifact_validator.h"

#include <algorithm>
#include <chrono>
#include <set>

#include "records/artifact_reference_resolver.h"
#include "records/record_json.h"

namespace vask {
namespace {

enum class Outcome { invalid, unusable, overBudget, accepted };

// Sizes that saturate: one artifact that cannot be encoded makes every sum "too large".
struct Size {
    std::optional<std::size_t> bytes = std::size_t{0};

    Size operator+(const Size& other) const {
        if (!bytes || !other.bytes) {
            return Size{std::nullopt};
        }
        return Size{*bytes + *other.bytes};
    }
    bool exceeds(std::size_t limit) const { return !bytes || *bytes > limit; }
};

bool passesChecks(const SessionArtifactCandidate& candidate) {
    using Validator = SessionArtifactValidator;
    if (candidate.schemaVersion != 1 ||
        candidate.kind != rawValue(SessionArtifactKind::entitySet) || candidate.label.empty() ||
        candidate.label.size() + candidate.definition.size() >
            Validator::maxLabelAndDefinitionBytes ||
        candidate.members.size() < Validator::minMembers ||
        candidate.members.size() > Validator::maxMembers) {
        return false;
    }
    return std::all_of(candidate.members.begin(), candidate.members.end(), [](const auto& member) {
        return sessionEntityNamespace(member.entityNamespace).has_value() &&
               !member.value.empty() && member.value.find('\0') == std::string::npos &&
               member.value.size() <= Validator::maxMemberValueBytes;
    });
}

std::vector<SessionEntityRef> distinctReferences(const SessionArtifactCandidate& candidate) {
    std::vector<SessionEntityRef> references;
    std::set<SessionEntityRef> seen;
    for (const auto& member : candidate.members) {
        SessionEntityRef reference{*sessionEntityNamespace(member.entityNamespace), member.value};
        if (seen.insert(reference).second) {
            references.push_back(std::move(reference));
        }
    }
    return references;
}

SessionArtifactAvailability::State stateOf(const std::vector<SessionArtifact>& accepted,
                                           const std::vector<Outcome>& outcomes) {
    using State = SessionArtifactAvailability::State;
    const auto count = [&](Outcome outcome) {
        return std::count(outcomes.begin(), outcomes.end(), outcome);
    };
    if (!accepted.empty()) {
        const bool allResolved =
            std::all_of(accepted.begin(), accepted.end(),
                        [](const auto& artifact) { return artifact.unresolvedMemberCount == 0; });
        return allResolved && accepted.size() == outcomes.size() ? State::available
                                                                 : State::partiallyAvailable;
    }
    if (count(Outcome::overBudget) > 0) {
        return State::budgetExceeded;
    }
    return count(Outcome::unusable) > 0 ? State::unusable : State::invalid;
}

}  // namespace

std::optional<std::size_t> SessionArtifactValidator::encodedSize(const SessionArtifact& artifact) {
    auto text = record_json::dump(artifact.toJson());
    if (!text) {
        return std::nullopt;
    }
    return text->size();
}

SessionArtifactValidationResult SessionArtifactValidator::validate(
    const std::vector<SessionArtifactCandidate>& candidates, const Uuid& sourceTurnID,
    const std::vector<SessionArtifact>& existingArtifacts, const std::filesystem::path& dbPath,
    const std::optional<std::filesystem::path>& contactsDBPath) {
    if (candidates.empty()) {
        return {};
    }
    Size existing;
    for (const auto& artifact : existingArtifacts) {
        existing = existing + Size{encodedSize(artifact)};
    }
    ArtifactReferenceResolver resolver(dbPath, contactsDBPath);
    SessionArtifactValidationResult result;
    std::vector<Outcome> outcomes;
    Size acceptedSize;
    for (const auto& candidate : candidates) {
        if (!passesChecks(candidate)) {
            outcomes.push_back(Outcome::invalid);
            continue;
        }
        auto references = distinctReferences(candidate);
        const auto resolved =
            std::count_if(references.begin(), references.end(),
                          [&](const auto& ref) { return resolver.isResolved(ref); });
        if (resolved == 0) {
            outcomes.push_back(Outcome::unusable);
            continue;
        }
        SessionArtifact artifact;
        artifact.schemaVersion = 1;
        artifact.id = Uuid::random();
        artifact.sourceTurnID = sourceTurnID;
        artifact.label = candidate.label;
        artifact.definition = candidate.definition;
        artifact.unresolvedMemberCount = static_cast<std::int64_t>(references.size()) - resolved;
        artifact.members = std::move(references);
        artifact.createdAt = std::chrono::system_clock::now();
        const Size size{encodedSize(artifact)};
        if (size.exceeds(maxArtifactBytes)) {
            outcomes.push_back(Outcome::invalid);
        } else if ((existing + acceptedSize + size).exceeds(maxSessionArtifactBytes)) {
            outcomes.push_back(Outcome::overBudget);
        } else {
            outcomes.push_back(Outcome::accepted);
            acceptedSize = acceptedSize + size;
            result.artifacts.push_back(std::move(artifact));
        }
    }
    const auto accepted = static_cast<std::int64_t>(result.artifacts.size());
    result.availability =
        SessionArtifactAvailability{stateOf(result.artifacts, outcomes), accepted,
                                    static_cast<std::int64_t>(outcomes.size()) - accepted};
    return result;
}

}  // namespace vask
