#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/zendrel_execution_event.h"
#include "platform/executor.h"
#include "records/chat_token_usage.h"

namespace vask {

// What a running turn streams from the worker, gathered until the main executor takes it. A
// helper may send thousands of events faster than the main executor runs; posting each one
// would make every one a publish and a redraw. Here a burst costs one task and one `apply` on
// the main executor however many events arrive before it runs.
class TurnStream : public std::enable_shared_from_this<TurnStream> {
  public:
    struct Batch {
        // The latest progress line; the earlier ones were never seen by anyone.
        std::optional<std::string> progress;
        // Every reasoning piece, in order.
        std::string reasoning;
        std::vector<ZendrelExecutionEvent> events;
        // The latest cumulative usage.
        std::optional<ChatTokenUsage> usage;
    };
    using Apply = std::function<void(Batch)>;

    // `apply` runs on `main` only.
    static std::shared_ptr<TurnStream> make(MainExecutor& main, Apply apply);

    // Any thread.
    void progress(std::string text);
    void reasoning(std::string_view piece);
    void event(const ZendrelExecutionEvent& event);
    void usage(const ChatTokenUsage& usage);

    // How many tasks were posted to the main executor so far: for tests and benchmarks.
    std::size_t postedCount() const;

  private:
    TurnStream(MainExecutor& main, Apply apply) : main_(main), apply_(std::move(apply)) {}
    template <typename Change>
    void add(Change&& change);
    void drain();

    MainExecutor& main_;
    Apply apply_;
    mutable std::mutex mutex_;
    Batch pending_;
    bool drainPosted_ = false;
    std::size_t posted_ = 0;
};

}  // namespace vask
