#include <gtest/gtest.h>

#include "memory/memory_settings_view_model.h"
#include "platform/manual_executor.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

class MemorySettingsViewModelTest : public ::testing::Test {
  public:
    test::TempDir dir;
    std::shared_ptr<MemoryStore> store =
        std::make_shared<MemoryStore>(dir / "memory.db", MemoryStoreChanges::make());
    std::shared_ptr<MemoryAuthorizationGate> gate = std::make_shared<MemoryAuthorizationGate>();
    MemoryPrincipal alice = *MemoryPrincipal::make("alice");
    MemoryPrincipal bob = *MemoryPrincipal::make("bob");
    std::optional<MemoryPrincipal> current = alice;
    ManualExecutor main;
    ManualExecutor worker;  // store calls run only when the test lets them
    test::LogCapture logs;
    std::int64_t createdAt = 0;

    std::shared_ptr<MemorySettingsViewModel> make(bool withStore = true) {
        return MemorySettingsViewModel::make(
            main, worker, withStore ? store : nullptr, [this] { return current; }, gate,
            StructuredLogger("memory-settings"));
    }

    MemoryAssociation save(const MemoryPrincipal& owner, const char* term) {
        return store->createAssociation(owner, term, "def", MemoryProvenance::inferred,
                                        Uuid::random(), ++createdAt);
    }

    void settle() {
        while (worker.runUntilIdle() + main.runUntilIdle() > 0) {
        }
    }

    std::size_t completions() const { return logs->events("memory_management_completed").size(); }
};

TEST_F(MemorySettingsViewModelTest, FailuresShowTheirTextAndReportFalse) {
    const auto kept = save(alice, "kept");
    struct Case {
        const char* name;
        std::function<void(MemorySettingsViewModelTest&)> arrange;
        std::function<void(MemorySettingsViewModel&, MemorySettingsViewModel::Completion)> act;
        const char* text;
        const char* errorType;
        bool listEmptied;
    };
    const Case cases[] = {
        {"read without a principal", [](auto& t) { t.current.reset(); },
         [](auto& vm, auto done) { vm.load(done); }, MemorySettingsViewModel::unavailableText,
         "MemorySettingsError", true},
        {"read while suspended", [](auto& t) { t.gate->suspend(t.alice); },
         [](auto& vm, auto done) { vm.load(done); }, MemorySettingsViewModel::unavailableText,
         "MemorySettingsError", true},
        {"edit with a 257-byte term", [](auto&) {},
         [](auto& vm, auto done) { vm.update(Uuid::random(), std::string(257, 't'), "d", done); },
         MemorySettingsViewModel::updateFailedText, "MemoryMutationValidationError", false},
        {"forget of an unknown id", [](auto&) {},
         [](auto& vm, auto done) { vm.forget(Uuid::random(), done); },
         MemorySettingsViewModel::updateFailedText, "MemoryStoreError", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        current = alice;
        gate = std::make_shared<MemoryAuthorizationGate>();
        auto vm = make();
        vm->resetForPrincipalChange();  // as the manager does before it loads
        vm->load();
        settle();
        ASSERT_EQ(vm->associations.get(), std::vector{kept});
        logs->clear();

        c.arrange(*this);
        std::optional<bool> result;
        c.act(*vm, [&](bool ok) { result = ok; });
        settle();
        EXPECT_EQ(result, false);
        EXPECT_EQ(vm->errorMessage.get(), std::optional<std::string>(c.text));
        EXPECT_FALSE(vm->isLoading.get());
        EXPECT_EQ(vm->associations.get().empty(), c.listEmptied);
        const auto failures = logs->events("memory_management_failed");
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0].metadata.at("error_type"), c.errorType);
    }
    EXPECT_EQ(store->activeAssociations(alice), std::vector{kept});
}

TEST_F(MemorySettingsViewModelTest, PrincipalSwitchDuringALoadShowsNoOtherAccountsRows) {
    save(alice, "alices secret");
    auto vm = make();
    vm->load();
    worker.runUntilIdle();  // the store has read alice's rows
    current = bob;          // the account changed before the result reached the main executor
    main.runUntilIdle();
    EXPECT_TRUE(vm->associations.get().empty());
    EXPECT_EQ(vm->loadedPrincipal(), bob);
    EXPECT_EQ(vm->errorMessage.get(),
              std::optional<std::string>(MemorySettingsViewModel::unavailableText));
}

TEST_F(MemorySettingsViewModelTest, EditForgetAndForgetAllKeepTheListCurrent) {
    const auto first = save(alice, "first");
    const auto second = save(alice, "second");
    auto vm = make();
    std::optional<bool> updated;
    vm->update(first.id, "  First  ", " new ", [&](bool ok) { updated = ok; });
    settle();
    EXPECT_EQ(updated, true);
    ASSERT_EQ(vm->associations.get().size(), 2u);
    EXPECT_EQ(vm->associations.get()[0].term, "First");
    EXPECT_EQ(vm->associations.get()[0].provenance, MemoryProvenance::explicitlySaved);

    vm->forget(second.id);
    settle();
    EXPECT_EQ(vm->associations.get().size(), 1u);

    vm->forgetAll();
    settle();
    EXPECT_TRUE(vm->associations.get().empty());
    EXPECT_TRUE(store->activeAssociations(alice).empty());
    const auto events = logs->events("memory_management_completed");
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2].metadata.at("operation"), "forget_all");
    EXPECT_EQ(events[2].metadata.at("count"), "1");
}

TEST_F(MemorySettingsViewModelTest, MonitorIgnoresOtherPrincipalsAndEmptiesWhenSuspended) {
    auto vm = make();
    auto monitor = vm->monitorChanges();
    settle();
    EXPECT_EQ(completions(), 1u);

    save(bob, "not ours");
    save(alice, "ours");
    ASSERT_TRUE(main.runUntil([&] {
        worker.runUntilIdle();
        return vm->associations.get().size() == 1u;
    }));
    settle();
    // The initial load and the one for alice's change; bob's notice caused no work.
    EXPECT_EQ(completions(), 2u);

    vm->errorMessage.set("stale");
    gate->suspend(alice);
    save(alice, "while signing out");
    ASSERT_TRUE(main.runUntil([&] { return vm->associations.get().empty(); }));
    EXPECT_FALSE(vm->errorMessage.get());
    EXPECT_EQ(worker.pendingCount(), 0u);
}

TEST_F(MemorySettingsViewModelTest, WithoutAStoreMemoryIsUnavailable) {
    auto vm = make(false);
    EXPECT_FALSE(vm->isAvailable());
    auto monitor = vm->monitorChanges();
    EXPECT_FALSE(vm->errorMessage.get());
    std::optional<bool> result;
    vm->forgetAll([&](bool ok) { result = ok; });
    settle();
    EXPECT_EQ(result, false);
    EXPECT_EQ(vm->errorMessage.get(),
              std::optional<std::string>(MemorySettingsViewModel::updateFailedText));
}

}  // namespace
}  // namespace vask
