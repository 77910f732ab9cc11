#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "memory/memory_store.h"
#include "memory_test_support.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using Case = MemoryStoreError::Case;

MemoryPrincipal principal(const char* raw) {
    return *MemoryPrincipal::make(raw);
}

class MemoryStoreTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    std::filesystem::path path = dir / "memory.db";
    std::shared_ptr<MemoryStoreChanges> changes = MemoryStoreChanges::make();
    MemoryStore store{path, changes};
    MemoryPrincipal alice = principal("alice");
    MemoryPrincipal bob = principal("bob");

    MemoryAssociation create(const MemoryPrincipal& owner, const char* term,
                             MemoryProvenance provenance = MemoryProvenance::explicitlySaved,
                             std::int64_t at = 1000) {
        return store.createAssociation(owner, term, std::string(term) + " means", provenance,
                                       Uuid::random(), at);
    }

    static std::size_t drain(MemoryStoreChanges::Stream& stream) {
        std::size_t count = 0;
        while (stream.tryNext()) {
            ++count;
        }
        return count;
    }

    void expectIntact() {
        auto db = test::openRaw(path);
        EXPECT_TRUE(test::ftsIntact(db));
    }
};

TEST_F(MemoryStoreTest, ListsOnlyThePrincipalsActiveRowsOldestFirstTiesById) {
    const auto tieB =
        store.createAssociation(alice, "b", "d", MemoryProvenance::explicitlySaved,
                                *Uuid::parse("bbbbbbbb-0000-4000-8000-000000000000"), 500);
    const auto tieA =
        store.createAssociation(alice, "a", "d", MemoryProvenance::explicitlySaved,
                                *Uuid::parse("aaaaaaaa-0000-4000-8000-000000000000"), 500);
    const auto first = create(alice, "first", MemoryProvenance::explicitlySaved, 10);
    const auto gone = create(alice, "gone");
    store.tombstoneAssociation(gone.id, alice, 2000);
    create(bob, "bobs");

    EXPECT_EQ(store.activeAssociations(alice), (std::vector{first, tieA, tieB}));
    EXPECT_TRUE(store.activeAssociations(principal("nobody")).empty());
    expectIntact();
}

TEST_F(MemoryStoreTest, MissingTargetsRaiseNotFoundAndSendNothing) {
    const auto owned = create(alice, "owned");
    const auto tombstoned = create(alice, "tombstoned");
    store.tombstoneAssociation(tombstoned.id, alice, 2000);
    auto stream = changes->stream();

    struct Target {
        const char* name;
        Uuid id;
        MemoryPrincipal owner;
    };
    const Target targets[] = {
        {"tombstoned", tombstoned.id, alice},
        {"unknown", Uuid::random(), alice},
        {"another principal's", owned.id, bob},
    };
    for (const auto& target : targets) {
        SCOPED_TRACE(target.name);
        for (const auto& write : std::vector<std::function<void()>>{
                 [&] { store.updateAssociation(target.id, target.owner, "t", "d", 3000); },
                 [&] { store.tombstoneAssociation(target.id, target.owner, 3000); },
                 [&] {
                     store.apply({{MemoryMutation::Create{"new", "d"}},
                                  {MemoryMutation::Forget{target.id}}},
                                 target.owner, 3000);
                 }}) {
            try {
                write();
                ADD_FAILURE() << "write succeeded";
            } catch (const MemoryStoreError& error) {
                EXPECT_EQ(error.errorCase(), Case::associationNotFound);
            }
        }
    }
    // The batches' creates were rolled back; their notices, sent before COMMIT, are not withdrawn.
    EXPECT_EQ(store.activeAssociations(alice), std::vector{owned});
    EXPECT_EQ(store.activeAssociations(bob), std::vector<MemoryAssociation>{});
    EXPECT_EQ(drain(*stream), 3u);
    expectIntact();
}

TEST_F(MemoryStoreTest, BatchWhoseSecondMutationFailsLeavesNothingWritten) {
    const auto before = create(alice, "kept");
    EXPECT_THROW(store.apply({{MemoryMutation::Suggest{"new", "d", "why"}},
                              {MemoryMutation::Update{Uuid::random(), "x", "y"}}},
                             alice, 5000),
                 MemoryStoreError);
    EXPECT_EQ(store.activeAssociations(alice), std::vector{before});
    auto db = test::openRaw(path);
    EXPECT_EQ(test::queryInt(db, "SELECT count(*) FROM associations"), 1);
    EXPECT_EQ(test::queryInt(db, "SELECT count(*) FROM association_fts_keys"), 1);
    EXPECT_TRUE(test::ftsIntact(db));
    // The connection is usable afterwards: no transaction was left open.
    EXPECT_EQ(store.apply({{MemoryMutation::Create{"after", "d"}}}, alice, 6000).size(), 1u);
}

