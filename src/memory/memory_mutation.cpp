#include "memory/memory_mutation.h"

namespace vask {

std::string_view rawValue(MemoryMutationOperation operation) {
    switch (operation) {
        case MemoryMutationOperation::create:
            return "create";
        case MemoryMutationOperation::suggest:
            return "suggest";
        case MemoryMutationOperation::update:
            return "update";
        case MemoryMutationOperation::forget:
            return "forget";
    }
    return "create";
}

std::optional<MemoryMutationOperation> memoryMutationOperation(std::string_view rawValue) {
    for (auto operation : {MemoryMutationOperation::create, MemoryMutationOperation::suggest,
                           MemoryMutationOperation::update, MemoryMutationOperation::forget}) {
        if (vask::rawValue(operation) == rawValue) {
            return operation;
        }
    }
    return std::nullopt;
}

MemoryMutationOperation MemoryMutation::operation() const {
    return static_cast<MemoryMutationOperation>(value.index());
}

}  // namespace vask
