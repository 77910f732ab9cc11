#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "typedstream-writer/attributed_body.h"
#include "typedstream/typedstream_decoder.h"

namespace vask::typedstream {
namespace {

// A typical short message: a sentence with one link run.
std::vector<std::uint8_t> shortBody() {
    AttributedBody body;
    body.text = "Running late, see https://example.com/map in 10 min";
    body.runs = {
        {18, {{std::string(kMessagePartAttributeName), std::int64_t{0}}}},
        {23,
         {{std::string(kMessagePartAttributeName), std::int64_t{0}},
          {std::string(kLinkAttributeName), UrlValue{"https://example.com/map"}}}},
        {10, {{std::string(kMessagePartAttributeName), std::int64_t{0}}}},
    };
    return encodeAttributedBody(body);
}

// A long pasted message (about 20 KB of mixed-script text) in one run.
std::vector<std::uint8_t> longBody() {
    std::string text;
    while (text.size() < 20000) {
        text += "Long note with umlauts äöü and emoji 😀 — line ";
        text += std::to_string(text.size());
        text += '\n';
    }
    return encodeAttributedBody(AttributedBody::plain(std::move(text)));
}

void report(benchmark::State& state, std::size_t bytes) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_DecodeShort(benchmark::State& state) {
    const auto body = shortBody();
    for (auto _ : state) {
        benchmark::DoNotOptimize(TypedStreamDecoder::decode(body));
    }
    report(state, body.size());
}
BENCHMARK(BM_DecodeShort);

void BM_FirstItemShort(benchmark::State& state) {
    const auto body = shortBody();
    for (auto _ : state) {
        benchmark::DoNotOptimize(TypedStreamDecoder::firstTopLevelItem(body));
    }
    report(state, body.size());
}
BENCHMARK(BM_FirstItemShort);

void BM_DecodeLong(benchmark::State& state) {
    const auto body = longBody();
    for (auto _ : state) {
        benchmark::DoNotOptimize(TypedStreamDecoder::decode(body));
    }
    report(state, body.size());
}
BENCHMARK(BM_DecodeLong);

void BM_FirstItemLong(benchmark::State& state) {
    const auto body = longBody();
    for (auto _ : state) {
        benchmark::DoNotOptimize(TypedStreamDecoder::firstTopLevelItem(body));
    }
    report(state, body.size());
}
BENCHMARK(BM_FirstItemLong);

}  // namespace
}  // namespace vask::typedstream