TEST_F(MemoryStoreTest, BatchAppliesInOrderWithOneNoticePerMutation) {
    const auto target = create(alice, "target", MemoryProvenance::inferred, 100);
    const auto forgotten = create(alice, "forgotten");
    auto stream = changes->stream();
    const auto committed = store.apply({{MemoryMutation::Create{"c", "cd"}},
                                        {MemoryMutation::Suggest{"s", "sd", "because"}},
                                        {MemoryMutation::Update{target.id, "t2", "td2"}},
                                        {MemoryMutation::Forget{forgotten.id}}},
                                       alice, 7000);
    ASSERT_EQ(committed.size(), 4u);
    EXPECT_EQ(committed[0].operation, MemoryMutationOperation::create);
    EXPECT_EQ(committed[0].association.provenance, MemoryProvenance::explicitlySaved);
    EXPECT_EQ(committed[1].association.provenance, MemoryProvenance::inferred);
    // An edit makes an automatic save the user's own and keeps its creation time.
    EXPECT_EQ(committed[2].association.provenance, MemoryProvenance::explicitlySaved);
    EXPECT_EQ(committed[2].association.createdAt, 100);
    EXPECT_EQ(committed[2].association.updatedAt, 7000);
    EXPECT_EQ(committed[3].association.state, MemoryAssociationState::tombstoned);
    EXPECT_EQ(drain(*stream), 4u);
    EXPECT_EQ(store.activeAssociations(alice).size(), 3u);
    expectIntact();
}

TEST_F(MemoryStoreTest, UndoMatchesOnlyTheUntouchedAutomaticSave) {
    struct Scenario {
        const char* name;
        std::function<MemoryAssociation()> prepare;
        bool undone;
    };
    const Scenario scenarios[] = {
        {"untouched", [this] { return create(alice, "u", MemoryProvenance::inferred); }, true},
        {"edited",
         [this] {
             auto a = create(alice, "e", MemoryProvenance::inferred);
             store.updateAssociation(a.id, alice, "e", "changed", 1000);
             return a;
         },
         false},
        {"explicit", [this] { return create(alice, "x"); }, false},
        {"already tombstoned",
         [this] {
             auto a = create(alice, "g", MemoryProvenance::inferred);
             store.tombstoneAssociation(a.id, alice, 1000);
             return a;
         },
         false},
    };
    for (const auto& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        const auto receipt = scenario.prepare();
        try {
            const auto undone =
                store.undoInferredAssociation(receipt.id, alice, receipt.term, receipt.definition,
                                              receipt.updatedAt, 9000, [] { return true; });
            EXPECT_TRUE(scenario.undone);
            EXPECT_EQ(undone.state, MemoryAssociationState::tombstoned);
            EXPECT_EQ(undone.updatedAt, 9000);
        } catch (const MemoryStoreError& error) {
            EXPECT_FALSE(scenario.undone);
            EXPECT_EQ(error.errorCase(), Case::associationNotFound);
        }
    }
    expectIntact();
}

TEST_F(MemoryStoreTest, TombstoneAllSendsOneNoticeOnlyWhenRowsChanged) {
    auto stream = changes->stream();
    EXPECT_EQ(store.tombstoneAllAssociations(alice, 100), 0);
    EXPECT_EQ(drain(*stream), 0u);
    create(alice, "a");
    create(alice, "b");
    create(bob, "c");
    drain(*stream);
    EXPECT_EQ(store.tombstoneAllAssociations(alice, 200), 2);
    EXPECT_EQ(drain(*stream), 1u);
    EXPECT_EQ(store.activeAssociations(bob).size(), 1u);
    // Tombstoned rows keep their full-text key but leave the index.
    auto db = test::openRaw(path);
    EXPECT_EQ(test::queryInt(db, "SELECT count(*) FROM association_fts_keys"), 3);
    EXPECT_EQ(test::queryInt(db, "SELECT count(*) FROM associations_fts"), 1);
    EXPECT_TRUE(test::ftsIntact(db));
}

