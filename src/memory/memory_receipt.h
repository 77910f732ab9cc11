#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "memory/memory_association.h"
#include "memory/memory_mutation.h"
#include "platform/error.h"
#include "platform/uuid.h"

namespace vask {

enum class MemoryReceiptStatus { committed, undone, failed };

std::string_view rawValue(MemoryReceiptStatus status);

// The record of one memory change made for a chat turn, saved inside its answer message.
struct MemoryReceipt {
    class DecodeError : public Error {
      public:
        explicit DecodeError(const std::string& reason)
            : Error("Memory receipt could not be read: " + reason) {}
    };

    Uuid id;
    std::optional<MemoryMutationOperation> operation;
    MemoryReceiptStatus status = MemoryReceiptStatus::committed;
    std::optional<std::string> term;
    std::optional<std::string> definition;
    std::optional<MemoryProvenance> provenance;
    std::optional<std::int64_t> updatedAt;

    // The one receipt of a rejected batch: the all-zero id, failed, nothing else.
    static MemoryReceipt failure();

    std::string label() const;
    std::optional<std::string> detail() const;

    // camelCase keys; absent fields are left out; the id is written in upper case.
    nlohmann::json toJson() const;
    // Needs "id" (either case) and "status"; throws DecodeError otherwise or on an unknown name.
    static MemoryReceipt fromJson(const nlohmann::json& json);

    bool operator==(const MemoryReceipt&) const = default;
};

void to_json(nlohmann::json& json, const MemoryReceipt& receipt);
void from_json(const nlohmann::json& json, MemoryReceipt& receipt);

// Texts for the automatic saves of one answer, shown as one group.
namespace AutoSaveReceiptGroupPresentation {
std::string symbolName(const std::vector<MemoryReceipt>& receipts);
std::string label(const std::vector<MemoryReceipt>& receipts);
}  // namespace AutoSaveReceiptGroupPresentation

}  // namespace vask
