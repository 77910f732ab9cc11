#include "engine/zendrel_execution_event.h"

#include <nlohmann/json.hpp>

#include "records/trace_object.h"

namespace vask {

std::optional<ZendrelExecutionEvent> ZendrelExecutionEvent::traceObject(
    const nlohmann::json& object) {
    const auto* type = trace::string(object, "type");
    if (type == nullptr || trace::integer(object, "version") != 6) {
        return std::nullopt;
    }
    const auto* runID = trace::string(object, "run_id");
    const auto sequence = trace::integer(object, "seq");
    const auto depth = trace::integer(object, "depth");
    const auto iteration = trace::integer(object, "iteration");
    if (runID == nullptr || runID->empty() || !sequence || *sequence < 1 || !depth || *depth < 0 ||
        !iteration || *iteration < 1) {
        return std::nullopt;
    }
    ZendrelTracePosition position{*runID, *sequence, *depth, *iteration};
    if (*type == "code") {
        if (const auto* code = trace::string(object, "code")) {
            return ZendrelExecutionEvent{std::move(position), Code{*code}};
        }
    } else if (*type == "output") {
        if (const auto* out = trace::string(object, "stdout")) {
            return ZendrelExecutionEvent{std::move(position), Output{*out}};
        }
    } else if (*type == "execution_error") {
        const auto* errorType = trace::string(object, "error_type");
        const auto* message = trace::string(object, "message");
        if (errorType != nullptr && message != nullptr) {
            return ZendrelExecutionEvent{std::move(position), ExecutionError{*errorType, *message}};
        }
    }
    return std::nullopt;
}

}  // namespace vask
