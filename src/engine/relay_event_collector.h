#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/rlm_usage_snapshot.h"
#include "engine/zendrel_execution_event.h"

namespace vask {

// What the engine says about itself when it starts.
struct RLMEngineStartup {
    std::string engineVersion;
    std::optional<std::int64_t> runnerProtocol;
    std::optional<std::int64_t> providerProtocol;

    bool operator==(const RLMEngineStartup&) const = default;
};

// Splits the helper's event stream (descriptor 3) into lines and hands each JSON object out by
// its "type". Callbacks run on the thread that calls append, in line order; they must be quick,
// since a slow one stalls the pipe and with it the helper.
class RelayEventCollector {
  public:
    struct Callbacks {
        std::function<void(const std::string&)> onProgress;
        std::function<void(const std::string&)> onReasoning;
        std::function<void(const ZendrelExecutionEvent&)> onExecutionEvent;
        std::function<void(const RLMUsageSnapshot&)> onUsageProgress;
        std::function<void(std::int64_t)> onUnsupportedExecutionVersion;
        std::function<void(const RLMEngineStartup&)> onStartup;
        std::function<void(const std::string&)> onEventType;
    };

    // The longest line kept. Events are small; a longer line is dropped whole, so a helper that
    // never ends its line cannot make the application hold all it writes.
    static constexpr std::size_t maximumLineBytes = std::size_t{16} * 1024 * 1024;

    explicit RelayEventCollector(Callbacks callbacks) : callbacks_(std::move(callbacks)) {}

    // Bytes after the last line feed wait for the next chunk; at the end of the pipe they are
    // dropped. Costs time in proportion to the chunk, however long the pending line.
    void append(std::string_view chunk);

  private:
    void handleLine(std::string_view line);

    Callbacks callbacks_;
    std::mutex mutex_;
    std::string pending_;
    // The pending line has grown past the maximum; everything up to its line feed is dropped.
    bool discardingLine_ = false;
    std::set<std::int64_t> reportedUnsupportedExecutionVersions_;
};

}  // namespace vask
