#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "memory/memory_store.h"
#include "platform/crypto.h"

namespace vask {
namespace {

constexpr int associationCount = 10'000;

// A fresh store in its own temporary folder holding `count` active associations of one principal.
class Fixture {
  public:
    explicit Fixture(int count) {
        folder_ = std::filesystem::temp_directory_path() / ("vask-memory-bench-" + randomUUID());
        store_ = std::make_unique<MemoryStore>(folder_ / "memory.db", MemoryStoreChanges::make());
        std::vector<MemoryMutation> batch;
        for (int i = 0; i < count; ++i) {
            batch.push_back({MemoryMutation::Create{"term " + std::to_string(i),
                                                    "definition of term " + std::to_string(i)}});
        }
        store_->apply(batch, principal, 1);
        ids_.reserve(static_cast<std::size_t>(count));
        for (const auto& association : store_->activeAssociations(principal)) {
            ids_.push_back(association.id);
        }
    }
    ~Fixture() {
        store_.reset();
        std::filesystem::remove_all(folder_);
    }
    Fixture(const Fixture&) = delete;
    Fixture& operator=(const Fixture&) = delete;

    MemoryStore& store() { return *store_; }
    const std::vector<Uuid>& ids() const { return ids_; }

    const MemoryPrincipal principal = *MemoryPrincipal::make("bench-principal");

  private:
    std::filesystem::path folder_;
    std::unique_ptr<MemoryStore> store_;
    std::vector<Uuid> ids_;
};

void BM_ListActiveAssociations(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(fixture.store().activeAssociations(fixture.principal));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ListActiveAssociations)->Arg(associationCount)->Unit(benchmark::kMillisecond);

// One answer's request at the directive limit: two creates, two edits and a suggestion, in one
// transaction with its change notices, over a file that already holds the associations.
void BM_ApplyBatch(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    std::size_t next = 0;
    std::int64_t timestamp = 2;
    for (auto _ : state) {
        const auto& ids = fixture.ids();
        const std::vector<MemoryMutation> batch = {
            {MemoryMutation::Create{"new term", "new definition"}},
            {MemoryMutation::Create{"other term", "other definition"}},
            {MemoryMutation::Update{ids[next % ids.size()], "edited", "edited definition"}},
            {MemoryMutation::Update{ids[(next + 1) % ids.size()], "edited", "edited"}},
            {MemoryMutation::Suggest{"suggested", "suggested definition", "because"}},
        };
        next += 2;
        benchmark::DoNotOptimize(fixture.store().apply(batch, fixture.principal, timestamp++));
    }
}
BENCHMARK(BM_ApplyBatch)->Arg(associationCount)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vask
