#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "memory/memory_association.h"
#include "platform/uuid.h"

namespace vask {

enum class MemoryMutationOperation { create, suggest, update, forget };

std::string_view rawValue(MemoryMutationOperation operation);
// Exact names only; "Create" or "delete" give nothing.
std::optional<MemoryMutationOperation> memoryMutationOperation(std::string_view rawValue);

// One requested change to a principal's associations.
struct MemoryMutation {
    struct Create {
        std::string term;
        std::string definition;
        bool operator==(const Create&) const = default;
    };
    struct Suggest {
        std::string term;
        std::string definition;
        std::string rationale;
        bool operator==(const Suggest&) const = default;
    };
    struct Update {
        Uuid id;
        std::string term;
        std::string definition;
        bool operator==(const Update&) const = default;
    };
    struct Forget {
        Uuid id;
        bool operator==(const Forget&) const = default;
    };

    std::variant<Create, Suggest, Update, Forget> value;

    MemoryMutationOperation operation() const;
    bool operator==(const MemoryMutation&) const = default;
};

// One applied mutation and the row after the change.
struct CommittedMemoryMutation {
    MemoryMutationOperation operation;
    MemoryAssociation association;

    bool operator==(const CommittedMemoryMutation&) const = default;
};

}  // namespace vask