TEST_F(MemoryStoreTest, RefusedAuthorisationWritesNothing) {
    const auto existing = create(alice, "existing", MemoryProvenance::inferred);
    auto stream = changes->stream();
    const auto refuse = [] { return false; };
    const std::vector<std::function<void()>> writes = {
        [&] {
            store.apply({{MemoryMutation::Create{"n", "d"}}}, alice, refuse);
        },
        [&] { store.updateAssociation(existing.id, alice, "t", "d", refuse); },
        [&] { store.tombstoneAssociation(existing.id, alice, refuse); },
        [&] { store.tombstoneAllAssociations(alice, refuse); },
        [&] {
            store.undoInferredAssociation(existing.id, alice, existing.term, existing.definition,
                                          existing.updatedAt, 5, refuse);
        },
    };
    for (const auto& write : writes) {
        try {
            write();
            ADD_FAILURE() << "a refused write went through";
        } catch (const MemoryStoreError& error) {
            EXPECT_EQ(error, MemoryStoreError::plain(Case::authorizationChanged));
        }
    }
    EXPECT_EQ(store.activeAssociations(alice), std::vector{existing});
    EXPECT_EQ(drain(*stream), 0u);
}

TEST_F(MemoryStoreTest, SubscriberReadingOnNoticeSeesWholeBatchesOnly) {
    auto stream = changes->stream();
    constexpr int batches = 20;
    constexpr int perBatch = 3;
    std::vector<std::size_t> seen;
    std::thread subscriber([&] {
        for (int i = 0; i < batches * perBatch; ++i) {
            if (!stream->next(std::stop_token())) {
                return;
            }
            seen.push_back(store.activeAssociations(alice).size());
        }
    });
    for (int b = 0; b < batches; ++b) {
        store.apply({{MemoryMutation::Create{"a", "d"}},
                     {MemoryMutation::Create{"b", "d"}},
                     {MemoryMutation::Create{"c", "d"}}},
                    alice, b);
    }
    subscriber.join();
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(batches * perBatch));
    for (auto count : seen) {
        EXPECT_EQ(count % perBatch, 0u) << "a read saw a half-applied batch";
    }
}

TEST_F(MemoryStoreTest, ReleasedStreamsLeaveTheFeed) {
    {
        auto stream = changes->stream();
        EXPECT_EQ(changes->subscriberCount(), 1u);
    }
    EXPECT_EQ(changes->subscriberCount(), 0u);
    create(alice, "no one listens");
}

TEST_F(MemoryStoreTest, SnapshotReplacesStaleFilesWithACompleteCopy) {
    create(alice, "a");
    const auto gone = create(bob, "b");
    store.tombstoneAssociation(gone.id, bob, 2000);

    const auto existing = dir / "staged" / "memory.db";
    std::filesystem::create_directories(existing.parent_path());
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::ofstream(existing.string() + suffix) << "stale bytes that are not a database";
    }
    const auto missingFolder = dir / "new" / "folder" / "memory.db";
    for (const auto& destination : {existing, missingFolder}) {
        SCOPED_TRACE(destination.string());
        store.snapshot(destination);
        auto copy = test::openRaw(destination);
        EXPECT_EQ(test::queryInt(copy, "SELECT count(*) FROM associations"), 2);
        EXPECT_EQ(test::queryInt(copy, "PRAGMA user_version"), 3);
        EXPECT_EQ(test::queryText(copy, "PRAGMA integrity_check"), "ok");
        EXPECT_TRUE(test::ftsIntact(copy));
    }
}

TEST_F(MemoryStoreTest, UndecodableRowFailsTheWholeRead) {
    create(alice, "good");
    {
        auto db = test::openRaw(path);
        db.execute("PRAGMA ignore_check_constraints = ON");
        db.execute("UPDATE associations SET provenance = 'guessed'");
    }
    try {
        store.activeAssociations(alice);
        FAIL() << "an invalid row was read";
    } catch (const MemoryStoreError& error) {
        EXPECT_EQ(error.errorCase(), Case::invalidStoredAssociation);
    }
}

TEST_F(MemoryStoreTest, ConcurrentWritersAreSerialised) {
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < 10; ++i) {
                store.apply({{MemoryMutation::Create{"t" + std::to_string(w), "d"}}}, alice, i);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(store.activeAssociations(alice).size(), 40u);
    expectIntact();
}

}  // namespace
}  // namespace vask
