#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "memory/memory_mutation_coordinator.h"
#include "memory/memory_principal.h"
#include "memory/memory_receipt.h"
#include "platform/json_value.h"

namespace vask {

// The memory changes an answer asks for, and the undo of an automatic save. Blocking: the chat
// calls it on a worker. Never throws.
class ChatMemoryCommitter {
  public:
    virtual ~ChatMemoryCommitter() = default;
    virtual std::vector<MemoryReceipt> apply(
        const JSONValue::Object& metadata, std::string_view userText,
        const std::optional<MemoryPrincipal>& requestPrincipal,
        const std::optional<MemoryPrincipal>& authorizedPrincipal,
        bool answerIsAuthoritative) const noexcept = 0;
    virtual bool undoAutoSave(
        const MemoryReceipt& receipt, const std::optional<MemoryPrincipal>& requestPrincipal,
        const std::optional<MemoryPrincipal>& authorizedPrincipal) const noexcept = 0;
};

// Private memory's mutation coordinator behind the chat's interface.
class MutationCoordinatorCommitter final : public ChatMemoryCommitter {
  public:
    explicit MutationCoordinatorCommitter(MemoryMutationCoordinator coordinator)
        : coordinator_(std::move(coordinator)) {}

    std::vector<MemoryReceipt> apply(const JSONValue::Object& metadata, std::string_view userText,
                                     const std::optional<MemoryPrincipal>& requestPrincipal,
                                     const std::optional<MemoryPrincipal>& authorizedPrincipal,
                                     bool answerIsAuthoritative) const noexcept override {
        return coordinator_.apply(metadata, userText, requestPrincipal, authorizedPrincipal,
                                  answerIsAuthoritative);
    }
    bool undoAutoSave(
        const MemoryReceipt& receipt, const std::optional<MemoryPrincipal>& requestPrincipal,
        const std::optional<MemoryPrincipal>& authorizedPrincipal) const noexcept override {
        return coordinator_.undoAutoSave(receipt, requestPrincipal, authorizedPrincipal);
    }

  private:
    MemoryMutationCoordinator coordinator_;
};

}  // namespace vask
