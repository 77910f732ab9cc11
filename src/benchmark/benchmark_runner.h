#pragma once

#include <iosfwd>
#include <memory>
#include <string_view>
#include <vector>

#include "benchmark/benchmark_corpus.h"
#include "benchmark/benchmark_metrics.h"
#include "benchmark/search_backend.h"
#include "platform/clock.h"

namespace vask {

// Keyword queries of everyday words ("dinner") rank thousands of candidates where a rare code
// ranks a handful, so a summary shows them apart; the corpus generator names them
// "kw-common-<n>".
inline constexpr std::string_view commonWordsQueryPrefix = "kw-common-";

// The means and latency percentiles of `results` as one category's; zeros when there are none.
CategoryMetrics categoryMetrics(const std::vector<const QueryResult*>& results);

// Loads a corpus into a search backend once, runs every query with a limit of 5 and scores the
// answers against the expected guids. Keeps no state between runs and never resets the backend.
// A corpus read with BenchmarkCorpus::streamFromFile has its messages in the backend already and
// none of its own: the runner then only queries.
class BenchmarkRunner {
  public:
    static constexpr std::int64_t resultLimit = 5;

    BenchmarkRunner(std::shared_ptr<SearchBackend> backend, BenchmarkCorpus corpus,
                    const Clock& clock = Clock::system());

    // The whole benchmark. With `verbose`, one line per query goes to `out`: its mark, id and
    // hit rate at 5; a query whose search fails gets a line saying so before the backend's error
    // is passed on unchanged (and no report is made).
    BenchmarkMetrics run(bool verbose, std::ostream& out) const;

  private:
    std::shared_ptr<SearchBackend> backend_;
    BenchmarkCorpus corpus_;
    const Clock& clock_;
};

}  // namespace vask
