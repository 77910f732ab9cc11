#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "memory/memory_principal.h"
#include "platform/uuid.h"

namespace vask {

// explicit: saved or edited by the user; inferred: saved automatically from a suggestion.
enum class MemoryProvenance { explicitlySaved, inferred };
enum class MemoryAssociationState { active, tombstoned };

std::string_view rawValue(MemoryProvenance provenance);
std::optional<MemoryProvenance> memoryProvenance(std::string_view rawValue);
std::string_view rawValue(MemoryAssociationState state);
std::optional<MemoryAssociationState> memoryAssociationState(std::string_view rawValue);

// One saved term and its definition, owned by one principal. Times are milliseconds since 1970.
struct MemoryAssociation {
    Uuid id;
    MemoryPrincipal principal;
    std::string term;
    std::string definition;
    MemoryProvenance provenance = MemoryProvenance::explicitlySaved;
    MemoryAssociationState state = MemoryAssociationState::active;
    std::int64_t createdAt = 0;
    std::int64_t updatedAt = 0;

    bool operator==(const MemoryAssociation&) const = default;
};

}  // namespace vask
