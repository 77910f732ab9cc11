// Allocation failures injected into the memory suite: this file replaces the global operator new
// of the test binary. Injection is off unless a test arms it on its own thread, so every other
// test allocates as usual.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "memory/memory_mutation_coordinator.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

// Allocations left before the one that fails; negative when nothing is armed.
thread_local long allocationsBeforeFailure = -1;

void* allocate(std::size_t size) {
    if (allocationsBeforeFailure >= 0 && allocationsBeforeFailure-- == 0) {
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return operator new(size, std::nothrow);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace vask {
namespace {

JSONValue operation(const std::string& op) {
    JSONValue::Object fields{{"op", JSONValue::string(op)},
                             {"term", JSONValue::string("cabin")},
                             {"definition", JSONValue::string("lake house")}};
    if (op == "suggest") {
        fields.emplace("rationale", JSONValue::string("said so"));
    }
    return JSONValue::object(std::move(fields));
}

// Whatever allocation fails, a batch of automatic suggestions stays silent (no receipt at all),
// while what the user asked for outright ends in the one failure receipt.
TEST(MemoryMutationCoordinatorAllocation, FailuresKeepTheReceiptRule) {
    struct Case {
        const char* name;
        const char* op;
        const char* userText;
        bool explicitRequest;
    };
    for (const auto& c :
         {Case{"suggestion", "suggest", "my sister Bea is called Bean", false},
          Case{"directive", "create", "remember that the cabin means the lake house", true}}) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        auto store = std::make_shared<MemoryStore>(dir / "memory.db", MemoryStoreChanges::make());
        const MemoryMutationCoordinator coordinator(
            store, std::make_shared<MemoryAuthorizationGate>(), StructuredLogger("memory"));
        const auto alice = *MemoryPrincipal::make("alice");
        const JSONValue::Object metadata{
            {"memory_operations", JSONValue::array({operation(c.op)})}};
        std::size_t failedRuns = 0;
        // Fail the first allocation, then the second, ... until a run completes untouched.
        for (long failing = 0; failing < 10000; ++failing) {
            std::vector<MemoryReceipt> receipts;
            allocationsBeforeFailure = failing;
            receipts = coordinator.apply(metadata, c.userText, alice, alice, true);
            const bool injected = allocationsBeforeFailure < 0;
            allocationsBeforeFailure = -1;
            if (!injected) {
                ASSERT_EQ(receipts.size(), 1u);
                EXPECT_EQ(receipts[0].status, MemoryReceiptStatus::committed);
                break;
            }
            const bool failed =
                receipts.empty() || receipts[0].status == MemoryReceiptStatus::failed;
            if (!failed) {
                continue;  // the failed allocation was survived (a log line, say)
            }
            ++failedRuns;
            if (c.explicitRequest) {
                EXPECT_EQ(receipts, std::vector<MemoryReceipt>{MemoryReceipt::failure()})
                    << "allocation " << failing;
            } else {
                EXPECT_TRUE(receipts.empty()) << "allocation " << failing;
            }
            store->tombstoneAllAssociations(alice, 1);
        }
        EXPECT_GT(failedRuns, 0u);
    }
}

}  // namespace
}  // namespace vask
