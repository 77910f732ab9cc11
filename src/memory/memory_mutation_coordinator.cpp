#include "memory/memory_mutation_coordinator.h"

#include "memory/memory_directive_kind.h"
#include "memory/memory_mutation_validator.h"

namespace vask {
namespace {

constexpr std::string_view event = "memory_mutation_completed";

bool containsExplicitMutationProposal(const JSONValue::Object& metadata) {
    const auto found = metadata.find("memory_operations");
    const auto* array = found != metadata.end() ? found->second.asArray() : nullptr;
    if (array == nullptr) {
        return false;
    }
    for (const auto& element : *array) {
        const auto* object = element.asObject();
        if (object == nullptr) {
            continue;
        }
        const auto op = object->find("op");
        if (op != object->end() && op->second.asString() != nullptr &&
            *op->second.asString() != "suggest") {
            return true;
        }
    }
    return false;
}

}  // namespace

MemoryMutationCoordinator::MemoryMutationCoordinator(
    std::shared_ptr<MemoryStore> store, std::shared_ptr<MemoryAuthorizationGate> authorizationGate,
    StructuredLogger logger, const Clock& clock)
    : store_(std::move(store)),
      authorizationGate_(std::move(authorizationGate)),
      logger_(std::move(logger)),
      clock_(clock) {}

MemoryStore::Authorizing MemoryMutationCoordinator::authorizing(
    const MemoryAuthorizationToken& token) const {
    return [gate = authorizationGate_, token] { return gate->permits(token); };
}

void MemoryMutationCoordinator::log(bool isError, std::string_view operation,
                                    std::string_view result, std::size_t count,
                                    const char* errorType) const noexcept {
    try {
        StructuredLogger::Metadata metadata{{"operation", std::string(operation)},
                                            {"result", std::string(result)},
                                            {"count", std::to_string(count)}};
        if (errorType != nullptr) {
            metadata["error_type"] = errorType;
        }
        if (isError) {
            logger_.error(event, metadata);
        } else if (result == "success") {
            logger_.info(event, metadata);
        } else {
            logger_.warning(event, metadata);
        }
    } catch (...) {
        // Logging is best effort; a failure to allocate the line must not undo a write.
        return;
    }
}

std::vector<MemoryReceipt> MemoryMutationCoordinator::apply(
    const JSONValue::Object& metadata, std::string_view userText,
    const std::optional<MemoryPrincipal>& requestPrincipal,
    const std::optional<MemoryPrincipal>& authorizedPrincipal,
    bool answerIsAuthoritative) const noexcept {
    // Whether a failure is reported with a failure receipt: only for what the user asked for
    // outright; automatic suggestions fail silently, whichever path the failure takes.
    std::optional<bool> explicitRequest;
    try {
        const auto directive = memory_directive::classify(userText);
        explicitRequest = directive || containsExplicitMutationProposal(metadata);
        if (!metadata.contains("memory_operations") && !directive) {
            return {};
        }
        std::vector<MemoryReceipt> failureResult;
        if (*explicitRequest) {
            failureResult.push_back(MemoryReceipt::failure());
        }
        if (!answerIsAuthoritative) {
            log(false, "batch", "rejected_non_authoritative", 0);
            return failureResult;
        }
        if (!requestPrincipal || !authorizedPrincipal ||
            requestPrincipal->rawValue() != authorizedPrincipal->rawValue()) {
            log(false, "batch", "rejected_authorization", 0);
            return failureResult;
        }
        const auto token = authorizationGate_->issueToken(*requestPrincipal);
        if (!token) {
            log(false, "batch", "rejected_authorization", 0);
            return failureResult;
        }
        if (!store_) {
            log(false, "batch", "unavailable", 0);
            return failureResult;
        }
        std::vector<MemoryMutation> mutations;
        try {
            mutations = MemoryMutationValidator::validate(metadata, userText);
        } catch (const MemoryMutationValidationError& error) {
            log(false, "batch", "rejected_validation", 0, memoryErrorTypeName(error));
            return failureResult;
        }
        std::vector<CommittedMemoryMutation> committed;
        try {
            committed = store_->apply(mutations, *requestPrincipal, authorizing(*token));
        } catch (const MemoryMutationValidationError& error) {
            log(false, "batch", "rejected_validation", 0, memoryErrorTypeName(error));
            return failureResult;
        } catch (const std::exception& error) {
            log(true, "batch", "failure", 0, memoryErrorTypeName(error));
            return failureResult;
        }
        std::vector<MemoryReceipt> receipts;
        receipts.reserve(committed.size());
        for (const auto& mutation : committed) {
            const auto& association = mutation.association;
            receipts.push_back(MemoryReceipt{association.id, mutation.operation,
                                             MemoryReceiptStatus::committed, association.term,
                                             association.definition, association.provenance,
                                             association.updatedAt});
        }
        log(false, "batch", "success", receipts.size());
        return receipts;
    } catch (const std::exception& error) {
        // Only an allocation failure gets here; the answer still stands.
        log(true, "batch", "failure", 0, memoryErrorTypeName(error));
        if (!explicitRequest) {
            try {
                explicitRequest = memory_directive::classify(userText).has_value() ||
                                  containsExplicitMutationProposal(metadata);
            } catch (const std::exception&) {
                explicitRequest = false;  // still out of memory: say nothing
            }
        }
        if (!*explicitRequest) {
            return {};
        }
        return {MemoryReceipt::failure()};
    }
}

bool MemoryMutationCoordinator::undoAutoSave(
    const MemoryReceipt& receipt, const std::optional<MemoryPrincipal>& requestPrincipal,
    const std::optional<MemoryPrincipal>& authorizedPrincipal) const noexcept {
    const bool undoable = receipt.operation == MemoryMutationOperation::suggest &&
                          receipt.provenance == MemoryProvenance::inferred &&
                          receipt.status == MemoryReceiptStatus::committed && receipt.term &&
                          receipt.definition && receipt.updatedAt && requestPrincipal &&
                          authorizedPrincipal && *requestPrincipal == *authorizedPrincipal;
    if (!undoable) {
        return false;
    }
    const auto token = authorizationGate_->issueToken(*requestPrincipal);
    if (!token || !store_) {
        return false;
    }
    try {
        store_->undoInferredAssociation(
            receipt.id, *requestPrincipal, *receipt.term, *receipt.definition, *receipt.updatedAt,
            MemoryStore::milliseconds(clock_.now()), authorizing(*token));
    } catch (const std::exception& error) {
        log(true, "undo", "failure", 0, memoryErrorTypeName(error));
        return false;
    }
    log(false, "undo", "success", 1);
    return true;
}

}  // namespace vask
