#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "memory/memory_receipt.h"

namespace vask {
namespace {

using S = MemoryReceiptStatus;
using Op = MemoryMutationOperation;

MemoryReceipt receipt(S status, std::optional<Op> operation,
                      std::optional<std::string> definition = "lake house") {
    return MemoryReceipt{Uuid::random(),
                         operation,
                         status,
                         "cabin",
                         std::move(definition),
                         MemoryProvenance::inferred,
                         5};
}

TEST(MemoryReceipt, LabelsAndDetails) {
    struct Case {
        MemoryReceipt receipt;
        const char* label;
        std::optional<std::string> detail;
    };
    const Case cases[] = {
        {receipt(S::undone, Op::create), "Removed from memory", "cabin = lake house"},
        {receipt(S::failed, Op::create), "Memory wasn\u2019t changed", std::nullopt},
        {receipt(S::committed, Op::suggest), "Saved to memory", "cabin = lake house"},
        {receipt(S::committed, Op::update), "Updated memory", "cabin = lake house"},
        {receipt(S::committed, Op::forget), "Forgot from memory", "cabin"},
        {receipt(S::committed, std::nullopt, std::nullopt), "Memory updated", "cabin"},
        {MemoryReceipt::failure(), "Memory wasn\u2019t changed", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.receipt.label(), c.label);
        EXPECT_EQ(c.receipt.detail(), c.detail);
    }
}

TEST(MemoryReceipt, GroupTexts) {
    struct Case {
        std::vector<S> statuses;
        const char* label;
        const char* symbol;
    };
    const Case cases[] = {
        {{S::committed, S::committed, S::committed}, "3 saved to memory", "checkmark.circle.fill"},
        {{S::undone, S::undone}, "2 removed from memory", "arrow.uturn.backward.circle.fill"},
        {{S::committed, S::undone, S::undone}, "1 saved \u00b7 2 undone", "checkmark.circle.fill"},
        {{}, "0 saved to memory", "arrow.uturn.backward.circle.fill"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<MemoryReceipt> receipts;
        for (auto status : c.statuses) {
            receipts.push_back(receipt(status, Op::suggest));
        }
        EXPECT_EQ(AutoSaveReceiptGroupPresentation::label(receipts), c.label);
        EXPECT_EQ(AutoSaveReceiptGroupPresentation::symbolName(receipts), c.symbol);
    }
}

TEST(MemoryReceipt, JsonRoundTripAndStrictDecoding) {
    const auto full = receipt(S::committed, Op::suggest);
    const auto json = full.toJson();
    EXPECT_EQ(json.at("id"), full.id.uppercaseString());
    EXPECT_EQ(json.at("updatedAt"), 5);
    EXPECT_EQ(MemoryReceipt::fromJson(json), full);
    EXPECT_FALSE(MemoryReceipt::failure().toJson().contains("term"));

    const auto minimal = MemoryReceipt::fromJson(
        {{"id", "3f2a9c4e-1b7d-4e8a-9c0f-5d6e7f8a9b0c"}, {"status", "undone"}});
    EXPECT_EQ(minimal.status, S::undone);
    EXPECT_FALSE(minimal.operation || minimal.term || minimal.definition || minimal.provenance ||
                 minimal.updatedAt);

    // A null optional value counts as absent, as in the rest of a stored chat message.
    const std::vector<std::pair<const char*, void (*)(MemoryReceipt&)>> nullable = {
        {"operation", [](MemoryReceipt& r) { r.operation.reset(); }},
        {"term", [](MemoryReceipt& r) { r.term.reset(); }},
        {"definition", [](MemoryReceipt& r) { r.definition.reset(); }},
        {"provenance", [](MemoryReceipt& r) { r.provenance.reset(); }},
        {"updatedAt", [](MemoryReceipt& r) { r.updatedAt.reset(); }},
    };
    for (const auto& [key, clear] : nullable) {
        SCOPED_TRACE(key);
        auto withNull = json;
        withNull[key] = nullptr;
        auto expected = full;
        clear(expected);
        EXPECT_EQ(MemoryReceipt::fromJson(withNull), expected);
    }

    const nlohmann::json bad[] = {
        {{"id", "3F2A9C4E-1B7D-4E8A-9C0F-5D6E7F8A9B0C"}},
        {{"status", "failed"}},
        {{"id", "not-a-uuid"}, {"status", "failed"}},
        {{"id", "3F2A9C4E-1B7D-4E8A-9C0F-5D6E7F8A9B0C"}, {"status", "Failed"}},
        {{"id", "3F2A9C4E-1B7D-4E8A-9C0F-5D6E7F8A9B0C"},
         {"status", "failed"},
         {"operation", "delete"}},
        {{"id", "3F2A9C4E-1B7D-4E8A-9C0F-5D6E7F8A9B0C"}, {"status", "failed"}, {"updatedAt", 1.5}},
        {{"id", "3F2A9C4E-1B7D-4E8A-9C0F-5D6E7F8A9B0C"}, {"status", nullptr}},
        {{"id", nullptr}, {"status", "failed"}},
    };
    for (const auto& candidate : bad) {
        SCOPED_TRACE(candidate.dump());
        EXPECT_THROW(MemoryReceipt::fromJson(candidate), MemoryReceipt::DecodeError);
    }
}

}  // namespace
}  // namespace vask
