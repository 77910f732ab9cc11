#include "engine/zendrel_execution_disclosure.h"

namespace vask {

void ZendrelExecutionDisclosure::append(const ZendrelExecutionEvent& event) {
    events.push_back(event);
    ZendrelExecutionStep::ID id{event.position.runID, event.position.depth,
                                event.position.iteration};
    const auto found = stepIndices.find(id);
    if (found != stepIndices.end()) {
        steps[found->second].events.push_back(event);
        return;
    }
    stepIndices.emplace(id, steps.size());
    steps.push_back(ZendrelExecutionStep{std::move(id), {event}});
}

}  // namespace vask
