#include <gtest/gtest.h>

#include <algorithm>

#include "memory/memory_account_lifecycle_coordinator.h"
#include "memory/memory_mutation_coordinator.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

const char* saveDirective = "remember that the cabin means the lake house";
const char* statement = "my sister Bea is called Bean";

JSONValue str(std::string s) {
    return JSONValue::string(std::move(s));
}

JSONValue::Object operations(std::vector<JSONValue> ops) {
    return {{"memory_operations", JSONValue::array(std::move(ops))}};
}

JSONValue createOp() {
    return JSONValue::object(
        {{"op", str("create")}, {"term", str("cabin")}, {"definition", str("lake house")}});
}

JSONValue suggestOp(const std::string& term) {
    return JSONValue::object({{"op", str("suggest")},
                              {"term", str(term)},
                              {"definition", str(term + " def")},
                              {"rationale", str("said so")}});
}

class MemoryMutationCoordinatorTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    std::shared_ptr<MemoryStore> store =
        std::make_shared<MemoryStore>(dir / "memory.db", MemoryStoreChanges::make());
    std::shared_ptr<MemoryAuthorizationGate> gate = std::make_shared<MemoryAuthorizationGate>();
    MemoryMutationCoordinator coordinator{store, gate, StructuredLogger("memory-mutations")};
    MemoryPrincipal alice = *MemoryPrincipal::make("alice");
    MemoryPrincipal bob = *MemoryPrincipal::make("bob");
    test::LogCapture logs;

    // The "result" of each completion event, in order.
    std::vector<std::string> results() const {
        std::vector<std::string> out;
        for (const auto& record : logs->events("memory_mutation_completed")) {
            out.push_back(record.metadata.at("result"));
        }
        return out;
    }
};

TEST_F(MemoryMutationCoordinatorTest, OutcomeAndLogMatrix) {
    // What differs from an authoritative request by alice, authorised as alice, with a store.
    enum class Setting { usual, extracted, principalChanged, noPrincipal, suspended, noStore };
    using S = MemoryReceiptStatus;
    using enum Setting;
    struct Case {
        const char* name;
        JSONValue::Object metadata;
        const char* question;
        Setting setting;
        std::vector<S> receipts;
        std::string logged;  // the completion result, if one is logged
    };
    const auto create = operations({createOp()});
    const auto suggest = operations({suggestOp("a")});
    const std::vector<S> none, failed{S::failed}, saved{S::committed},
        twoSaved{S::committed, S::committed};
    const std::vector<Case> cases = {
        {"no request, no directive", {}, statement, usual, none, ""},
        {"directive without request", {}, saveDirective, usual, failed, "rejected_validation"},
        {"extracted create", create, saveDirective, extracted, failed,
         "rejected_non_authoritative"},
        {"extracted suggestion", suggest, statement, extracted, none, "rejected_non_authoritative"},
        {"principal changed", create, saveDirective, principalChanged, failed,
         "rejected_authorization"},
        {"no principal", suggest, statement, noPrincipal, none, "rejected_authorization"},
        {"suspended", create, saveDirective, suspended, failed, "rejected_authorization"},
        {"no store", create, saveDirective, noStore, failed, "unavailable"},
        {"proposal without directive", create, statement, usual, failed, "rejected_validation"},
        {"two suggestions", operations({suggestOp("a"), suggestOp("b")}), statement, usual,
         twoSaved, "success"},
        {"create under directive", create, saveDirective, usual, saved, "success"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logs->clear();
        auto caseGate = std::make_shared<MemoryAuthorizationGate>();
        if (c.setting == suspended) {
            caseGate->suspend(alice);
        }
        const MemoryMutationCoordinator subject(c.setting == noStore ? nullptr : store, caseGate,
                                                StructuredLogger("memory-mutations"));
        const auto principal =
            c.setting == noPrincipal ? std::nullopt : std::optional<MemoryPrincipal>(alice);
        const auto authorized = c.setting == principalChanged ? std::optional(bob) : principal;
        const auto receipts =
            subject.apply(c.metadata, c.question, principal, authorized, c.setting != extracted);
        std::vector<MemoryReceiptStatus> statuses;
        for (const auto& receipt : receipts) {
            statuses.push_back(receipt.status);
            if (receipt.status == S::failed) {
                EXPECT_EQ(receipt, MemoryReceipt::failure());
            }
        }
        EXPECT_EQ(statuses, c.receipts);
        EXPECT_EQ(results(), c.logged.empty() ? std::vector<std::string>{}
                                              : std::vector<std::string>{c.logged});
    }
}

TEST_F(MemoryMutationCoordinatorTest, CommittedReceiptsDescribeTheRowsAndCountThem) {
    const auto receipts = coordinator.apply(operations({suggestOp("Bean"), suggestOp("Cabin")}),
                                            statement, alice, alice, true);
    ASSERT_EQ(receipts.size(), 2u);
    EXPECT_EQ(receipts[0].label(), "Saved to memory");
    EXPECT_EQ(receipts[0].detail(), "Bean = Bean def");
    EXPECT_EQ(receipts[1].provenance, MemoryProvenance::inferred);
    const auto stored = store->activeAssociations(alice);
    ASSERT_EQ(stored.size(), 2u);
    const auto bean =
        std::find_if(stored.begin(), stored.end(), [](const auto& a) { return a.term == "Bean"; });
    ASSERT_NE(bean, stored.end());
    EXPECT_EQ(receipts[0].id, bean->id);
    EXPECT_EQ(receipts[0].updatedAt, bean->updatedAt);
    const auto events = logs->events("memory_mutation_completed");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].metadata.at("count"), "2");
    EXPECT_EQ(events[0].level, LogLevel::info);
}

