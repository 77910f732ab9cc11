#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/zendrel_execution_event.h"

namespace vask {

// The events of one step: one run, depth and iteration, in arrival order.
struct ZendrelExecutionStep {
    struct ID {
        std::string runID;
        std::int64_t depth = 0;
        std::int64_t iteration = 1;
        bool operator==(const ID&) const = default;
        // NOLINTNEXTLINE(modernize-use-nullptr): the defaulted comparison has no pointer in it.
        auto operator<=>(const ID&) const = default;
    };

    ID id;
    std::vector<ZendrelExecutionEvent> events;

    bool operator==(const ZendrelExecutionStep&) const = default;
};

// The code the helper ran for one question: every event in arrival order and the same events
// grouped into steps. A plain value, changed on the main thread only.
struct ZendrelExecutionDisclosure {
    std::string questionID;
    std::string sessionID;
    std::vector<ZendrelExecutionEvent> events;
    std::vector<ZendrelExecutionStep> steps;
    std::map<ZendrelExecutionStep::ID, std::size_t> stepIndices;

    ZendrelExecutionDisclosure(std::string question, std::string session)
        : questionID(std::move(question)), sessionID(std::move(session)) {}

    // Never reorders, merges or drops: a repeated event is appended again.
    void append(const ZendrelExecutionEvent& event);

    bool operator==(const ZendrelExecutionDisclosure&) const = default;
};

}  // namespace vask
