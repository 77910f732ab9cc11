#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "foundation/structured_logger.h"
#include "memory/memory_authorization_gate.h"
#include "memory/memory_receipt.h"
#include "memory/memory_store.h"
#include "platform/clock.h"
#include "platform/json_value.h"

namespace vask {

// Applies the memory request of an answer on behalf of the account that asked, only while it is
// still signed in and only for an authoritative answer, and reports the outcome as receipts.
// Both operations block on the store: run them off the main executor. They never throw.
class MemoryMutationCoordinator {
  public:
    MemoryMutationCoordinator(std::shared_ptr<MemoryStore> store,
                              std::shared_ptr<MemoryAuthorizationGate> authorizationGate,
                              StructuredLogger logger, const Clock& clock = Clock::system());

    std::vector<MemoryReceipt> apply(const JSONValue::Object& metadata, std::string_view userText,
                                     const std::optional<MemoryPrincipal>& requestPrincipal,
                                     const std::optional<MemoryPrincipal>& authorizedPrincipal,
                                     bool answerIsAuthoritative) const noexcept;

    // True when the automatic save of `receipt` was undone.
    bool undoAutoSave(const MemoryReceipt& receipt,
                      const std::optional<MemoryPrincipal>& requestPrincipal,
                      const std::optional<MemoryPrincipal>& authorizedPrincipal) const noexcept;

  private:
    MemoryStore::Authorizing authorizing(const MemoryAuthorizationToken& token) const;
    void log(bool isError, std::string_view operation, std::string_view result, std::size_t count,
             const char* errorType = nullptr) const noexcept;

    std::shared_ptr<MemoryStore> store_;
    std::shared_ptr<MemoryAuthorizationGate> authorizationGate_;
    StructuredLogger logger_;
    const Clock& clock_;
};

}  // namespace vask
