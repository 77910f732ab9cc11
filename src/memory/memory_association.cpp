#include "memory/memory_association.h"

namespace vask {

std::string_view rawValue(MemoryProvenance provenance) {
    return provenance == MemoryProvenance::inferred ? "inferred" : "explicit";
}

std::optional<MemoryProvenance> memoryProvenance(std::string_view rawValue) {
    if (rawValue == "explicit") {
        return MemoryProvenance::explicitlySaved;
    }
    if (rawValue == "inferred") {
        return MemoryProvenance::inferred;
    }
    return std::nullopt;
}

std::string_view rawValue(MemoryAssociationState state) {
    return state == MemoryAssociationState::tombstoned ? "tombstoned" : "active";
}

std::optional<MemoryAssociationState> memoryAssociationState(std::string_view rawValue) {
    if (rawValue == "active") {
        return MemoryAssociationState::active;
    }
    if (rawValue == "tombstoned") {
        return MemoryAssociationState::tombstoned;
    }
    return std::nullopt;
}

}  // namespace vask
