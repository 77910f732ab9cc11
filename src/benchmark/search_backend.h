#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/shadow_message.h"

namespace vask {

// A search engine as the retrieval benchmark sees it: load messages, answer a query with message
// guids best first, start over. Calls block; the runner makes them one at a time.
class SearchBackend {
  public:
    virtual ~SearchBackend() = default;

    virtual std::string name() const = 0;
    // At most `limit` guids, best match first.
    virtual std::vector<std::string> search(std::string_view query, std::int64_t limit) = 0;
    virtual void ingest(const std::vector<ShadowMessage>& messages) = 0;
    virtual void reset() = 0;
};

}  // namespace vask
