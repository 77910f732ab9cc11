#pragma once

#include <cstddef>
#include <cstdint>

#include "benchmark/benchmark_corpus.h"

namespace vask::tools {

struct CorpusGeneratorOptions {
    std::size_t messages = 100'000;
    std::size_t chats = 250;
    std::uint64_t seed = 1;
};

// A large corpus for measuring search speed and quality at scale: everyday chatter over two
// years in one-to-one and group chats, with planted messages that ten queries of each category
// expect, and ten more keyword queries of words common in the chatter (each matching about one
// message in thirty), whose latency grows with the corpus. The same options give the same corpus.
BenchmarkCorpus generateCorpus(const CorpusGeneratorOptions& options);

}  // namespace vask::tools
