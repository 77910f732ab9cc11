#include "memory/memory_receipt.h"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace vask {
namespace {

std::optional<MemoryReceiptStatus> memoryReceiptStatus(std::string_view text) {
    for (auto status : {MemoryReceiptStatus::committed, MemoryReceiptStatus::undone,
                        MemoryReceiptStatus::failed}) {
        if (rawValue(status) == text) {
            return status;
        }
    }
    return std::nullopt;
}

const std::string& requiredString(const nlohmann::json& json, const char* key) {
    const auto found = json.find(key);
    if (found == json.end() || !found->is_string()) {
        throw MemoryReceipt::DecodeError(std::string("\"") + key + "\" must be a string");
    }
    return found->get_ref<const std::string&>();
}

// A null value counts as absent, as everywhere else in chat records.
const std::string* optionalString(const nlohmann::json& json, const char* key) {
    const auto found = json.find(key);
    if (found == json.end() || found->is_null()) {
        return nullptr;
    }
    return &requiredString(json, key);
}

template <typename T, typename Parse>
std::optional<T> optionalEnum(const nlohmann::json& json, const char* key, Parse parse) {
    const auto* text = optionalString(json, key);
    if (text == nullptr) {
        return std::nullopt;
    }
    auto value = parse(*text);
    if (!value) {
        throw MemoryReceipt::DecodeError(std::string("\"") + key + "\" has an unknown value");
    }
    return value;
}

}  // namespace

std::string_view rawValue(MemoryReceiptStatus status) {
    switch (status) {
        case MemoryReceiptStatus::committed:
            return "committed";
        case MemoryReceiptStatus::undone:
            return "undone";
        case MemoryReceiptStatus::failed:
            return "failed";
    }
    return "failed";
}

MemoryReceipt MemoryReceipt::failure() {
    MemoryReceipt receipt;
    receipt.status = MemoryReceiptStatus::failed;
    return receipt;
}

std::string MemoryReceipt::label() const {
    switch (status) {
        case MemoryReceiptStatus::undone:
            return "Removed from memory";
        case MemoryReceiptStatus::failed:
            return "Memory wasn\u2019t changed";
        case MemoryReceiptStatus::committed:
            break;
    }
    if (!operation) {
        return "Memory updated";
    }
    switch (*operation) {
        case MemoryMutationOperation::create:
        case MemoryMutationOperation::suggest:
            return "Saved to memory";
        case MemoryMutationOperation::update:
            return "Updated memory";
        case MemoryMutationOperation::forget:
            return "Forgot from memory";
    }
    return "Memory updated";
}

std::optional<std::string> MemoryReceipt::detail() const {
    if (status == MemoryReceiptStatus::failed || !term) {
        return std::nullopt;
    }
    if (operation == MemoryMutationOperation::forget || !definition) {
        return *term;
    }
    return *term + " = " + *definition;
}

nlohmann::json MemoryReceipt::toJson() const {
    nlohmann::json json = nlohmann::json::object();
    json["id"] = id.uppercaseString();
    if (operation) {
        json["operation"] = std::string(rawValue(*operation));
    }
    json["status"] = std::string(rawValue(status));
    if (term) {
        json["term"] = *term;
    }
    if (definition) {
        json["definition"] = *definition;
    }
    if (provenance) {
        json["provenance"] = std::string(rawValue(*provenance));
    }
    if (updatedAt) {
        json["updatedAt"] = *updatedAt;
    }
    return json;
}

MemoryReceipt MemoryReceipt::fromJson(const nlohmann::json& json) {
    if (!json.is_object()) {
        throw DecodeError("not a JSON object");
    }
    MemoryReceipt receipt;
    const auto id = Uuid::parse(requiredString(json, "id"));
    if (!id) {
        throw DecodeError("\"id\" is not a UUID");
    }
    receipt.id = *id;
    const auto status = memoryReceiptStatus(requiredString(json, "status"));
    if (!status) {
        throw DecodeError("\"status\" has an unknown value");
    }
    receipt.status = *status;
    receipt.operation = optionalEnum<MemoryMutationOperation>(
        json, "operation", [](std::string_view s) { return memoryMutationOperation(s); });
    receipt.provenance = optionalEnum<MemoryProvenance>(
        json, "provenance", [](std::string_view s) { return memoryProvenance(s); });
    if (const auto* term = optionalString(json, "term")) {
        receipt.term = *term;
    }
    if (const auto* definition = optionalString(json, "definition")) {
        receipt.definition = *definition;
    }
    if (const auto found = json.find("updatedAt"); found != json.end() && !found->is_null()) {
        if (!found->is_number_integer()) {
            throw DecodeError("\"updatedAt\" must be a whole number");
        }
        receipt.updatedAt = found->get<std::int64_t>();
    }
    return receipt;
}

void to_json(nlohmann::json& json, const MemoryReceipt& receipt) {
    json = receipt.toJson();
}

void from_json(const nlohmann::json& json, MemoryReceipt& receipt) {
    receipt = MemoryReceipt::fromJson(json);
}

namespace AutoSaveReceiptGroupPresentation {

std::string symbolName(const std::vector<MemoryReceipt>& receipts) {
    const bool anyCommitted = std::any_of(receipts.begin(), receipts.end(), [](const auto& r) {
        return r.status == MemoryReceiptStatus::committed;
    });
    return anyCommitted ? "checkmark.circle.fill" : "arrow.uturn.backward.circle.fill";
}

std::string label(const std::vector<MemoryReceipt>& receipts) {
    const auto count = [&](MemoryReceiptStatus status) {
        return std::count_if(receipts.begin(), receipts.end(),
                             [status](const auto& r) { return r.status == status; });
    };
    const auto committed = count(MemoryReceiptStatus::committed);
    const auto undone = count(MemoryReceiptStatus::undone);
    if (static_cast<std::size_t>(committed) == receipts.size()) {
        return std::to_string(receipts.size()) + " saved to memory";
    }
    if (committed == 0) {
        return std::to_string(undone) + " removed from memory";
    }
    return std::to_string(committed) + " saved \u00b7 " + std::to_string(undone) + " undone";
}

}  // namespace AutoSaveReceiptGroupPresentation

}  // namespace vask
