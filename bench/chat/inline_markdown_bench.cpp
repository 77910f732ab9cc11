// The answer renderer on texts that used to make it rescan what it had passed.
#include <benchmark/benchmark.h>

#include <string>

#include "chat/inline_markdown.h"

namespace {

std::string repeated(const std::string& unit, std::int64_t times) {
    std::string out;
    out.reserve(unit.size() * static_cast<std::size_t>(times));
    for (std::int64_t i = 0; i < times; ++i) {
        out += unit;
    }
    return out;
}

void render(benchmark::State& state, const std::string& unit) {
    const std::string text = repeated(unit, state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(vask::inline_markdown::toRichText(text));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
}

void BM_RenderUnmatchedBrackets(benchmark::State& state) {
    render(state, "[");
}
void BM_RenderUnmatchedTildes(benchmark::State& state) {
    render(state, "a~");
}
void BM_RenderOrdinaryAnswer(benchmark::State& state) {
    render(state,
           "Dinner with **Ana** is at `7pm` on Saturday, see [the thread](https://example.com) "
           "and ~~Friday~~ _Sunday_.\n");
}

BENCHMARK(BM_RenderUnmatchedBrackets)->Arg(10'000)->Arg(40'000)->Arg(80'000);
BENCHMARK(BM_RenderUnmatchedTildes)->Arg(5'000)->Arg(20'000)->Arg(80'000);
BENCHMARK(BM_RenderOrdinaryAnswer)->Arg(100)->Arg(1000);

}  // namespace