TEST_F(MemoryMutationCoordinatorTest, StoreFailureMidBatchIsOneFailureReceipt) {
    const auto createFirst =
        JSONValue::object({{"op", str("create")}, {"term", str("x")}, {"definition", str("y")}});
    // The update of an unknown id fails in the store after the create ran.
    const auto updateUnknown = JSONValue::object({{"op", str("update")},
                                                  {"id", str(Uuid::random().lowercaseString())},
                                                  {"term", str("t")},
                                                  {"definition", str("d")}});
    const auto receipts = coordinator.apply(operations({createFirst, updateUnknown}), saveDirective,
                                            alice, alice, true);
    EXPECT_EQ(receipts, std::vector{MemoryReceipt::failure()});
    EXPECT_TRUE(store->activeAssociations(alice).empty());
    const auto events = logs->events("memory_mutation_completed");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].metadata.at("result"), "failure");
    EXPECT_EQ(events[0].metadata.at("error_type"), "MemoryStoreError");
    EXPECT_EQ(events[0].level, LogLevel::error);
}

TEST_F(MemoryMutationCoordinatorTest, UndoOnlyUndoesUntouchedAutomaticSaves) {
    auto receipts = coordinator.apply(operations({suggestOp("a"), suggestOp("b")}), statement,
                                      alice, alice, true);
    ASSERT_EQ(receipts.size(), 2u);
    // The user edits the second one in Settings before undoing it.
    store->updateAssociation(receipts[1].id, alice, "b", "edited", 99);
    auto createReceipt = receipts[0];
    createReceipt.operation = MemoryMutationOperation::create;
    logs->clear();

    EXPECT_FALSE(coordinator.undoAutoSave(createReceipt, alice, alice));
    EXPECT_FALSE(coordinator.undoAutoSave(receipts[0], alice, bob));
    EXPECT_TRUE(results().empty());

    EXPECT_TRUE(coordinator.undoAutoSave(receipts[0], alice, alice));
    EXPECT_FALSE(coordinator.undoAutoSave(receipts[1], alice, alice));
    EXPECT_FALSE(coordinator.undoAutoSave(receipts[0], alice, alice));
    EXPECT_EQ(results(), (std::vector<std::string>{"success", "failure", "failure"}));
    EXPECT_EQ(logs->events("memory_mutation_completed")[1].metadata.at("error_type"),
              "MemoryStoreError");
    EXPECT_EQ(store->activeAssociations(alice).size(), 1u);
}

TEST(MemoryAuthorizationGate, TokensIssuedBeforeASuspensionStayRefused) {
    MemoryAuthorizationGate gate;
    const auto alice = *MemoryPrincipal::make("alice");
    const auto bob = *MemoryPrincipal::make("bob");
    const auto before = gate.issueToken(alice);
    const auto bobsToken = gate.issueToken(bob);
    ASSERT_TRUE(before && bobsToken);
    EXPECT_TRUE(gate.permits(*before));

    gate.suspend(alice);
    EXPECT_FALSE(gate.issueToken(alice));
    EXPECT_FALSE(gate.permits(*before));
    EXPECT_TRUE(gate.permits(*bobsToken));

    MemoryAccountLifecycleCoordinator lifecycle{
        nullptr, std::shared_ptr<MemoryAuthorizationGate>(&gate, [](auto*) {})};
    test::LogCapture logs;
    lifecycle.finishSignOut(std::nullopt);
    EXPECT_TRUE(logs->records().empty());
    lifecycle.finishSignOut(alice);
    EXPECT_EQ(logs->events("memory_account_lifecycle_completed").size(), 1u);

    EXPECT_FALSE(gate.permits(*before));
    const auto after = gate.issueToken(alice);
    ASSERT_TRUE(after);
    EXPECT_TRUE(gate.permits(*after));
}

TEST_F(MemoryMutationCoordinatorTest, SignOutBetweenTokenAndWriteIsRefusedByTheStore) {
    // The authorising check runs inside the store's call: a suspension that lands after the
    // coordinator took its token still stops the write.
    const auto token = gate->issueToken(alice);
    ASSERT_TRUE(token);
    gate->suspend(alice);
    EXPECT_THROW(store->apply({{MemoryMutation::Create{"t", "d"}}}, alice,
                              [&] { return gate->permits(*token); }),
                 MemoryStoreError);
    EXPECT_TRUE(store->activeAssociations(alice).empty());
}

}  // namespace
}  // namespace vask
