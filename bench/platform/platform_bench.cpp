#include <benchmark/benchmark.h>

#include <latch>
#include <string>

#include "platform/crypto.h"
#include "platform/serial_queue.h"
#include "platform/text.h"

namespace {

std::string sampleText(std::size_t repeats) {
    std::string text;
    for (std::size_t i = 0; i < repeats; ++i) {
        text += "Dinner at 7? \U0001F468\u200D\U0001F469\u200D\U0001F467 caf\u00e9 \u65e5\u672c ";
    }
    return text;
}

void BM_GraphemeCount(benchmark::State& state) {
    const auto text = sampleText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(vask::text::graphemeCount(text));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_GraphemeCount)->Arg(1)->Arg(100)->Arg(10000);

void BM_Trimmed(benchmark::State& state) {
    const std::string text = " \t\n" + sampleText(10) + "\u2028 \n";
    for (auto _ : state) {
        benchmark::DoNotOptimize(vask::text::trimmed(text));
    }
}
BENCHMARK(BM_Trimmed);

void BM_Sha256(benchmark::State& state) {
    const std::string data(static_cast<std::size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        benchmark::DoNotOptimize(vask::Sha256::hex(data));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Sha256)->Arg(64)->Arg(1 << 20);

// Posting and running a task on a serial queue: the cost every watcher event and sync pays.
void BM_SerialQueueRoundTrip(benchmark::State& state) {
    vask::SerialQueue queue("bench");
    const auto batch = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        std::latch done(static_cast<std::ptrdiff_t>(batch));
        for (std::size_t i = 0; i < batch; ++i) {
            queue.post([&] { done.count_down(); });
        }
        done.wait();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * batch));
}
BENCHMARK(BM_SerialQueueRoundTrip)->Arg(1)->Arg(1000);

}  // namespace
