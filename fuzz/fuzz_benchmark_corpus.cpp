// Feeds arbitrary text to the benchmark corpus reader as the corpus file. A corpus it accepts
// must write out as JSON that reads back as the same corpus.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "benchmark/benchmark_corpus.h"
#include "relay/decoding_error.h"
#include "relay/json_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vask::BenchmarkCorpus corpus;
    try {
        corpus = vask::BenchmarkCorpus::fromJSON(vask::parseJsonDocument(text));
    } catch (const vask::DecodingError&) {
        return 0;
    }
    const auto written = nlohmann::json::parse(corpus.toJSON().dump());
    if (vask::BenchmarkCorpus::fromJSON(written) != corpus) {
        std::abort();
    }
    return 0;
}
